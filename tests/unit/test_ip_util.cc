#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/ip_util.h"

namespace
{

t_ipaddr ip(const char *text)
{
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    return a;
}

t_ipprefix pfx(const char *text, uint8_t len) { return t_ipprefix{ip(text), len}; }

std::string text(const t_ipaddr &a) { return ipaddr_str(&a).c; }

std::string text(const t_ipprefix &p)
{
    char buf[IPADDR_STR_LEN];
    return ipprefix_print(&p, buf, sizeof(buf));
}

TEST(IpUtil, HostOrderAndPrinting)
{
    t_ipaddr a = ip("224.0.0.13");
    EXPECT_TRUE(IPADDR_IS_V4(&a));
    EXPECT_EQ(a.u.addr4, 0xE000000Du);
    EXPECT_EQ(text(t_ipprefix{a, 32}), "224.0.0.13/32");
    char buf[IPADDR_STR_LEN];
    EXPECT_STREQ(ipv4_print(0xFFFFFFFFu, buf, sizeof(buf)), "255.255.255.255");
    // A short buffer is cut, never overrun.
    char small[6];
    EXPECT_STREQ(ipv4_print(0xE000000Du, small, sizeof(small)), "224.0");

    t_ipaddr b = ip("2001:db8::1");
    EXPECT_TRUE(IPADDR_IS_V6(&b));
    EXPECT_EQ(b.u.addr6_b[0], 0x20);
    EXPECT_EQ(b.u.addr6_b[15], 0x01);
    EXPECT_EQ(text(b), "2001:db8::1");
    EXPECT_EQ(text(pfx("ff02::d", 128)), "ff02::d/128");

    // Copying a v4 address over a v6 one takes the family too.
    t_ipaddr d;
    IPADDR_INIT(&d, IP_ADDR_V6);
    IPADDR_COPY(&d, &a);
    EXPECT_TRUE(IPADDR_IS_V4(&d));
    EXPECT_EQ(IPADDR_CMP(&a, &d), 0);
}

TEST(IpUtil, TotalOrder)
{
    // Sorting gives the dotted order: bytes compare unsigned and every IPv4
    // address sorts before every IPv6 address, even the zero one.
    std::vector<std::string> want = {
        "10.0.0.1",        "10.0.0.2", "11.0.0.0", "127.255.255.255", "128.0.0.0",
        "255.255.255.255", "::",       "7fff::",   "8000::",          "fe80::2"};
    std::vector<t_ipaddr> v;
    for (const std::string &t : want) {
        v.push_back(ip(t.c_str()));
    }
    std::reverse(v.begin(), v.end());
    std::swap(v[2], v[6]);
    std::sort(v.begin(), v.end(),
              [](const t_ipaddr &x, const t_ipaddr &y) { return IPADDR_CMP(&x, &y) < 0; });
    std::vector<std::string> got;
    for (const auto &x : v) {
        got.push_back(text(x));
    }
    EXPECT_EQ(got, want);

    t_ipprefix p16 = pfx("10.1.0.0", 16);
    t_ipprefix p24 = pfx("10.1.0.0", 24);
    t_ipprefix q24 = pfx("10.0.0.0", 24);
    t_ipprefix v6p = pfx("::", 0);
    EXPECT_LT(IPPREFIX_CMP(&p16, &p24), 0);
    EXPECT_GT(IPPREFIX_CMP(&p16, &q24), 0);
    EXPECT_LT(IPPREFIX_CMP(&p24, &v6p), 0);
}

TEST(IpUtil, MasksAndContainment)
{
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(0), 0u);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(1), 0x80000000u);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(31), 0xFFFFFFFEu);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(32), 0xFFFFFFFFu);

    t_ipaddr m;
    IPADDR_INIT(&m, IP_ADDR_V4);
    ip_prefixlen_to_mask(20, &m);
    EXPECT_EQ(m.u.addr4, 0xFFFFF000u);
    IPADDR_INIT(&m, IP_ADDR_V6);
    ip_prefixlen_to_mask(68, &m);
    EXPECT_EQ(text(m), "ffff:ffff:ffff:ffff:f000::");
    ip_prefixlen_to_mask(0, &m);
    EXPECT_TRUE(IPADDR_IS_ZERO(&m));
    ip_prefixlen_to_mask(200, &m);
    EXPECT_EQ(text(m), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    t_ipaddr u;
    IPADDR_INIT(&u, IP_ADDR_UNKNOWN);
    u.u.addr4 = 77;
    ip_prefixlen_to_mask(8, &u);
    EXPECT_EQ(u.u.addr4, 77u);

    struct t_case {
        t_ipprefix p;
        const char *addr;
        bool in;
    };
    const t_case cases[] = {
        {pfx("10.1.0.0", 16), "10.1.255.7", true},
        {pfx("10.1.0.0", 16), "10.2.0.1", false},
        {pfx("10.1.0.0", 16), "::a01:0", false},
        {pfx("0.0.0.0", 0), "10.2.0.1", true},
        {pfx("2001:db8::", 33), "2001:db8:7fff::1", true},
        {pfx("2001:db8::", 33), "2001:db8:8000::1", false},
        {pfx("10.1.0.0", 33), "10.1.255.7", false},
    };
    for (const t_case &c : cases) {
        t_ipaddr a = ip(c.addr);
        EXPECT_EQ(ipprefix_contains(&c.p, &a), c.in) << text(c.p) << " " << c.addr;
    }

    t_ipprefix p6 = pfx("2001:db8::", 128);
    EXPECT_TRUE(ipprefix_is_valid(&p6));
    p6.prefixlen = 129;
    EXPECT_FALSE(ipprefix_is_valid(&p6));
    t_ipprefix p4 = pfx("10.1.0.0", 33);
    EXPECT_FALSE(ipprefix_is_valid(&p4));
    t_ipprefix none;
    IPPREFIX_INIT(&none, IP_ADDR_UNKNOWN);
    EXPECT_FALSE(ipprefix_is_valid(&none));
}

