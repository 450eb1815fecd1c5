// Writes the seed corpora of the fuzz targets: valid inputs of every kind each
// target decodes, built with the project's own encoders and in each target's
// input layout (its first bytes choosing the path). Run from the build:
//   make_fuzz_seeds tests/fuzz/seeds
// The regression inputs beside the generated seeds are kept as they are.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "common/msgq_util.h"
#include "common/rtm_msg.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_pkt_codec.h"
#include "proto/cdb.pb-c.h"
#include "tools/rtmd/rtmd_model.h"
#include "zconfd/zconfd.h"
#include "zconfd/zconfd_pb.h"

namespace
{

using t_bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path g_top;

void put(const char *target, const std::string &name, const t_bytes &bytes)
{
    fs::path dir = g_top / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

t_bytes cat(t_bytes a, const t_bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

t_bytes text(const std::string &s) { return t_bytes(s.begin(), s.end()); }

t_bytes pack(const Cdb__CdbMsg &msg)
{
    t_bytes out(cdb__cdb_msg__get_packed_size(&msg));
    cdb__cdb_msg__pack(&msg, out.data());
    return out;
}

t_ipaddr v4(const char *s)
{
    t_ipaddr a{};
    str_to_ip(s, &a);
    return a;
}

t_ipprefix prefix(const char *s)
{
    t_ipprefix p{};
    zconfd_ip_prefix_str_to_t_ipprefix(s, &p);
    return p;
}

// ---- messages of the configuration agent and its clients ----

// One message of each kind a daemon or the CLI sends the agent.
std::vector<std::pair<std::string, t_bytes>> agent_requests()
{
    std::vector<std::pair<std::string, t_bytes>> out;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = 7;
    // Sets the body (kept for variants after it) and keeps the packed message.
    auto add = [&]<typename T>(const char *name, Cdb__CdbMsg__BodyCase which,
                               T *Cdb__CdbMsg::*field, T *value) {
        msg.body_case = which;
        msg.*field = value;
        out.emplace_back(name, pack(msg));
    };

    Cdb__Subscription sub = CDB__SUBSCRIPTION__INIT;
    sub.id = 2;
    sub.path = const_cast<char *>("vpn/vpn-instance/router/pim/interface");
    sub.priority = 6;
    sub.del_priority = 1;
    sub.has_del_priority = true;
    Cdb__Subscription *subs[] = {&sub};
    char cp[] = "pim-neighbor";
    char *cps[] = {cp};
    Cdb__Register reg = CDB__REGISTER__INIT;
    reg.mod_name = const_cast<char *>("kemd");
    reg.mod_id = 16;
    reg.read_level = 3;
    reg.n_subs = 1;
    reg.subs = subs;
    reg.n_callpoints = 1;
    reg.callpoints = cps;
    add("register", CDB__CDB_MSG__BODY_REGISTER, &Cdb__CdbMsg::register_, &reg);

    Cdb__DeliveryReply dr = CDB__DELIVERY_REPLY__INIT;
    dr.batch_id = 1;
    dr.ok = true;
    add("delivery-reply", CDB__CDB_MSG__BODY_DELIVERY_REPLY, &Cdb__CdbMsg::delivery_reply, &dr);

    t_zconfd_pb_values level;
    t_zconfd_value lv = zconfd_val_enum(zconfd_tag("level"), 2);
    level.add(&lv);
    Cdb__OperWrite ow = CDB__OPER_WRITE__INIT;
    ow.path = const_cast<char *>("/debugs/pim/vpn{1}/events/level");
    ow.op = CDB__OPER_OP__OPER_SET;
    ow.value = level.data()[0];
    add("oper-write", CDB__CDB_MSG__BODY_OPER_WRITE, &Cdb__CdbMsg::oper_write, &ow);

    t_ipaddr nbr = v4("10.1.1.2");
    const t_zconfd_value nv[] = {
        zconfd_val_begin(zconfd_tag("pim-neighbor-up")),
        zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT32, 1),
        zconfd_val_str(zconfd_tag("if-name"), "eth1"),
        zconfd_val_ipaddr(zconfd_tag("neighbor-address"), &nbr),
        zconfd_val_end(zconfd_tag("pim-neighbor-up")),
    };
    t_zconfd_pb_values notif_vals;
    notif_vals.add_all(nv, static_cast<int>(std::size(nv)));
    Cdb__Notification notif = CDB__NOTIFICATION__INIT;
    notif.module = const_cast<char *>("kemd");
    notif.time_us = 1;
    notif.n_values = notif_vals.size();
    notif.values = notif_vals.data();
    add("notification", CDB__CDB_MSG__BODY_NOTIFICATION, &Cdb__CdbMsg::notification, &notif);

    // Show requests with typed keys and with keys as the CLI types them.
    t_zconfd_pb_values keys;
    const t_zconfd_value kv[] = {zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT32, 1),
                                 zconfd_val_str(zconfd_tag("if-name"), "eth1")};
    keys.add_all(kv, 2);
    Cdb__DataRequest dq = CDB__DATA_REQUEST__INIT;
    dq.callpoint = cp;
    dq.op = CDB__DATA_OP__DATA_FIRST;
    add("data-request-first", CDB__CDB_MSG__BODY_DATA_REQUEST, &Cdb__CdbMsg::data_request, &dq);
    dq.op = CDB__DATA_OP__DATA_NEXT;
    dq.n_keys = keys.size();
    dq.keys = keys.data();
    out.emplace_back("data-request-next", pack(msg));

    Cdb__DataReply dy = CDB__DATA_REPLY__INIT;
    dy.found = true;
    dy.n_values = notif_vals.size();
    dy.values = notif_vals.data();
    add("data-reply", CDB__CDB_MSG__BODY_DATA_REPLY, &Cdb__CdbMsg::data_reply, &dy);

    char arg0[] = "clear";
    char arg1[] = "pim";
    char *argv[] = {arg0, arg1};
    Cdb__ActionParam param = CDB__ACTION_PARAM__INIT;
    param.name = const_cast<char *>("vpn");
    param.value = const_cast<char *>("1");
    Cdb__ActionParam *params[] = {&param};
    Cdb__ActionRequest aq = CDB__ACTION_REQUEST__INIT;
    aq.actionpoint = const_cast<char *>("kemd-clear");
    aq.n_argv = 2;
    aq.argv = argv;
    aq.n_params = 1;
    aq.params = params;
    add("action-request", CDB__CDB_MSG__BODY_ACTION_REQUEST, &Cdb__CdbMsg::action_request, &aq);

    Cdb__ActionReply ay = CDB__ACTION_REPLY__INIT;
    ay.ok = true;
    ay.output = const_cast<char *>("cleared\n");
    add("action-reply", CDB__CDB_MSG__BODY_ACTION_REPLY, &Cdb__CdbMsg::action_reply, &ay);

    Cdb__Hello hello = CDB__HELLO__INIT;
    hello.user = const_cast<char *>("admin");
    add("hello", CDB__CDB_MSG__BODY_HELLO, &Cdb__CdbMsg::hello, &hello);

    Cdb__EditRequest ed = CDB__EDIT_REQUEST__INIT;
    ed.op = CDB__EDIT_REQUEST__OP__SET;
    ed.path = const_cast<char *>(
        "/kem-vpn:vpn/vpn-instance[vpn-id='1']/router/pim/interface[if-name='eth1']/dr-priority");
    ed.value = const_cast<char *>("5");
    add("edit-set", CDB__CDB_MSG__BODY_EDIT, &Cdb__CdbMsg::edit, &ed);
    ed.op = CDB__EDIT_REQUEST__OP__DELETE;
    ed.value = nullptr;
    out.emplace_back("edit-delete", pack(msg));

    Cdb__ShowConfig sc = CDB__SHOW_CONFIG__INIT;
    sc.which = CDB__SHOW_CONFIG__WHICH__RUNNING;
    sc.path = const_cast<char *>("/kem-vpn:vpn");
    add("show-config-running", CDB__CDB_MSG__BODY_SHOW_CONFIG, &Cdb__CdbMsg::show_config, &sc);
    sc.which = CDB__SHOW_CONFIG__WHICH__CANDIDATE;
    sc.path = nullptr;
    out.emplace_back("show-config-candidate", pack(msg));

    Cdb__Empty empty = CDB__EMPTY__INIT;
    add("compare", CDB__CDB_MSG__BODY_COMPARE, &Cdb__CdbMsg::compare, &empty);
    add("list-commits", CDB__CDB_MSG__BODY_LIST_COMMITS, &Cdb__CdbMsg::list_commits, &empty);
    add("discard", CDB__CDB_MSG__BODY_DISCARD, &Cdb__CdbMsg::discard, &empty);

    Cdb__CommitRequest commit = CDB__COMMIT_REQUEST__INIT;
    commit.comment = const_cast<char *>("seed");
    commit.has_check_only = true;
    commit.check_only = true;
    add("commit-check", CDB__CDB_MSG__BODY_COMMIT, &Cdb__CdbMsg::commit, &commit);

    Cdb__RollbackRequest rb = CDB__ROLLBACK_REQUEST__INIT;
    rb.commit_id = 1;
    add("rollback", CDB__CDB_MSG__BODY_ROLLBACK, &Cdb__CdbMsg::rollback, &rb);

    Cdb__LoadConfig load = CDB__LOAD_CONFIG__INIT;
    load.json = const_cast<char *>("{\"kem-system:system\":{\"system-ip\":\"10.9.9.9\"}}");
    load.has_merge = true;
    load.merge = true;
    add("load-config", CDB__CDB_MSG__BODY_LOAD_CONFIG, &Cdb__CdbMsg::load_config, &load);

    Cdb__OperRead oread = CDB__OPER_READ__INIT;
    oread.prefix = const_cast<char *>("/debugs/pim");
    add("oper-read", CDB__CDB_MSG__BODY_OPER_READ, &Cdb__CdbMsg::oper_read, &oread);

    Cdb__FollowNotifications follow = CDB__FOLLOW_NOTIFICATIONS__INIT;
    follow.has_replay = true;
    follow.replay = 3;
    add("follow", CDB__CDB_MSG__BODY_FOLLOW, &Cdb__CdbMsg::follow, &follow);
    return out;
}

void cdb_msg_seeds()
{
    // Even first byte: a message of a daemon's session; odd: configuration text.
    for (const auto &[name, bytes] : agent_requests()) {
        put("fuzz_cdb_msg", name, cat({16}, bytes));
    }
    put("fuzz_cdb_msg", "config-system", cat({1}, text(R"({"kem-system:system":{
  "host-name":"r1","system-ip":"10.255.0.1"}})")));
    put("fuzz_cdb_msg", "config-vpn-pim", cat({1}, text(R"({"kem-vpn:vpn":{"vpn-instance":[
  {"vpn-id":1,"interface":[{"if-name":"eth1","ip":{"address":"10.1.1.1/24"}}],
   "router":{"pim":{"interface":[{"if-name":"eth1","hello-interval":5,"dr-priority":5}]}}}]}})")));
}

