// The daemon's operational tables through the real agent: the daemon
// registers as it does in production, and a CLI session walks a table with
// keys given as text (typed by the agent from the schema) and gets exactly
// the daemon's rows with every value named; kemcli prints the same rows, and
// runs the daemon's test commands that make routing entries.
#include <event2/event.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daemon/pim_confd.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt_codec.h"
#include "daemon/pim_vpn.h"
#include "tests/component/cdb_agent.h"
#include "tests/sim/pim_sim_if.h"
#include "zconfd/zconfd.h"

using kemd_sim::cdb_msg;
using kemd_sim::t_sim_peer;

namespace
{

constexpr auto v4 = pim_sim_v4;

class PimShowAgent : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(pim_daemon_init(&daemon_p_), PIM_STATUS_OK);
        ASSERT_TRUE(agent_.start());
        ASSERT_EQ(pim_confd_init_at(daemon_p_, agent_.sock.c_str()), PIM_STATUS_OK);
        ASSERT_TRUE(wait_for([&] {
            return daemon_p_->pim_zconfd_ctx_p != nullptr &&
                   zconfd_init_config_read_done(daemon_p_->pim_zconfd_ctx_p->zconfd_p);
        }));
    }

    void TearDown() override
    {
        pim_confd_destroy(daemon_p_);
        pim_daemon_destroy(daemon_p_);
        g_kemd_p = nullptr;
    }

    void pump()
    {
        event_base_loop(daemon_p_->base_event_p, EVLOOP_NONBLOCK);
        timer_exec(daemon_p_->timer_mgr_p, TIMER_PRI_MASK_ALL, 100);
    }

    bool wait_for(const std::function<bool()> &pred, int timeout_ms = 5000)
    {
        return kemd_sim::sim_wait([this] { pump(); }, pred, timeout_ms);
    }

    // One data request with text keys; "" when there is no row, else the
    // values as "name=value", in order.
    std::string data_request(t_sim_peer *cli, const char *cp, Cdb__DataOp op,
                             std::vector<std::string> keys)
    {
        std::vector<Cdb__Value> vals(keys.size());
        std::vector<Cdb__Value *> ptrs;
        for (size_t i = 0; i < keys.size(); i++) {
            cdb__value__init(&vals[i]);
            vals[i].type = CDB__VALUE_TYPE__VT_STR;
            vals[i].s = keys[i].data();
            ptrs.push_back(&vals[i]);
        }
        Cdb__DataRequest req = CDB__DATA_REQUEST__INIT;
        req.callpoint = const_cast<char *>(cp);
        req.op = op;
        req.keys = ptrs.data();
        req.n_keys = ptrs.size();
        Cdb__CdbMsg msg =
            cdb_msg(CDB__CDB_MSG__BODY_DATA_REQUEST, &Cdb__CdbMsg::data_request, &req);
        kemd_sim::t_cdb_reply reply = agent_.call(cli, &msg);
        if (reply == nullptr || reply->body_case != CDB__CDB_MSG__BODY_DATA_REPLY) {
            ADD_FAILURE() << "no answer to " << cp;
            return "";
        }
        std::string text;
        EXPECT_EQ(reply->data_reply->error, nullptr) << reply->data_reply->error;
        for (size_t i = 0; reply->data_reply->found && i < reply->data_reply->n_values; i++) {
            const Cdb__Value *v = reply->data_reply->values[i];
            EXPECT_NE(v->name, nullptr) << "tag " << v->tag << " has no leaf in the schema";
            // Up times follow the wall clock.
            std::string value = v->name != nullptr && strcmp(v->name, "up-time") == 0 ? "*"
                                : v->s != nullptr                                     ? v->s
                                : v->type == CDB__VALUE_TYPE__VT_ENUM ? std::to_string(v->i)
                                                                      : std::to_string(v->u);
            text += (text.empty() ? "" : " ") + std::string(v->name ? v->name : "?") + "=" + value;
        }
        return text;
    }

    // What kemcli prints, run against the agent while the daemon keeps
    // serving; it must succeed.
    std::string kemcli(const std::vector<std::string> &extra)
    {
        std::string out_path = agent_.dir + "/kemcli.out";
        std::vector<std::string> args = {KEMD_BUILD_DIR "/tools/kemcli/kemcli", "-s", agent_.sock,
                                         "-y", KEMD_SOURCE_DIR "/yang"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_t pid = kemd_sim::sim_spawn(args, out_path);
        int status = -1;
        EXPECT_TRUE(wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000));
        std::ifstream in(out_path);
        std::string text(std::istreambuf_iterator<char>(in), {});
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
        return text;
    }

    t_pim_if *running_if(t_pim_vpn *vpn_p, const char *name, uint32_t addr)
    {
        static int kernel_idx = 200;
        t_pim_if *if_p = pim_sim_running_if(daemon_p_, vpn_p, name, kernel_idx++, addr, 24, 1, 60);
        EXPECT_NE(if_p, nullptr);
        return if_p;
    }

    t_pim_daemon *daemon_p_ = nullptr;
    kemd_sim::t_cdb_agent agent_{[this] { pump(); }};
};

