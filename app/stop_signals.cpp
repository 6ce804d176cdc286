#include "app/stop_signals.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>

namespace {

std::atomic<bool> running{true};

template <std::size_t N>
void writeLine(const char (&line)[N]) {
    // The only output that is safe in a signal handler: one write of a fixed text.
    const ssize_t written = ::write(STDOUT_FILENO, line, N - 1);
    (void)written;
}

void onStopSignal(int signal) {
    const int saved_errno = errno;
    switch (signal) {
        case SIGTERM:
            writeLine("\n[Main] SIGTERM received - stopping servers...\n");
            break;
        case SIGHUP:
            writeLine("\n[Main] SIGHUP received - stopping servers...\n");
            break;
        default:
            writeLine("\n[Main] SIGINT received - stopping servers...\n");
            break;
    }
    running.store(false);
    errno = saved_errno;
}

}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls of the other threads resume, as with signal().
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(), "sigaction");
    }
}

bool stopRequested() { return !running.load(); }