// What the agent sends a daemon: registration answers, deliveries of every
// change kind to each row of the target's module, show and action requests.
void zconfd_msg_seeds()
{
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = 3;
    Cdb__RegisterReply rr = CDB__REGISTER_REPLY__INIT;
    rr.ok = true;
    msg.body_case = CDB__CDB_MSG__BODY_REGISTER_REPLY;
    msg.register_reply = &rr;
    put("fuzz_zconfd_msg", "register-reply", pack(msg));

    t_ipprefix addr = prefix("10.1.1.1/24");
    const t_zconfd_value vpn_key[] = {zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT32, 1)};
    const t_zconfd_value if_keys[] = {vpn_key[0], zconfd_val_str(zconfd_tag("if-name"), "eth1")};
    const t_zconfd_value sys_vals[] = {zconfd_val_str(zconfd_tag("host-name"), "r1"),
                                       zconfd_val_ipaddr(zconfd_tag("system-ip"), &addr.addr)};
    const t_zconfd_value vpn_vals[] = {
        zconfd_val_begin(zconfd_tag("router")), zconfd_val_begin(zconfd_tag("pim")),
        zconfd_val_bool(zconfd_tag("shutdown"), false), zconfd_val_end(zconfd_tag("pim")),
        zconfd_val_end(zconfd_tag("router"))};
    const t_zconfd_value if_vals[] = {zconfd_val_begin(zconfd_tag("ip")),
                                      zconfd_val_ipprefix(zconfd_tag("address"), &addr),
                                      zconfd_val_end(zconfd_tag("ip"))};
    struct t_row {
        uint32_t sub_id;
        const t_zconfd_value *keys;
        int n_keys;
        const t_zconfd_value *vals;
        int n_vals;
    };
    const t_row rows[] = {
        {1, nullptr, 0, sys_vals, 2}, {2, vpn_key, 1, vpn_vals, 5}, {3, if_keys, 2, if_vals, 3}};
    for (const t_row &row : rows) {
        for (uint32_t op = ZCONFD_MOP_CREATED; op <= ZCONFD_MOP_VALUE_SET; op++) {
            t_zconfd_pb_values keys;
            t_zconfd_pb_values vals;
            keys.add_all(row.keys, row.n_keys);
            if (op != ZCONFD_MOP_DELETED) {
                vals.add_all(row.vals, row.n_vals);
            }
            Cdb__Change change = CDB__CHANGE__INIT;
            change.op = op;
            change.n_keys = keys.size();
            change.keys = keys.data();
            change.n_values = vals.size();
            change.values = vals.data();
            Cdb__Change *changes[] = {&change};
            Cdb__SubChanges sc = CDB__SUB_CHANGES__INIT;
            // Rows with a deletion priority get deletions under their id
            // with the top bit set.
            sc.sub_id =
                op == ZCONFD_MOP_DELETED && row.sub_id > 1 ? row.sub_id | 0x80000000u : row.sub_id;
            sc.n_changes = 1;
            sc.changes = changes;
            Cdb__SubChanges *scs[] = {&sc};
            Cdb__Delivery del = CDB__DELIVERY__INIT;
            del.batch_id = 1;
            del.trigger = row.sub_id == 1;
            del.n_subs = 1;
            del.subs = scs;
            del.has_initial_done = true;
            del.initial_done = true;
            msg.body_case = CDB__CDB_MSG__BODY_DELIVERY;
            msg.delivery = &del;
            put("fuzz_zconfd_msg",
                "delivery-sub" + std::to_string(row.sub_id) + "-op" + std::to_string(op),
                pack(msg));
        }
    }

    t_zconfd_pb_values keys;
    keys.add_all(if_keys, 2);
    Cdb__DataRequest dq = CDB__DATA_REQUEST__INIT;
    dq.callpoint = const_cast<char *>("rows");
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REQUEST;
    msg.data_request = &dq;
    const std::pair<Cdb__DataOp, const char *> ops[] = {
        {CDB__DATA_OP__DATA_GET, "get"},
        {CDB__DATA_OP__DATA_FIRST, "first"},
        {CDB__DATA_OP__DATA_NEXT, "next"},
        {CDB__DATA_OP__DATA_SAME_OR_NEXT, "same-or-next"}};
    for (const auto &[op, name] : ops) {
        dq.op = op;
        dq.n_keys = op == CDB__DATA_OP__DATA_FIRST ? 0 : keys.size();
        dq.keys = keys.data();
        put("fuzz_zconfd_msg", std::string("data-request-") + name, pack(msg));
    }

    char arg0[] = "cmd";
    char arg1[] = "x";
    char *argv[] = {arg0, arg1};
    Cdb__ActionRequest aq = CDB__ACTION_REQUEST__INIT;
    aq.actionpoint = arg0;
    aq.n_argv = 2;
    aq.argv = argv;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REQUEST;
    msg.action_request = &aq;
    put("fuzz_zconfd_msg", "action-command", pack(msg));
    t_zconfd_pb_values avals;
    avals.add_all(if_keys, 2);
    aq.actionpoint = const_cast<char *>("act");
    aq.action = const_cast<char *>("act");
    aq.n_argv = 0;
    aq.n_values = avals.size();
    aq.values = avals.data();
    put("fuzz_zconfd_msg", "action-values", pack(msg));
}

