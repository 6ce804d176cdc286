#pragma once

// The connections a listener has accepted and not yet closed. Shutdown reaches every one of them, and
// a route handler reaches the socket of the connection its request came on, without touching a
// descriptor that another thread may be closing: a connection leaves the set, under its mutex, before
// its socket is closed.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "server/http_connection.h"

class OpenConnections : public std::enable_shared_from_this<OpenConnections> {
public:
    /// Takes ownership of the accepted socket `fd` (carrying at most `requests` requests). The
    /// connection is in the set until its last reference goes; then it leaves it and is closed.
    std::shared_ptr<HttpConnection> adopt(int fd, size_t requests);

    /// Shuts down both directions of every open connection: waiting clients see the end at once, and
    /// replies in flight fail at their next read or write.
    void shutdownAll();

    /// Caps the kernel's send buffer of the open connection between the given endpoints at `bytes`;
    /// false when no such connection is open or the cap could not be set.
    bool limitSendBuffer(const std::string& remote_address, int remote_port, const std::string& local_address,
                         int local_port, int bytes);

    /// Connections open now.
    size_t count();

private:
    void forget(const HttpConnection* connection);

    std::mutex mutex_;
    std::unordered_set<const HttpConnection*> open_;
};
