#include "sim/common/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>

#include "sim/control.h"

namespace qorsim {
namespace {

std::mutex& dirMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::filesystem::path& configuredDir() {
    static std::filesystem::path* p = new std::filesystem::path;
    return *p;
}

int openLockFile(const std::string& name) {
    std::filesystem::path dir = lockDirectory();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return ::open((dir / (name + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

}  // namespace

std::filesystem::path lockDirectory() {
    std::lock_guard lock(dirMutex());
    if (!configuredDir().empty()) return configuredDir();
    const char* env = std::getenv("QOR_SIM_LOCK_DIR");
    if (env != nullptr && *env != '\0') return env;
    return "/tmp/qor-sim-locks";
}

void setLockDirectory(const std::filesystem::path& dir) {
    std::lock_guard lock(dirMutex());
    configuredDir() = dir;
}

std::unique_ptr<DeviceLock> DeviceLock::acquire(const std::string& name) {
    int fd = openLockFile(name);
    if (fd < 0) return std::unique_ptr<DeviceLock>(new DeviceLock(-1));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DeviceLock>(new DeviceLock(fd));
}

bool DeviceLock::heldElsewhere(const std::string& name) {
    int fd = openLockFile(name);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (!held) ::flock(fd, LOCK_UN);
    ::close(fd);
    return held;
}

DeviceLock::~DeviceLock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}

}  // namespace qorsim