// Command lines (first byte 0) and agent replies filling the tables (other).
void cli_line_seeds()
{
    const char *lines[] = {
        "show pim-neighbor",
        "show pim-interface vpn-id 1",
        "show multicast-rpf",
        "configure",
        "set system host-name r1",
        "set vpn vpn-instance 1 interface eth1 ip address 10.1.1.1/24",
        "set vpn vpn-instance 1 router pim interface eth1 dr-priority 5",
        "delete vpn vpn-instance 1 router pim interface eth1 hello-interval",
        "commit comment \"first \\\"try\\\"\"",
        "clear pim neighbor vpn 1",
    };
    int i = 0;
    for (const char *line : lines) {
        put("fuzz_cli_line", "line-" + std::to_string(i++), cat({0}, text(line)));
    }
    t_ipaddr nbr = v4("10.1.1.2");
    t_ipprefix net = prefix("10.1.1.1/24");
    const char *names[] = {"pim-neighbor", "vpn-id",      "if-name",     "neighbor-address",
                           "address",      "dr-priority", "shutdown",    "level",
                           "holdtime",     "gen-id",      "pim-neighbor"};
    const t_zconfd_value row[] = {
        zconfd_val_begin(zconfd_tag(names[0])),
        zconfd_val_uint(zconfd_tag(names[1]), ZCONFD_VT_UINT32, 1),
        zconfd_val_str(zconfd_tag(names[2]), "eth1"),
        zconfd_val_ipaddr(zconfd_tag(names[3]), &nbr),
        zconfd_val_ipprefix(zconfd_tag(names[4]), &net),
        zconfd_val_uint(zconfd_tag(names[5]), ZCONFD_VT_UINT32, 5),
        zconfd_val_bool(zconfd_tag(names[6]), false),
        zconfd_val_enum(zconfd_tag(names[7]), 1),
        zconfd_val_int(zconfd_tag(names[8]), 105),
        zconfd_val_noexists(zconfd_tag(names[9])),
        zconfd_val_end(zconfd_tag(names[10])),
    };
    t_zconfd_pb_values vals;
    vals.add_all(row, static_cast<int>(std::size(row)));
    Cdb__DataReply dy = CDB__DATA_REPLY__INIT;
    dy.found = true;
    dy.n_values = vals.size();
    dy.values = vals.data();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = 9;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REPLY;
    msg.data_reply = &dy;
    put("fuzz_cli_line", "reply-by-tag", cat({1}, pack(msg)));
    // The agent names values for operators.
    for (size_t k = 0; k < vals.size(); k++) {
        vals.data()[k]->name = const_cast<char *>(names[k]);
    }
    put("fuzz_cli_line", "reply-by-name", cat({1}, pack(msg)));
}

