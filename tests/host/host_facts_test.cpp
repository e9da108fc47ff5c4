#include "host/host_facts.hpp"

#include <gtest/gtest.h>
#include <net/if.h>

#include "host/capabilities.hpp"
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

TEST(LanAddresses, EveryRealInterfaceTheDefaultRoutesFirst) {
    const std::string routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
        "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\n"
        "wlp2s0\t00000000\t0102A8C0\t0003\t0\t0\t600\t00000000\n";
    EXPECT_EQ(defaultRouteInterface(routes), "wlp2s0");
    EXPECT_EQ(defaultRouteInterface(routes.substr(0, routes.find("wlp2s0"))), "");
    const auto addresses = chooseLanAddresses({{"lo", UP_RUNNING | IFF_LOOPBACK, "127.0.0.1"},
                                               {"enp3s0", UP_RUNNING, "10.0.0.5"},
                                               {"docker0", UP_RUNNING, "172.17.0.1"},
                                               {"usb0", UP_RUNNING, "192.168.42.7"},
                                               {"enp4s0", IFF_UP, "10.9.0.5"},  // no carrier
                                               {"wlp2s0", UP_RUNNING, "192.168.2.10"},
                                               {"wlp2s0", UP_RUNNING, ""}},  // its IPv6 entry
                                              "wlp2s0");
    ASSERT_EQ(addresses.size(), 3u);
    EXPECT_EQ(addresses[0].address, "192.168.2.10");
    EXPECT_TRUE(addresses[0].defaultRoute);
    EXPECT_EQ(addresses[1].address, "10.0.0.5");
    EXPECT_EQ(addresses[2].interface, "usb0");
    EXPECT_FALSE(addresses[2].defaultRoute);
}

TEST(Firewall, HintsOnlyWhereAFirewallMayBlockThePort) {
    struct Case {
        FirewallFacts facts;
        std::vector<std::string> firewalls;
    };
    const std::string dropping = "table inet filter {\n chain input {\n  policy drop;\n }\n}\n";
    const std::vector<Case> cases = {
        {{}, {}},
        {{"ENABLED=no\n", std::nullopt, false, false}, {}},
        {{"# ENABLED=yes\nENABLED=yes\n", std::nullopt, false, false}, {"ufw"}},
        {{std::nullopt, dropping, true, true}, {"firewalld", "nftables"}},
        {{std::nullopt, dropping, false, false}, {}},  // the rules are not loaded
        {{std::nullopt, dropping + "tcp dport 8788 accept\n", true, false}, {}},
        {{std::nullopt, "policy accept;\n", true, false}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> firewalls;
        for (const auto& hint : firewallHints(8788, c.facts)) {
            firewalls.push_back(hint.firewall);
            EXPECT_NE(hint.advice.find("8788"), std::string::npos) << hint.advice;
        }
        EXPECT_EQ(firewalls, c.firewalls);
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
