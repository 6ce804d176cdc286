#include "app/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <memory>
#include <string_view>

namespace {

// Address ranges that clients cannot reach: link-local, container bridges and the
// camera-side 192.168.144 subnet.
constexpr std::array<std::string_view, 3> kSkippedPrefixes{"169.254", "172.", "192.168.144"};

bool skippedAddress(std::string_view address)
{
    for (std::string_view prefix : kSkippedPrefixes) {
        if (address.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

struct IfaddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

}  // namespace

std::string localAddress()
{
    std::string result = "0.0.0.0";
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return result;
    }
    const std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);

    for (const ifaddrs* it = list.get(); it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        if (it->ifa_name != nullptr && std::string_view(it->ifa_name).starts_with("lo")) {
            continue;
        }
        std::array<char, INET_ADDRSTRLEN> text{};
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text.data(), text.size()) == nullptr) {
            continue;
        }
        if (skippedAddress(text.data())) {
            continue;
        }
        result = text.data();
        break;
    }
    return result;
}
