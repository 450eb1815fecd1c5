#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/ip_util.h"

namespace
{

t_ipaddr v4(const char *text)
{
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    EXPECT_TRUE(IPADDR_IS_V4(&a)) << text;
    return a;
}

t_ipaddr v6(const char *text)
{
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    EXPECT_TRUE(IPADDR_IS_V6(&a)) << text;
    return a;
}

t_ipprefix pfx(const char *text, uint8_t len)
{
    t_ipprefix p;
    IPPREFIX_INIT(&p, IP_ADDR_UNKNOWN);
    EXPECT_EQ(str_to_ip(text, &p.addr), 1);
    p.prefixlen = len;
    return p;
}

std::string text(const t_ipaddr &a)
{
    return ipaddr_str(&a).c;
}

std::string text(const t_ipprefix &p)
{
    char buf[IPADDR_STR_LEN];
    return ipprefix_print(&p, buf, sizeof(buf));
}

TEST(IpUtil, HostOrderAndPrinting)
{
    t_ipaddr a = v4("224.0.0.13");
    EXPECT_EQ(a.u.addr4, 0xE000000Du);
    EXPECT_EQ(text(a), "224.0.0.13");
    t_ipprefix p{a, 32};
    EXPECT_EQ(text(p), "224.0.0.13/32");
    char buf[IPADDR_STR_LEN];
    EXPECT_STREQ(ipv4_print(0x0A000102u, buf, sizeof(buf)), "10.0.1.2");
    EXPECT_STREQ(ipv4_print(0xFFFFFFFFu, buf, sizeof(buf)), "255.255.255.255");
    // A short buffer is cut, never overrun.
    char small[6];
    ipv4_print(0xE000000Du, small, sizeof(small));
    EXPECT_STREQ(small, "224.0");

    t_ipaddr b = v6("2001:db8::1");
    EXPECT_EQ(b.u.addr6_b[0], 0x20);
    EXPECT_EQ(b.u.addr6_b[1], 0x01);
    EXPECT_EQ(b.u.addr6_b[15], 0x01);
    EXPECT_EQ(text(b), "2001:db8::1");
    EXPECT_EQ(text(pfx("ff02::d", 128)), "ff02::d/128");

    t_ipaddr c;
    IPADDR_SET_V4(&c, 0x0A000001u);
    t_ipaddr d;
    IPADDR_INIT(&d, IP_ADDR_V6);
    IPADDR_COPY(&d, &c);
    EXPECT_TRUE(IPADDR_IS_V4(&d));
    EXPECT_EQ(IPADDR_CMP(&c, &d), 0);
    IPADDR_COPY(&d, &b);
    EXPECT_EQ(IPADDR_CMP(&b, &d), 0);
    t_ipprefix e;
    IPPREFIX_COPY(&e, &p);
    EXPECT_EQ(IPPREFIX_CMP(&e, &p), 0);
}

TEST(IpUtil, TotalOrder)
{
    t_ipaddr a1 = v4("10.0.0.1");
    t_ipaddr a2 = v4("10.0.0.2");
    t_ipaddr b = v4("11.0.0.0");
    t_ipaddr hi = v4("255.255.255.255");
    t_ipaddr z6 = v6("::");
    t_ipaddr x6 = v6("fe80::1");
    t_ipaddr y6 = v6("fe80::2");
    EXPECT_GT(IPADDR_CMP(&a2, &a1), 0);
    EXPECT_LT(IPADDR_CMP(&a2, &b), 0);
    EXPECT_EQ(IPADDR_CMP(&a1, &a1), 0);
    // Every IPv4 address sorts before every IPv6 address, even the zero one.
    EXPECT_LT(IPADDR_CMP(&hi, &z6), 0);
    EXPECT_GT(IPADDR_CMP(&z6, &hi), 0);
    EXPECT_LT(IPADDR_CMP(&x6, &y6), 0);
    // Bytes compare unsigned: 0x80 sorts after 0x7f.
    EXPECT_LT(IPADDR_CMP(&a1, &hi), 0);
    t_ipaddr lo6 = v6("7fff::");
    t_ipaddr top6 = v6("8000::");
    EXPECT_LT(IPADDR_CMP(&lo6, &top6), 0);
    t_ipaddr c1 = v4("127.255.255.255");
    t_ipaddr c2 = v4("128.0.0.0");
    EXPECT_LT(IPADDR_CMP(&c1, &c2), 0);

    // Sorting by the comparison gives the dotted order.
    std::vector<t_ipaddr> v = {y6, b, a2, z6, hi, a1, c2, c1};
    std::sort(v.begin(), v.end(),
              [](const t_ipaddr &x, const t_ipaddr &y) { return IPADDR_CMP(&x, &y) < 0; });
    std::vector<std::string> got;
    for (const auto &x : v) {
        got.push_back(text(x));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "11.0.0.0", "127.255.255.255",
                                             "128.0.0.0", "255.255.255.255", "::", "fe80::2"}));

    t_ipprefix p16 = pfx("10.1.0.0", 16);
    t_ipprefix p24 = pfx("10.1.0.0", 24);
    t_ipprefix q24 = pfx("10.0.0.0", 24);
    EXPECT_LT(IPPREFIX_CMP(&p16, &p24), 0);
    EXPECT_GT(IPPREFIX_CMP(&p16, &q24), 0);
    EXPECT_GT(IPPREFIX_CMP(&p24, &p16), 0);
    t_ipprefix v6p = pfx("::", 0);
    EXPECT_LT(IPPREFIX_CMP(&p24, &v6p), 0);
}

