// Received messages whose enum fields hold numbers outside their enumeration
// are refused whole before any reader loads the field as the enum type.
#include <gtest/gtest.h>

#include <event2/event.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/pb_util.h"
#include "proto/cdb.pb-c.h"
#include "proto/rtm.pb-c.h"
#include "tools/cdbd/cdbd_agent.h"

namespace
{

template <typename E> void set_raw(E *field, int value) { memcpy(field, &value, sizeof(value)); }

// Packs and unpacks, as a receiver sees the message.
bool cdb_round_trip_valid(const Cdb__CdbMsg *msg)
{
    std::vector<uint8_t> bytes(cdb__cdb_msg__get_packed_size(msg));
    cdb__cdb_msg__pack(msg, bytes.data());
    Cdb__CdbMsg *out = cdb__cdb_msg__unpack(nullptr, bytes.size(), bytes.data());
    EXPECT_NE(out, nullptr);
    bool ok = out != nullptr && pb_util_enums_valid(&out->base);
    cdb__cdb_msg__free_unpacked(out, nullptr);
    return ok;
}

TEST(ReceivedEnums, FieldsSubMessagesRepeatedEntriesAndOneofs)
{
    Cdb__ShowConfig sc = CDB__SHOW_CONFIG__INIT;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_SHOW_CONFIG;
    msg.show_config = &sc;
    sc.which = CDB__SHOW_CONFIG__WHICH__RUNNING;
    EXPECT_TRUE(cdb_round_trip_valid(&msg));
    for (int bad : {2, -1, static_cast<int>(0x8FFFFFFFu)}) {
        set_raw(&sc.which, bad);
        EXPECT_FALSE(cdb_round_trip_valid(&msg)) << bad;
    }

    // The second of two values carries an unknown type.
    Cdb__Value v1 = CDB__VALUE__INIT;
    Cdb__Value v2 = CDB__VALUE__INIT;
    v1.type = CDB__VALUE_TYPE__VT_XMLBEGIN;
    v2.type = CDB__VALUE_TYPE__VT_IPV6PREFIX;
    Cdb__Value *values[] = {&v1, &v2};
    Cdb__DataReply dr = CDB__DATA_REPLY__INIT;
    dr.n_values = 2;
    dr.values = values;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REPLY;
    msg.data_reply = &dr;
    EXPECT_TRUE(cdb_round_trip_valid(&msg));
    set_raw(&v2.type, 19);
    EXPECT_FALSE(cdb_round_trip_valid(&msg));

    // Route table messages: an unknown next-hop type deep inside.
    MRtmControlNextHop hops[2] = {M_RTM_CONTROL_NEXT_HOP__INIT, M_RTM_CONTROL_NEXT_HOP__INIT};
    MRtmControlNextHop *hop_ps[] = {&hops[0], &hops[1]};
    MRtmControlNhresNextHop resp = M_RTM_CONTROL_NHRES_NEXT_HOP__INIT;
    resp.n_next_hop = 2;
    resp.next_hop = hop_ps;
    MRtmControlNhres nhres = M_RTM_CONTROL_NHRES__INIT;
    nhres.type = E_RTM_CONTROL_NHRES_TYPE__NHRES_UPDATE;
    nhres.nhres_resp = &resp;
    MRtmControl ctl = M_RTM_CONTROL__INIT;
    ctl.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES;
    ctl.nhres = &nhres;
    EXPECT_TRUE(pb_util_enums_valid(&ctl.base));
    set_raw(&hops[1].nh_type, 6);
    EXPECT_FALSE(pb_util_enums_valid(&ctl.base));
    hops[1].nh_type = E_RTM_CONTROL_NH_TYPE__NEXTHOP_EXTRANET;
    set_raw(&ctl.type, 7);
    EXPECT_FALSE(pb_util_enums_valid(&ctl.base));
}

int no_send(t_cdbd_session *, const Cdb__CdbMsg *) { return 0; }

// A fuzzer's input (session byte, then a message of repeated ShowConfig bodies
// whose last `which` is 0x8FFFFFFF) once reached the agent's reader of `which`.
TEST(ReceivedEnums, AgentDropsTheShowConfigRegression)
{
    std::ifstream in(KEMD_SOURCE_DIR "/tests/fuzz/seeds/fuzz_cdb_msg/regression-show-config-which",
                     std::ios::binary);
    std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(input.size(), 1u);

    event_base *base = event_base_new();
    t_cdbd_agent agent;
    t_cdbd_config config;
    config.yang_dir = KEMD_SOURCE_DIR "/yang";
    config.db_path = ":memory:";
    std::string err;
    ASSERT_EQ(cdbd_agent_init(&agent, config, base, no_send, &err), 0) << err;
    t_cdbd_session *s = cdbd_session_open(&agent, nullptr, input[0]);
    cdbd_session_input(s, input.data() + 1, input.size() - 1);
    EXPECT_EQ(agent.stats.rx_msgs, 1u);
    EXPECT_EQ(agent.stats.rx_bad, 1u);
    cdbd_session_close(s);
    cdbd_agent_destroy(&agent);
    event_base_free(base);
}

} // namespace
