#include "host/host_facts.hpp"

#include <gtest/gtest.h>
#include <net/if.h>

#include "host/keys.hpp"
#include "host/linux/machine_info.hpp"

namespace td::host {
namespace {

constexpr unsigned UP_RUNNING = IFF_UP | IFF_RUNNING;

TEST(LanIP, FirstWiredOrWirelessInterfaceThatIsUpAndRunning) {
    struct Case {
        std::vector<InterfaceAddress> interfaces;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, "127.0.0.1"},
        {{{"lo", UP_RUNNING | IFF_LOOPBACK, "127.0.0.1"},
          {"tun0", UP_RUNNING, "10.8.0.2"},
          {"docker0", UP_RUNNING, "172.17.0.1"},
          {"virbr0", UP_RUNNING, "192.168.122.1"}},
         "127.0.0.1"},
        {{{"wlp2s0", UP_RUNNING, "192.168.1.7"}, {"enp3s0", UP_RUNNING, "192.168.1.8"}},
         "192.168.1.7"},
        {{{"eth0", IFF_UP, "10.0.0.5"}, {"eth1", UP_RUNNING, "10.0.0.6"}}, "10.0.0.6"},
        {{{"en0", UP_RUNNING, ""}, {"en0", UP_RUNNING, "192.168.0.3"}}, "192.168.0.3"},
        {{{"wlan0", UP_RUNNING | IFF_LOOPBACK, "192.168.0.9"}}, "127.0.0.1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chooseLanAddress(c.interfaces), c.expected);
    }
}

TEST(ComputerName, PrettyNameElseHostNameWithoutDotLocal) {
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME=\"Ada's Laptop\"\nCHASSIS=laptop\n"),
              "Ada's Laptop");
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME=Studio\n"), "Studio");
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME='   '\n"), "   ");
    EXPECT_FALSE(prettyHostnameIn("PRETTY_HOSTNAME=\"\"\n"));
    EXPECT_FALSE(prettyHostnameIn("CHASSIS=desktop\n"));
    EXPECT_EQ(withoutDotLocal("studio.local"), "studio");
    EXPECT_EQ(withoutDotLocal("a.local.b.local"), "a.b");
    EXPECT_EQ(withoutDotLocal("studio.LOCAL"), "studio.LOCAL");
}

// In a terminal, DEL erases and C1's CSI (U+009B) starts an escape sequence: typed text must
// never carry a command.
TEST(Keys, OnlyPrintableTextLineFeedsAndTabsAreTyped) {
    for (char32_t c :
         {U'a', U' ', U'~', U'\n', U'\t', U'\u00A0', U'\u00E9', U'\u20AC', U'\U0001F600'}) {
        EXPECT_TRUE(isTypeable(c)) << static_cast<unsigned>(c);
    }
    for (char32_t c : {U'\0', U'\r', U'\x1B', U'\x7F', U'\u0080', U'\u009B', U'\u009F'}) {
        EXPECT_FALSE(isTypeable(c)) << static_cast<unsigned>(c);
    }
}

}  // namespace
}  // namespace td::host
