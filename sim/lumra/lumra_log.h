#pragma once

// The SDK's own log: lines appended to the file named by LUMRA_SetLogFile while the log mode is 1.
#include <cstdint>
#include <string>

namespace qorsim::lumra {

inline constexpr uint32_t kLogErrors = 0x0001;    // calls that fail
inline constexpr uint32_t kLogCalls = 0x0002;     // every call with its status
inline constexpr uint32_t kLogCommands = 0x0004;  // device commands with value and answer

inline constexpr int kLogModeOff = 0;
inline constexpr int kLogModeFile = 1;

void setLogBits(uint32_t bits);
/// False for a mode other than off or file.
bool setLogMode(int mode);
void setLogFile(const std::string& path);
/// Back to no log (used when the simulation is reset).
void resetLog();

/// Writes one line when the bits select it; a file that cannot be opened is ignored.
void logLine(uint32_t bit, const std::string& text);
/// Logs a finished call (kLogCalls, or kLogErrors for a failure) and returns its status.
int32_t logCall(const char* name, int32_t status);

}  // namespace qorsim::lumra
