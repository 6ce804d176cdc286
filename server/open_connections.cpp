#include "server/open_connections.h"

#include <sys/socket.h>

std::shared_ptr<HttpConnection> OpenConnections::adopt(int fd, size_t requests) {
    std::shared_ptr<OpenConnections> self = shared_from_this();
    std::shared_ptr<HttpConnection> connection(new HttpConnection(fd, requests), [self](HttpConnection* c) {
        self->forget(c);
        delete c;  // closes the socket, now out of everyone else's reach
    });
    std::lock_guard lock(mutex_);
    open_.insert(connection.get());
    return connection;
}

void OpenConnections::forget(const HttpConnection* connection) {
    std::lock_guard lock(mutex_);
    open_.erase(connection);
}

void OpenConnections::shutdownAll() {
    std::lock_guard lock(mutex_);
    for (const HttpConnection* c : open_) ::shutdown(c->fd(), SHUT_RDWR);
}

bool OpenConnections::limitSendBuffer(const std::string& remote_address, int remote_port,
                                      const std::string& local_address, int local_port, int bytes) {
    std::lock_guard lock(mutex_);
    for (const HttpConnection* c : open_) {
        if (c->remotePort() != remote_port || c->localPort() != local_port || c->remoteAddress() != remote_address ||
            c->localAddress() != local_address)
            continue;
        return ::setsockopt(c->fd(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
    }
    return false;
}

size_t OpenConnections::count() {
    std::lock_guard lock(mutex_);
    return open_.size();
}
