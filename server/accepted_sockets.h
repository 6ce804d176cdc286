#pragma once

// The connections a listener has accepted, found through the process's open descriptors: the HTTP
// library does not hand them out, but shutdown and the live stream need to reach them.
#include <cstdint>
#include <functional>
#include <string>

/// Calls `visit(fd, peer_address, peer_port)` for every connected TCP socket whose local port is `port`.
void forEachAcceptedSocket(uint16_t port,
                           const std::function<void(int fd, const std::string& peer_address, uint16_t peer_port)>& visit);

/// Caps the send buffer of the connection from (peer_address, peer_port) to `port`, so that at most
/// about `bytes` wait for a slow peer; false when the connection was not found.
bool limitSendBuffer(uint16_t port, const std::string& peer_address, uint16_t peer_port, int bytes);
