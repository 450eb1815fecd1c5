// Tagged values of the configuration framework: prefixes as operators write
// them, wire round trips and rejection of malformed wire values.
#include <gtest/gtest.h>

#include "zconfd/zconfd_pb.h"

namespace
{

TEST(ZconfdValue, InterfacePrefixesKeepTheirHostBits)
{
    t_ipprefix p{};
    ASSERT_EQ(zconfd_ip_prefix_str_to_t_ipprefix("10.1.1.1/24", &p), 0);
    EXPECT_STREQ(ipaddr_str(&p.addr).c, "10.1.1.1");
    EXPECT_EQ(p.prefixlen, 24);
    ASSERT_EQ(zconfd_ip_prefix_str_to_t_ipprefix("2001:db8::1/64", &p), 0);
    EXPECT_TRUE(IPPREFIX_IS_V6(&p));
    EXPECT_EQ(p.prefixlen, 64);
    for (const char *bad : {"10.1.1.1", "10.1.1.1/33", "/24", "10.1.1.1/", "10.1.1.1/2x",
                            "2001:db8::1/129", "ge0/1", "10.1.1.256/24"}) {
        EXPECT_NE(zconfd_ip_prefix_str_to_t_ipprefix(bad, &p), 0) << bad;
    }
    EXPECT_NE(zconfd_ip_prefix_str_to_t_ipprefix(nullptr, &p), 0);
    t_zconfd_value text = zconfd_val_str(1, "192.168.0.9/30");
    ASSERT_EQ(zconfd_val_to_ipprefix(&text, &p), 0);
    EXPECT_EQ(p.prefixlen, 30);
    t_zconfd_value num = zconfd_val_uint(1, ZCONFD_VT_UINT32, 5);
    EXPECT_NE(zconfd_val_to_ipprefix(&num, &p), 0);
}

TEST(ZconfdValue, WireRoundTripAndMalformedValues)
{
    t_ipaddr a{};
    str_to_ip("2001:db8::5", &a);
    t_ipprefix pfx{};
    zconfd_ip_prefix_str_to_t_ipprefix("10.0.0.0/8", &pfx);
    const t_zconfd_value in[] = {
        zconfd_val_begin(zconfd_tag("pim")),
        zconfd_val_bool(zconfd_tag("shutdown"), true),
        zconfd_val_enum(2, -3),
        zconfd_val_uint(3, ZCONFD_VT_UINT64, ~0ull),
        zconfd_val_str(4, "ge0/1"),
        zconfd_val_ipaddr(5, &a),
        zconfd_val_ipprefix(6, &pfx),
        zconfd_val_noexists(7),
        zconfd_val_end(zconfd_tag("pim")),
    };
    t_zconfd_pb_values pb;
    pb.add_all(in, static_cast<int>(std::size(in)));
    ASSERT_EQ(pb.size(), std::size(in));
    char b1[64];
    char b2[64];
    for (size_t i = 0; i < pb.size(); i++) {
        t_zconfd_value out{};
        ASSERT_TRUE(zconfd_pb_to_value(pb.data()[i], &out)) << i;
        EXPECT_EQ(out.tag, in[i].tag);
        EXPECT_EQ(out.type, in[i].type);
        EXPECT_STREQ(zconfd_val_print(&out, b1, sizeof(b1)),
                     zconfd_val_print(&in[i], b2, sizeof(b2)));
    }
    EXPECT_EQ(zconfd_val_to_u64(&in[1]), 1u);

    // A type outside the table, a missing payload, an address of the wrong family.
    Cdb__Value v = CDB__VALUE__INIT;
    t_zconfd_value out{};
    v.type = static_cast<Cdb__ValueType>(99);
    EXPECT_FALSE(zconfd_pb_to_value(&v, &out));
    v.type = CDB__VALUE_TYPE__VT_UINT32;
    EXPECT_FALSE(zconfd_pb_to_value(&v, &out));
    v.type = CDB__VALUE_TYPE__VT_IPV4;
    v.s = const_cast<char *>("2001:db8::1");
    EXPECT_FALSE(zconfd_pb_to_value(&v, &out));
    v.type = CDB__VALUE_TYPE__VT_IPV6PREFIX;
    v.s = const_cast<char *>("10.0.0.0/8");
    EXPECT_FALSE(zconfd_pb_to_value(&v, &out));
    v.type = CDB__VALUE_TYPE__VT_STR;
    v.s = nullptr;
    EXPECT_FALSE(zconfd_pb_to_value(&v, &out));
}

} // namespace
