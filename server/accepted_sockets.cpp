#include "server/accepted_sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace {

/// Address text and port of an IPv4 or IPv6 socket address; false for other families.
bool describe(const sockaddr_storage& address, std::string& text, uint16_t& port) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        port = ntohs(in->sin_port);
        text = ::inet_ntop(AF_INET, &in->sin_addr, buffer, sizeof buffer) ? buffer : "";
        return true;
    }
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        port = ntohs(in6->sin6_port);
        text = ::inet_ntop(AF_INET6, &in6->sin6_addr, buffer, sizeof buffer) ? buffer : "";
        return true;
    }
    return false;
}

}  // namespace

void forEachAcceptedSocket(uint16_t port,
                           const std::function<void(int fd, const std::string& peer_address, uint16_t peer_port)>& visit) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return;
    const int dir_fd = ::dirfd(dir);
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        const long number = std::strtol(e->d_name, &end, 10);
        const int fd = static_cast<int>(number);
        if (end == e->d_name || *end != '\0' || fd == dir_fd) continue;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        int listening = 0;
        socklen_t len = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening) continue;
        sockaddr_storage local{};
        socklen_t local_len = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) continue;
        std::string local_text;
        uint16_t local_port = 0;
        if (!describe(local, local_text, local_port) || local_port != port) continue;
        // Only connections accepted by the listener have its port as their local end and a peer.
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) continue;
        std::string peer_text;
        uint16_t peer_port = 0;
        if (!describe(peer, peer_text, peer_port)) continue;
        visit(fd, peer_text, peer_port);
    }
    ::closedir(dir);
}

bool limitSendBuffer(uint16_t port, const std::string& peer_address, uint16_t peer_port, int bytes) {
    bool found = false;
    forEachAcceptedSocket(port, [&](int fd, const std::string& address, uint16_t peer) {
        if (peer != peer_port || address != peer_address) return;
        found = ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
    });
    return found;
}
