#pragma once

#include <string>

// Returns the first IPv4 address of the host worth advertising, in dotted form: loopback
// interfaces ("lo" prefix) and link-local, 172.* and 192.168.144.* addresses are passed over.
// Falls back to "0.0.0.0"; does not fail.
std::string localAddress();
