#include <gtest/gtest.h>
#include <string>

#include "common/pb_util.h"
#include "proto/pb_common.pb-c.h"
#include "proto/rtm.pb-c.h"

TEST(PbUtil, AddressTextBothWays)
{
    PbIpAddress pb = PB_IP_ADDRESS__INIT;
    t_ipaddr a;
    IPADDR_SET_V4(&a, 0x01020304);
    pb_util_to_ipaddr(&pb, &a); // no text: untouched
    EXPECT_EQ(a.u.addr4, 0x01020304u);
    pb_util_to_ipaddr(static_cast<const PbIpAddress *>(nullptr), &a);
    EXPECT_EQ(a.u.addr4, 0x01020304u);

    pb.is_ipv4 = true;
    pb.address = const_cast<char *>("224.0.0.13");
    pb_util_to_ipaddr(&pb, &a);
    EXPECT_TRUE(IPADDR_IS_V4(&a));
    EXPECT_EQ(a.u.addr4, 0xE000000Du);

    MIpAddress m = M_IP_ADDRESS__INIT;
    m.is_ipv4 = false;
    m.address = const_cast<char *>("2001:db8::1");
    pb_util_to_ipaddr(&m, &a);
    ASSERT_TRUE(IPADDR_IS_V6(&a));
    EXPECT_EQ(a.u.addr6_b[15], 1);

    // Family flag and text disagree: not an address.
    m.is_ipv4 = true;
    pb_util_to_ipaddr(&m, &a);
    EXPECT_EQ(a.addr_type, IP_ADDR_UNKNOWN);

    char text[IPADDR_STR_LEN];
    IPADDR_SET_V4(&a, 0x0A000001);
    MIpAddress out = M_IP_ADDRESS__INIT;
    pb_util_from_ipaddr(&a, &out, text, sizeof(text));
    EXPECT_TRUE(out.is_ipv4);
    EXPECT_EQ(std::string(out.address), "10.0.0.1");
}
