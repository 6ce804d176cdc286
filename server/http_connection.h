#pragma once

// One accepted HTTP connection between requests and while it is served: its socket, the bytes read
// ahead of the request being parsed, and the times that bound how long it may wait or dawdle.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <httplib.h>

class HttpConnection {
public:
    using Clock = std::chrono::steady_clock;

    /// Header blocks longer than this are handed to the HTTP library unfinished, which refuses them.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;

    /// Takes ownership of the accepted socket; `requests` is how many requests it may carry.
    HttpConnection(int fd, size_t requests);
    /// Shuts the socket down and closes it.
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    int fd() const { return fd_; }

    /// Reads whatever has arrived, without waiting. False when the peer closed its side or the socket
    /// failed (bytes read before stay readable).
    bool readAvailable();
    /// Waits up to `timeout` for the socket to become readable and reads what arrived; false on
    /// time-out, end of input or failure. Never waits when bytes are buffered.
    bool readWithin(std::chrono::milliseconds timeout);
    /// True when the last read took all the socket held then, or the input has ended.
    bool drained() const;
    /// Notes that the peer has closed its sending side: reads go on until they reach that end.
    void peerClosed() { peer_closed_ = true; }
    /// True once the buffered bytes hold a whole request head (request line and headers), or so many
    /// bytes that the head cannot be whole and valid.
    bool headComplete();

    /// Buffered bytes not yet consumed.
    size_t buffered() const { return buffer_.size() - start_; }
    /// Moves up to `size` buffered bytes to `out`; returns how many.
    size_t consume(char* out, size_t size);

    /// True when the peer has closed its sending side or the socket failed.
    bool ended() const { return ended_; }

    /// When the first byte of the request now arriving came; empty while none has.
    const std::optional<Clock::time_point>& requestStarted() const { return request_started_; }
    /// Marks the current request done: the next one starts with the bytes already buffered, if any.
    void finishRequest();

    /// Requests this connection may still carry.
    size_t requestsLeft() const { return requests_left_; }

    const std::string& remoteAddress() const { return remote_ip_; }
    int remotePort() const { return remote_port_; }
    const std::string& localAddress() const { return local_ip_; }
    int localPort() const { return local_port_; }

private:
    bool receive(int flags);

    int fd_;
    size_t requests_left_;
    std::string buffer_;
    size_t start_ = 0;    // first unconsumed byte of buffer_
    size_t scanned_ = 0;  // buffer_ is known to hold no head end before this offset
    size_t last_read_ = 0;  // bytes the last read took
    bool head_complete_ = false;
    bool ended_ = false;
    bool peer_closed_ = false;
    std::optional<Clock::time_point> request_started_;
    std::string remote_ip_;
    int remote_port_ = 0;
    std::string local_ip_;
    int local_port_ = 0;
};

/// The HTTP library's view of a connection while one request is served: reads come from the
/// connection's buffer first, then from the socket within the read time-out; until the request head
/// has been parsed, no read waits past the head's deadline.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(HttpConnection& connection, std::chrono::microseconds read_timeout,
                     std::chrono::microseconds write_timeout, HttpConnection::Clock::time_point head_deadline);

    /// Lifts the head's deadline once the request head has been parsed.
    void headParsed() { head_deadline_.reset(); }
    /// Keeps the next write (a reply head) until the write after it, so that both leave in one send.
    void holdNextWrite() { hold_next_write_ = true; }
    /// Sends a held write that no other followed; false when that failed.
    bool flush();

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return connection_.fd(); }

private:
    std::chrono::milliseconds readWait() const;
    // Sends the parts whole, waiting for room within the write time-out; false when that failed.
    bool sendAll(std::string_view first, std::string_view second = {});

    HttpConnection& connection_;
    std::chrono::microseconds read_timeout_;
    std::chrono::microseconds write_timeout_;
    std::optional<HttpConnection::Clock::time_point> head_deadline_;
    bool hold_next_write_ = false;
    std::string held_;
    bool write_failed_ = false;
};