// Frames as the message-queue library and an application framing carry them.
void msgq_frame_seeds()
{
    auto frame = [](uint8_t type, uint16_t body_len) {
        msgq_hdr_t hdr{MSGQ_MAGIC1, static_cast<uint16_t>(MSGQ_HDR_LEN + body_len), 16, 40, type,
                       MSGQ_MAGIC2};
        t_bytes out(sizeof(hdr));
        memcpy(out.data(), &hdr, sizeof(hdr));
        for (uint16_t i = 0; i < body_len; i++) {
            out.push_back(static_cast<uint8_t>('a' + i % 26));
        }
        return out;
    };
    t_bytes app = frame(MSGQ_HDR_TYPE_APP, 40);
    t_bytes reg = frame(MSGQ_HDR_TYPE_REGISTER, 4);
    put("fuzz_msgq_frame", "registered-two-messages", cat(cat({0, 3}, app), frame(2, 1)));
    put("fuzz_msgq_frame", "unregistered-register-then-message", cat(cat({1, 5}, reg), app));
    put("fuzz_msgq_frame", "large-message", cat({0, 1}, frame(MSGQ_HDR_TYPE_APP, 3000)));
    // An application header of 6 bytes with its length at offset 0, as the
    // route table manager frames its messages.
    std::vector<uint8_t> rtm = rtmd_encode_nhres_update(
        v4("10.9.9.9"), t_rtmd_resolution{1, 20, PROTO_TYPE__ROUTE_STATIC, {}});
    put("fuzz_msgq_frame", "app-header-rtm", cat(cat({0x80 | 4, 0}, rtm), rtm));
}

