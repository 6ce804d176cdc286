#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace qortest {
namespace {

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ServerProcess::ServerProcess(const std::string& device_json, const std::string& name)
    : ServerProcess(QOR_SERVER_EXECUTABLE, {}, device_json, name) {}

ServerProcess::ServerProcess(const std::string& executable, const std::vector<std::string>& args,
                             const std::string& device_json, const std::string& name) {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("qor-e2e-" + std::to_string(::getpid()) + "-" + name + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "locks");
    std::string devices;
    if (!device_json.empty()) {
        devices = (dir_ / "devices.json").string();
        std::ofstream(devices) << device_json;
    }
    const std::string out = (dir_ / "stdout.txt").string();
    const std::string err = (dir_ / "stderr.txt").string();
    const std::string work = dir_.string();
    // Everything the child needs is prepared before fork: after it only exec-safe calls are made.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("QOR_SIM_DEVICES=", 0) == 0 || entry.rfind("QOR_SIM_LOCK_DIR=", 0) == 0 ||
            entry.rfind("HOME=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    // A private home: the light-source class writes its log under it.
    env.push_back("HOME=" + work);
    if (!devices.empty()) env.push_back("QOR_SIM_DEVICES=" + devices);
    env.push_back("QOR_SIM_LOCK_DIR=" + (dir_ / "locks").string());
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_texts{std::filesystem::path(executable).filename().string()};
    arg_texts.insert(arg_texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : arg_texts) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out_fd, STDOUT_FILENO);
        ::dup2(err_fd, STDERR_FILENO);
        if (::chdir(work.c_str()) != 0) ::_exit(126);
        ::execve(executable.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
}

ServerProcess::~ServerProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool ServerProcess::running() {
    if (exit_status_ || pid_ <= 0) return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

bool ServerProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (standardOutput().find(text) != std::string::npos) return true;
        if (!running()) return standardOutput().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void ServerProcess::interrupt() const { ::kill(pid_, SIGINT); }

std::optional<int> ServerProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) return exit_status_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

std::string ServerProcess::standardOutput() const { return readAll(dir_ / "stdout.txt"); }
std::string ServerProcess::standardError() const { return readAll(dir_ / "stderr.txt"); }

std::optional<std::string> discoverRaw(const std::string& payload, std::chrono::milliseconds timeout) {
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return std::nullopt;
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(50000);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(sock, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char buffer[65536];
    ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
    ::close(sock);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

nlohmann::json discover(const std::string& type) {
    auto reply = discoverRaw(nlohmann::json{{"action", "discover"}, {"type", type}}.dump());
    if (!reply) return nlohmann::json::array();
    return nlohmann::json::parse(*reply);
}

size_t position(const std::string& text, const std::string& part) {
    size_t p = text.find(part);
    EXPECT_NE(p, std::string::npos) << "missing: " << part;
    return p;
}

void expectShutdownLinesInOrder(const std::string& out) {
    size_t p = position(out, "\n[Main] SIGINT received - stopping servers...\n");
    for (const char* line : {"\n[MAIN] Shutting down...\n", "\n[MAIN] Dispatcher stopped.\n",
                             "\n[MAIN] Cameras released.\n", "\n[SERVER: 8080] Heartbeat thread stopped!\n",
                             "\n[SERVER: 8080] HTTP Server + Thread stopped!\n",
                             "\n[SERVER: 8081] Heartbeat thread stopped!\n",
                             "\n[SERVER: 8081] HTTP Server + Thread stopped!\n", "\n[MAIN] Cam servers stopped.\n"}) {
        size_t next = position(out, line);
        EXPECT_GT(next, p) << line;
        p = next;
    }
}

std::unique_ptr<httplib::Client> client(uint16_t port, int timeout_s) {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_connection_timeout(5);
    c->set_read_timeout(timeout_s);
    c->set_write_timeout(timeout_s);
    return c;
}

httplib::Result get(uint16_t port, const std::string& path, const httplib::Params& params, int timeout_s) {
    return client(port, timeout_s)->Get(path.c_str(), params, httplib::Headers{});
}

httplib::Result post(uint16_t port, const std::string& path, const httplib::Params& params, int timeout_s) {
    return client(port, timeout_s)->Post(path.c_str(), params);
}

httplib::Result put(uint16_t port, const std::string& path, const std::string& body, int timeout_s) {
    return client(port, timeout_s)->Put(path.c_str(), body, "application/json");
}

}  // namespace qortest