TEST(IpUtil, MasksAndContainment)
{
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(0), 0u);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(1), 0x80000000u);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(4), 0xF0000000u);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(24), 0xFFFFFF00u);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(31), 0xFFFFFFFEu);
    EXPECT_EQ(IPV4_PREFIXLEN_TO_VAL(32), 0xFFFFFFFFu);
    static_assert(IPV4_PREFIXLEN_TO_VAL(8) == 0xFF000000u);

    t_ipaddr m;
    IPADDR_INIT(&m, IP_ADDR_V4);
    ip_prefixlen_to_mask(20, &m);
    EXPECT_EQ(m.u.addr4, 0xFFFFF000u);
    IPADDR_INIT(&m, IP_ADDR_V6);
    ip_prefixlen_to_mask(68, &m);
    EXPECT_EQ(text(m), "ffff:ffff:ffff:ffff:f000::");
    ip_prefixlen_to_mask(0, &m);
    EXPECT_TRUE(IPADDR_IS_ZERO(&m));
    ip_prefixlen_to_mask(128, &m);
    EXPECT_EQ(text(m), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    ip_prefixlen_to_mask(200, &m);
    EXPECT_EQ(text(m), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    t_ipaddr u;
    IPADDR_INIT(&u, IP_ADDR_UNKNOWN);
    u.u.addr4 = 77;
    ip_prefixlen_to_mask(8, &u);
    EXPECT_EQ(u.u.addr4, 77u);

    t_ipprefix p = pfx("10.1.0.0", 16);
    t_ipaddr in = v4("10.1.255.7");
    t_ipaddr out = v4("10.2.0.1");
    t_ipaddr six = v6("::a01:0");
    EXPECT_TRUE(ipprefix_contains(&p, &in));
    EXPECT_FALSE(ipprefix_contains(&p, &out));
    EXPECT_FALSE(ipprefix_contains(&p, &six));
    t_ipprefix all = pfx("0.0.0.0", 0);
    EXPECT_TRUE(ipprefix_contains(&all, &out));
    t_ipprefix p6 = pfx("2001:db8::", 33);
    t_ipaddr in6 = v6("2001:db8:7fff::1");
    t_ipaddr out6 = v6("2001:db8:8000::1");
    EXPECT_TRUE(ipprefix_contains(&p6, &in6));
    EXPECT_FALSE(ipprefix_contains(&p6, &out6));

    EXPECT_TRUE(ipprefix_is_valid(&p));
    p.prefixlen = 33;
    EXPECT_FALSE(ipprefix_is_valid(&p));
    EXPECT_FALSE(ipprefix_contains(&p, &in));
    p6.prefixlen = 128;
    EXPECT_TRUE(ipprefix_is_valid(&p6));
    p6.prefixlen = 129;
    EXPECT_FALSE(ipprefix_is_valid(&p6));
    t_ipprefix none;
    IPPREFIX_INIT(&none, IP_ADDR_UNKNOWN);
    EXPECT_FALSE(ipprefix_is_valid(&none));
}

TEST(IpUtil, Classification)
{
    for (const char *t : {"10.0.0.0", "10.0.0.255", "127.0.0.1", "224.0.0.1", "0.1.2.3",
                          "239.255.255.254", "255.255.255.255"}) {
        t_ipaddr a = v4(t);
        EXPECT_FALSE(ipaddr_is_unicast(&a)) << t;
    }
    for (const char *t : {"10.0.0.1", "223.255.255.254", "1.0.0.1", "192.168.1.254"}) {
        t_ipaddr a = v4(t);
        EXPECT_TRUE(ipaddr_is_unicast(&a)) << t;
    }
    for (const char *t : {"fe80::1", "ff02::d", "::"}) {
        t_ipaddr a = v6(t);
        EXPECT_FALSE(ipaddr_is_unicast(&a)) << t;
    }
    t_ipaddr g6 = v6("2001:db8::1");
    EXPECT_TRUE(ipaddr_is_unicast(&g6));
    t_ipaddr unknown;
    IPADDR_INIT(&unknown, IP_ADDR_UNKNOWN);
    EXPECT_TRUE(ipaddr_is_unicast(&unknown));
    EXPECT_FALSE(ipaddr_is_multicast(&unknown));
    EXPECT_TRUE(IPADDR_IS_ZERO(&unknown));

    t_ipaddr m1 = v4("224.0.0.0");
    t_ipaddr m2 = v4("239.255.255.255");
    t_ipaddr n1 = v4("223.255.255.255");
    t_ipaddr n2 = v4("240.0.0.0");
    t_ipaddr m6 = v6("ff05::2");
    t_ipaddr n6 = v6("fe80::");
    EXPECT_TRUE(ipaddr_is_multicast(&m1));
    EXPECT_TRUE(ipaddr_is_multicast(&m2));
    EXPECT_FALSE(ipaddr_is_multicast(&n1));
    EXPECT_FALSE(ipaddr_is_multicast(&n2));
    EXPECT_TRUE(ipaddr_is_multicast(&m6));
    EXPECT_FALSE(ipaddr_is_multicast(&n6));

    t_ipaddr z4 = v4("0.0.0.0");
    t_ipaddr z6 = v6("::");
    t_ipaddr nz6 = v6("::1");
    EXPECT_TRUE(IPADDR_IS_ZERO(&z4));
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
        EXPECT_EQ(a.addr_type, IP_ADDR_UNKNOWN) << t;
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
    t_ipaddr b;
    IPADDR_INIT(&a, IP_ADDR_UNKNOWN);
    IPADDR_INIT(&b, IP_ADDR_UNKNOWN);
    // The assertion line goes to standard output; the abort is what counts.
    EXPECT_DEATH(IPADDR_CMP(&a, &b), "");
}

} // namespace