// Route table manager messages as rtmd encodes them, framed (first byte 0).
void rtm_msg_seeds()
{
    // Each event on top of the one before it: activity only on the add.
    const std::tuple<const char *, ERtmControlInterfaceType, const char *> events[] = {
        {"interface-add", E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, nullptr},
        {"interface-down", E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DOWN, nullptr},
        {"interface-up", E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_UP, nullptr},
        {"address-add", E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "10.1.1.1/24"},
        {"address-delete-v6", E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_DELETE,
         "2001:db8::1/64"},
        {"interface-delete", E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DELETE, nullptr}};
    t_rtmd_if_event ev{E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth1", 2, true, true, {}};
    for (const auto &[name, type, addr] : events) {
        ev.type = type;
        if (addr != nullptr) {
            ev.prefix = prefix(addr);
        }
        put("fuzz_rtm_msg", name, cat({0}, rtmd_encode_if_event(ev)));
        ev.has_active = false;
    }

    t_rtmd_resolution res{0, 1, PROTO_TYPE__ROUTE_CONNECT, {}};
    res.nhs.push_back({E_RTM_CONTROL_NH_TYPE__IF_IDX, t_ipaddr{}, 2});
    put("fuzz_rtm_msg", "nhres-connected", cat({0}, rtmd_encode_nhres_update(v4("10.1.1.1"), res)));
    res = {100, 20, PROTO_TYPE__ROUTE_STATIC, {}};
    res.nhs.push_back({E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX, v4("10.1.1.2"), 2});
    res.nhs.push_back({E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX, v4("10.1.1.3"), 2});
    put("fuzz_rtm_msg", "nhres-ecmp", cat({0}, rtmd_encode_nhres_update(v4("10.1.1.1"), res)));
    res = {0, 1, PROTO_TYPE__ROUTE_STATIC, {}};
    res.nhs.push_back({E_RTM_CONTROL_NH_TYPE__NEXTHOP_BLACKHOLE, t_ipaddr{}, 0});
    put("fuzz_rtm_msg", "nhres-blackhole", cat({0}, rtmd_encode_nhres_update(v4("10.1.1.1"), res)));
    put("fuzz_rtm_msg", "nhres-unresolved-v6",
        cat({0}, rtmd_encode_nhres_update(v4("2001:db8::1"), t_rtmd_resolution{})));
}

// PIM messages as the builders make them: behind a made-up IP header from
// 10.0.0.<sender> (first byte 0, or 2 with packet debugging on), and whole
// datagrams (first byte 1).
void pim_pkt_seeds()
{
    uint8_t buf[PIM_PKT_BUF_LEN];
    auto msg = [&](size_t n) { return t_bytes(buf, buf + n); };
    t_pim_hello h{};
    h.holdtime = 105;
    h.prop_delay = 500;
    h.override_int = 2500;
    h.dr_priority = 5;
    h.gen_id = 0x12345678;
    t_bytes hello = msg(pim_pkt_hello_build(buf, h));
    put("fuzz_pim_pkt", "hello", cat({0, 2}, hello));
    put("fuzz_pim_pkt", "hello-debug", cat({2, 3}, hello));
    h.holdtime = 0;
    put("fuzz_pim_pkt", "hello-goodbye", cat({0, 2}, msg(pim_pkt_hello_build(buf, h))));

    const t_pim_jp_src joins[] = {
        {v4("10.9.9.9"), PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R},
        {v4("10.2.2.2"), PIM_SRC_FLAG_S}};
    const t_pim_jp_src prunes[] = {{v4("10.3.3.3"), PIM_SRC_FLAG_S | PIM_SRC_FLAG_R}};
    const t_pim_jp_group_tx groups[] = {{v4("239.1.1.1"), joins, prunes},
                                        {v4("239.2.2.2"), {joins, 1}, {}}};
    t_pim_jp_tx jp{v4("10.0.0.5"), 210, groups};
    t_pim_jp_cursor cur{};
    t_bytes join = msg(pim_pkt_jp_build(buf, jp, cur));
    put("fuzz_pim_pkt", "join-prune", cat({0, 2}, join));
    put("fuzz_pim_pkt", "join-prune-debug", cat({2, 2}, join));
    // The last record's source of an unknown family: that record is skipped.
    t_bytes last_unknown = join;
    last_unknown[last_unknown.size() - 8] = 9;
    pim_pkt_finish(last_unknown);
    put("fuzz_pim_pkt", "join-prune-last-unknown", cat({2, 2}, last_unknown));

    t_pim_assert_metric m{true, 120, 10, v4("10.0.0.2")};
    t_bytes assert_msg = msg(pim_pkt_assert_build(buf, v4("239.1.1.1"), v4("10.9.9.9"), m));
    put("fuzz_pim_pkt", "assert", cat({0, 2}, assert_msg));

    // The whole datagram: an IP header of 20 bytes to the all-PIM-routers group.
    t_bytes ip(20, 0);
    size_t total = ip.size() + hello.size();
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(total >> 8);
    ip[3] = static_cast<uint8_t>(total);
    ip[8] = 1;
    ip[9] = PIM_IP_PROTO;
    const uint8_t src[] = {10, 0, 0, 2, 224, 0, 0, 13};
    memcpy(&ip[12], src, sizeof(src));
    put("fuzz_pim_pkt", "datagram-hello", cat(cat({1}, ip), hello));
}

// Auto-RP datagrams as the socket reads them: IP and UDP headers, then a
// mapping (two RPs, three ranges) or an announcement.
void auto_rp_seeds()
{
    auto dgram = [](uint8_t group, const t_bytes &msg) {
        t_bytes d = {0x45, 0, 0,   0, 0, 0,     0, 0,    16, 17,   0, 0, 10, 0,
                     0,    9, 224, 0, 1, group, 1, 0xf0, 1,  0xf0, 0, 0, 0,  0};
        d[3] = static_cast<uint8_t>(d.size() + msg.size());
        d[25] = static_cast<uint8_t>(8 + msg.size());
        return cat(d, msg);
    };
    put("fuzz_auto_rp", "mapping",
        dgram(40, {0x12, 2, 0,  181, 0, 0, 0, 0,  10, 9, 9, 1, 2, 2, 0, 4,   224, 0, 0,
                   0,    0, 16, 239, 1, 0, 0, 10, 9,  9, 2, 2, 1, 1, 8, 232, 0,   0, 0}));
    put("fuzz_auto_rp", "announce",
        dgram(39, {0x11, 1, 0, 60, 0, 0, 0, 0, 10, 9, 9, 1, 2, 1, 0, 4, 224, 0, 0, 0}));
}

// Every show table: first rows, and next rows after typed keys (VPN, name,
// address, prefix) in the target's ten-byte key records.
void pim_show_seeds()
{
    auto key = [](uint8_t kind, uint8_t aux, uint64_t u) {
        t_bytes k{kind, aux};
        for (int i = 0; i < 8; i++) {
            k.push_back(static_cast<uint8_t>(u >> (8 * i)));
        }
        return k;
    };
    for (uint8_t table = 0; table < 10; table++) {
        std::string name = "table" + std::to_string(table);
        put("fuzz_pim_show", name + "-first", {table, 1, 0});
        t_bytes next = cat(cat({table, 2, 3}, key(0, 0, 1)), key(2, 1, 0));
        put("fuzz_pim_show", name + "-next-vpn-if", cat(next, key(3, 0, 0x000001))); // 10.0.0.1
        put("fuzz_pim_show", name + "-get-vpn-prefix",
            cat(cat({table, 0, 2}, key(0, 0, 1)), key(5, 28, 0xe0000000)));
    }
}

// Configuration deliveries in the target's records: handler and operation
// (0 created, 1 deleted), VPN 1 and interface "ge0", then values (tag pick,
// type, payload).
t_bytes config_record(uint8_t handler, uint8_t oper,
                      std::initializer_list<std::array<uint8_t, 3>> vals)
{
    t_bytes out{handler, oper, 1, 0, static_cast<uint8_t>(vals.size())};
    for (const auto &v : vals) {
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

void pim_config_seeds()
{
    // Tag picks as the target lists them.
    constexpr uint8_t SYSTEM_IP = 0, PIM = 3, SHUTDOWN = 4, IP = 11, ADDRESS = 13, DR_PRIORITY = 15,
                      HELLO = 16;
    const t_bytes system = config_record(0, 0, {{SYSTEM_IP, ZCONFD_VT_IPV4, 1}});
    const t_bytes vpn = config_record(
        1, 0,
        {{PIM, ZCONFD_VT_XMLBEGIN, 0}, {SHUTDOWN, ZCONFD_VT_BOOL, 0}, {PIM, ZCONFD_VT_XMLEND, 0}});
    const t_bytes vpn_if = config_record(2, 0,
                                         {{IP, ZCONFD_VT_XMLBEGIN, 0},
                                          {ADDRESS, ZCONFD_VT_IPV4PREFIX, 24},
                                          {IP, ZCONFD_VT_XMLEND, 0}});
    const t_bytes pim_if =
        config_record(3, 0, {{DR_PRIORITY, ZCONFD_VT_UINT32, 5}, {HELLO, ZCONFD_VT_UINT16, 30}});
    const t_bytes pim_if_del = config_record(3, 1, {});
    put("fuzz_pim_config", "system", system);
    put("fuzz_pim_config", "vpn-interface-pim", cat(cat(cat(system, vpn), vpn_if), pim_if));
    put("fuzz_pim_config", "pim-interface-created-then-deleted",
        cat(cat(cat(vpn, vpn_if), pim_if), pim_if_del));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s SEED_DIR\n", argv[0]);
        return 2;
    }
    g_top = argv[1];
    cdb_msg_seeds();
    zconfd_msg_seeds();
    cli_line_seeds();
    msgq_frame_seeds();
    rtm_msg_seeds();
    pim_pkt_seeds();
    auto_rp_seeds();
    pim_show_seeds();
    pim_config_seeds();
    return 0;
}
