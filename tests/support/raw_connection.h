#pragma once

// A bare TCP client for tests that need what an HTTP client library hides: requests sent in pieces,
// half-closed connections, and hundreds of connections under way at once.
#include <chrono>
#include <cstdint>
#include <string>

namespace qortest {

class RawConnection {
public:
    /// Starts connecting to 127.0.0.1:`port` without waiting for the connect to complete.
    explicit RawConnection(uint16_t port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    /// Waits up to `timeout` for the connect to complete; true when it has.
    bool connected(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends all of `text` once connected; false when that failed.
    bool send(const std::string& text);
    /// Ends the sending side; the server may still answer.
    void closeSending();
    /// What arrives until the server closes, `timeout` passes, or the text holds `enough`.
    std::string receive(std::chrono::milliseconds timeout, const std::string& enough = "");
    /// True once the server has closed the connection (what it sent before is read and dropped).
    bool closedByServer();

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
};

}  // namespace qortest