TEST(IpUtil, Classification)
{
    // Address, unicast, multicast.
    struct t_case {
        const char *addr;
        bool unicast;
        bool multicast;
    };
    const t_case cases[] = {
        {"10.0.0.0", false, false},  {"10.0.0.255", false, false},
        {"127.0.0.1", false, false}, {"0.1.2.3", false, false},
        {"224.0.0.0", false, true},  {"239.255.255.255", false, true},
        {"240.0.0.0", false, false}, {"255.255.255.255", false, false},
        {"10.0.0.1", true, false},   {"223.255.255.254", true, false},
        {"fe80::1", false, false},   {"::", false, false},
        {"ff05::2", false, true},    {"2001:db8::1", true, false},
    };
    for (const t_case &c : cases) {
        t_ipaddr a = ip(c.addr);
        EXPECT_EQ(ipaddr_is_unicast(&a), c.unicast) << c.addr;
        EXPECT_EQ(ipaddr_is_multicast(&a), c.multicast) << c.addr;
    }
    t_ipaddr unknown;
    IPADDR_INIT(&unknown, IP_ADDR_UNKNOWN);
    EXPECT_TRUE(ipaddr_is_unicast(&unknown));
    EXPECT_FALSE(ipaddr_is_multicast(&unknown));
    EXPECT_TRUE(IPADDR_IS_ZERO(&unknown));
    t_ipaddr z6 = ip("::");
    t_ipaddr nz6 = ip("::1");
    EXPECT_TRUE(IPADDR_IS_ZERO(&z6));
    EXPECT_FALSE(IPADDR_IS_ZERO(&nz6));
}

TEST(IpUtil, ParseFailuresLeaveAnUnknownZeroAddress)
{
    for (const char *t : {"", "10.0.0", "10.0.0.256", "1.2.3.4.5", "abc", "10.0.0.1 ", "::g",
                          "1:2:3:4:5:6:7:8:9", "224.0.0.13/32"}) {
        t_ipaddr a;
        IPADDR_SET_V4(&a, 0x01020304u);
        EXPECT_EQ(str_to_ip(t, &a), 0) << t;
        const t_ipaddr zero{};
        EXPECT_EQ(memcmp(&a, &zero, sizeof(a)), 0) << t;
    }
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(nullptr, &a), 0);
    EXPECT_EQ(a.addr_type, IP_ADDR_UNKNOWN);
    EXPECT_EQ(str_to_ip("::ffff:10.0.0.1", &a), 1);
    EXPECT_TRUE(IPADDR_IS_V6(&a));
}

TEST(IpUtilDeath, ComparingUntypedAddressesIsFatal)
{
    t_ipaddr a;
    IPADDR_INIT(&a, IP_ADDR_UNKNOWN);
    // The assertion line goes to standard output; the abort is what counts.
    EXPECT_DEATH(IPADDR_CMP(&a, &a), "");
}

} // namespace
