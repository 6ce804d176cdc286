#include "app/local_address.h"

#include <net/if.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Interfaces named here are created in the test's private network namespace, in order, each
// with one IPv4 address.
struct AddressCase {
    const char* title;
    std::vector<std::pair<std::string, std::string>> interfaces;  // name, address
    std::string expected;
};

void PrintTo(const AddressCase& addressCase, std::ostream* os)
{
    *os << addressCase.title;
}

class LocalAddressTest : public testing::TestWithParam<AddressCase> {
protected:
    void SetUp() override
    {
        // Adding interfaces is only safe where nothing but loopback exists.
        if (!onlyLoopback()) {
            GTEST_SKIP() << "needs a private network namespace with only loopback";
        }
    }

    void TearDown() override
    {
        for (const std::string& name : created_) {
            std::system(("ip link del " + name + " 2>/dev/null").c_str());
        }
    }

    // Adds an up interface with one address; dummy devices where the kernel has them, else bridges.
    void addInterface(const std::string& name, const std::string& address)
    {
        if (std::system(("ip link add " + name + " type dummy 2>/dev/null").c_str()) != 0) {
            ASSERT_EQ(std::system(("ip link add " + name + " type bridge").c_str()), 0) << name;
        }
        created_.push_back(name);
        ASSERT_EQ(std::system(("ip addr add " + address + "/24 dev " + name).c_str()), 0) << name;
        ASSERT_EQ(std::system(("ip link set " + name + " up").c_str()), 0) << name;
    }

private:
    static bool onlyLoopback()
    {
        struct if_nameindex* names = if_nameindex();
        if (names == nullptr) {
            return false;
        }
        bool only = true;
        for (const struct if_nameindex* it = names; it->if_index != 0; ++it) {
            only = only && std::string(it->if_name) == "lo";
        }
        if_freenameindex(names);
        return only;
    }

    std::vector<std::string> created_;
};

TEST_P(LocalAddressTest, PicksFirstAdvertisableAddress)
{
    for (const auto& [name, address] : GetParam().interfaces) {
        ASSERT_NO_FATAL_FAILURE(addInterface(name, address));
    }
    EXPECT_EQ(localAddress(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, LocalAddressTest,
    testing::Values(
        AddressCase{"OnlyLoopback", {}, "0.0.0.0"},
        AddressCase{"LoopbackAndDockerBridge", {{"docker0", "172.17.0.1"}}, "0.0.0.0"},
        AddressCase{"CameraSubnetThenLan",
                    {{"eth0", "192.168.144.10"}, {"eth1", "10.0.0.5"}}, "10.0.0.5"},
        AddressCase{"OtherPrivateSubnetIsKept", {{"eth0", "192.168.1.20"}}, "192.168.1.20"},
        AddressCase{"FirstUsableWins", {{"eth0", "10.0.0.5"}, {"eth1", "10.0.0.6"}}, "10.0.0.5"},
        AddressCase{"LinkLocalSkipped",
                    {{"eth0", "169.254.3.4"}, {"eth1", "10.1.1.1"}}, "10.1.1.1"},
        AddressCase{"NameContainingLoIsUsed", {{"wlo1", "10.2.2.2"}}, "10.2.2.2"},
        AddressCase{"NameStartingWithLoIsSkipped",
                    {{"lo2", "10.3.3.3"}, {"eth0", "10.4.4.4"}}, "10.4.4.4"},
        AddressCase{"AllSkipped",
                    {{"eth0", "169.254.9.9"}, {"eth1", "172.20.0.1"}, {"eth2", "192.168.144.1"}},
                    "0.0.0.0"}),
    [](const testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.title); });

}  // namespace