TEST_F(PimShowAgent, ShowRequestsReturnTheDaemonsRows)
{
    // VPN 1 with PIM on two interfaces; VPN 2 configured without PIM.
    t_pim_vpn *vpn1 = pim_vpn_find_or_create(daemon_p_, 1);
    t_pim_vpn *vpn2 = pim_vpn_find_or_create(daemon_p_, 2);
    ASSERT_TRUE(vpn1 && vpn2);
    ASSERT_EQ(pim_vpn_pim_enable(vpn1), PIM_STATUS_OK);
    t_pim_if *a = running_if(vpn1, "eth10", 0x0a010105);
    t_pim_if *b = running_if(vpn1, "eth2", 0x0a020205);
    running_if(vpn2, "eth2", 0x0a020205);
    for (auto [if_p, nbr] : {std::pair{a, 0x0a010101u}, {a, 0x0a010109u}, {b, 0x0a020201u}}) {
        t_ipaddr n = v4(nbr);
        ASSERT_EQ(pim_nbr_process_hello(if_p, &n, PIM_NBR_HOLDTIME_FOREVER_MS, 3, 1, 500, 2500),
                  PIM_STATUS_OK);
    }
    t_ipaddr target = v4(0x0a090909);
    t_pim_next_hop *nh = pim_nhres_find_or_create(vpn1, &target);
    ASSERT_NE(nh, nullptr);
    const t_pim_nh_info hops[] = {
        {v4(0x0a020299), static_cast<uint16_t>(b->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0},
        {v4(0x0a010109), static_cast<uint16_t>(a->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0}};
    ASSERT_TRUE(pim_nhres_set_hops(nh, hops));

    auto cli = agent_.connect();
    ASSERT_NE(cli, nullptr);

    // The walk an operator's CLI makes: the first row, then the row after it.
    std::vector<std::string> rows;
    std::string row = data_request(cli.get(), "pim-neighbor", CDB__DATA_OP__DATA_FIRST, {});
    while (!row.empty() && rows.size() < 10) {
        rows.push_back(row);
        auto field = [&](const std::string &name) {
            size_t at = row.find(name + "=") + name.size() + 1;
            return row.substr(at, row.find(' ', at) - at);
        };
        row = data_request(cli.get(), "pim-neighbor", CDB__DATA_OP__DATA_NEXT,
                           {field("vpn-id"), field("if-name"), field("neighbor-address")});
    }
    const std::string tail = " hold-time=65535 dr-priority=3 dr-address=";
    EXPECT_EQ(
        rows,
        (std::vector<std::string>{
            "vpn-id=1 if-name=eth2 neighbor-address=10.2.2.1 up-time=*" + tail + "10.2.2.1",
            "vpn-id=1 if-name=eth10 neighbor-address=10.1.1.1 up-time=*" + tail + "10.1.1.9",
            "vpn-id=1 if-name=eth10 neighbor-address=10.1.1.9 up-time=*" + tail + "10.1.1.9"}));
    EXPECT_EQ(data_request(cli.get(), "pim-interface", CDB__DATA_OP__DATA_GET, {"1", "eth2"}),
              "vpn-id=1 if-name=eth2 address=10.2.2.5/24 neighbor-count=1 hello-interval=30 "
              "dr-priority=1 dr-address=10.2.2.1 join-prune-interval=60");
    EXPECT_EQ(data_request(cli.get(), "pim-interface", CDB__DATA_OP__DATA_GET, {"2", "eth2"}), "");
    EXPECT_EQ(data_request(cli.get(), "multicast-rpf", CDB__DATA_OP__DATA_FIRST, {}),
              "vpn-id=1 rpf-address=10.9.9.9 nexthop-count=2 status=0");
    EXPECT_EQ(data_request(cli.get(), "multicast-rpf-nexthops", CDB__DATA_OP__DATA_SAME_OR_NEXT,
                           {"1", "10.9.9.9"}),
              "index=1 if-name=eth10 neighbor-address=10.1.1.9");
    EXPECT_EQ(data_request(cli.get(), "pim-statistics", CDB__DATA_OP__DATA_NEXT, {"1"}), "");

    // kemcli shows the same rows, the next hops under their record.
    std::string text = kemcli({"-c", "show pim-neighbor"});
    EXPECT_NE(text.find("10.2.2.1"), std::string::npos) << text;
    EXPECT_LT(text.find("eth2"), text.find("eth10")) << text;
    EXPECT_EQ(text.find("10.2.2.99"), std::string::npos) << text;
    text = kemcli({"--json", "-c", "show multicast-rpf-nexthops"});
    EXPECT_NE(text.find("10.9.9.9"), std::string::npos) << text;
    EXPECT_NE(text.find("10.1.1.9"), std::string::npos) << text;
}

TEST_F(PimShowAgent, KemcliRunsTheTestCommandsAndShowsTheTopology)
{
    t_pim_vpn *vpn1 = pim_vpn_find_or_create(daemon_p_, 1);
    ASSERT_NE(vpn1, nullptr);
    ASSERT_EQ(pim_vpn_pim_enable(vpn1), PIM_STATUS_OK);
    running_if(vpn1, "eth2", 0x0a020205);
    t_pim_if *up = running_if(vpn1, "eth3", 0x0a030305);
    t_ipaddr nbr = v4(0x0a030301);
    ASSERT_EQ(pim_nbr_process_hello(up, &nbr, PIM_NBR_HOLDTIME_FOREVER_MS, 1, 1, 500, 2500),
              PIM_STATUS_OK);
    t_ipaddr rp = v4(0x0a090909);
    t_pim_next_hop *nh = pim_nhres_find_or_create(vpn1, &rp);
    ASSERT_NE(nh, nullptr);
    const t_pim_nh_info hops[] = {
        {nbr, static_cast<uint16_t>(up->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0}};
    ASSERT_TRUE(pim_nhres_set_hops(nh, hops));

    std::string text =
        kemcli({"-c",
                "pim-jp-test operation add group 239.1.1.1 source 0.0.0.0 rp 10.9.9.9 vpn-id 1 "
                "if-name eth2",
                "-c", "pim-spt-test operation add group 239.1.1.1 source 10.8.8.8 vpn-id 1", "-c",
                "pim-jp-test operation add group 239.1.1.1 vpn-id 1 if-name eth2", "-c",
                "show multicast-topo"});
    EXPECT_NE(text.find("Join (0.0.0.0, 239.1.1.1) RP: 10.9.9.9 on 1:eth2"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Add (10.8.8.8, 239.1.1.1) 1"), std::string::npos) << text;
    EXPECT_NE(text.find("Please provide proper RP address for (*,G) entry:  not valid unicast"),
              std::string::npos)
        << text;
    for (const char *cell :
         {"star-g", "source-g", "10.9.9.9", "10.3.3.1", "joined", "eth3", "spt"}) {
        EXPECT_NE(text.find(cell), std::string::npos) << cell << " in " << text;
    }
    text = kemcli({"--json", "-c", "show multicast-topology-oil"});
    EXPECT_NE(text.find("\"if-name\": \"eth2\""), std::string::npos) << text;
    EXPECT_EQ(text.find("eth3"), std::string::npos) << "the upstream interface is no outgoing one";
}

} // namespace
