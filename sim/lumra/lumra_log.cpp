#include "sim/lumra/lumra_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace qorsim::lumra {
namespace {

struct LogState {
    std::mutex mutex;
    uint32_t bits = 0;
    int mode = kLogModeOff;
    std::string path;
};

LogState& state() {
    static LogState* s = new LogState;  // never destroyed: calls may arrive during static destruction
    return *s;
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms));
    return text;
}

}  // namespace

void setLogBits(uint32_t bits) {
    std::lock_guard lock(state().mutex);
    state().bits = bits;
}

bool setLogMode(int mode) {
    if (mode != kLogModeOff && mode != kLogModeFile) return false;
    std::lock_guard lock(state().mutex);
    state().mode = mode;
    return true;
}

void setLogFile(const std::string& path) {
    std::lock_guard lock(state().mutex);
    state().path = path;
}

void resetLog() {
    std::lock_guard lock(state().mutex);
    state().bits = 0;
    state().mode = kLogModeOff;
    state().path.clear();
}

void logLine(uint32_t bit, const std::string& text) {
    std::lock_guard lock(state().mutex);
    const LogState& s = state();
    if (s.mode != kLogModeFile || s.path.empty() || (s.bits & bit) == 0) return;
    std::FILE* file = std::fopen(s.path.c_str(), "a");
    if (file == nullptr) return;
    std::fprintf(file, "%s lym_lumra %s\n", timestamp().c_str(), text.c_str());
    std::fclose(file);
}

int32_t logCall(const char* name, int32_t status) {
    char text[160];
    std::snprintf(text, sizeof text, "%s -> 0x%08x", name, static_cast<uint32_t>(status));
    logLine(status < 0 ? (kLogCalls | kLogErrors) : kLogCalls, text);
    return status;
}

}  // namespace qorsim::lumra
