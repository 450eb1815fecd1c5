// The configuration agent cdbd as a process, with daemons built on the zconfd
// framework in this process and operators speaking the agent protocol over
// the socket: delivery order, failures, persistence, rollback, reconnection,
// operational writes, show, actions, notifications and credentials.
#include <event2/event.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "tests/component/cdb_agent.h"
#include "tools/cdbd/cdbd_schema.h"
#include "zconfd/zconfd.h"
#include "zconfd/zconfd_pb.h"

using kemd_sim::cdb_msg;
using kemd_sim::sim_now_ms;
using kemd_sim::t_cdb_reply;
using kemd_sim::t_cdb_result;
using kemd_sim::t_sim_framing;
using kemd_sim::t_sim_peer;

namespace
{

constexpr uint8_t FOLLOWER_MOD = 100;
constexpr uint8_t STRANGER_MOD = 101;
const std::string VPN1 = "/kem-vpn:vpn/vpn-instance[vpn-id='1']";

// Names of the tags the test daemon prints, from the schema.
std::string tag_name(uint32_t tag)
{
    static t_cdbd_schema schema = [] {
        t_cdbd_schema s;
        std::string err;
        EXPECT_EQ(cdbd_schema_load(&s, KEMD_SOURCE_DIR "/yang", &err), 0) << err;
        return s;
    }();
    const char *name = cdbd_schema_tag_name(&schema, tag);
    return name != nullptr ? name : std::to_string(tag);
}

std::string values_text(int n, const t_zconfd_value *vals)
{
    std::string out;
    char buf[128];
    for (int i = 0; i < n; i++) {
        const t_zconfd_value &v = vals[i];
        if (v.type == ZCONFD_VT_XMLBEGIN) {
            out += " " + tag_name(v.tag) + "{";
        } else if (v.type == ZCONFD_VT_XMLEND) {
            out += " }";
        } else if (v.type == ZCONFD_VT_NOEXISTS) {
            out += " " + tag_name(v.tag) + "=absent";
        } else {
            out += " " + tag_name(v.tag) + "=" + zconfd_val_print(&v, buf, sizeof(buf));
        }
    }
    return out;
}

// A daemon on the framework that records what it is told.
struct t_test_daemon {
    std::string name;
    std::vector<std::string> log;
    std::string fail_if; // configuring this interface fails
    int sub_ends = 0;
    int trigger_ends = 0;
    int connects = 0;
    t_zconfd_context *ctx = nullptr;
    std::vector<t_zconfd_sub_entry> subs;
    std::vector<t_zconfd_action_cmd> actions;
    t_zconfd_val_point vals[1] = {};
};

t_test_daemon *daemon_of(t_zconfd_sub_entry *sub_p)
{
    return static_cast<t_test_daemon *>(zconfd_get_opaque(sub_p->ctxt_p));
}

int test_config_cb(t_zconfd_sub_entry *sub_p, int oper, int num_keys, const t_zconfd_value *keys,
                   int num_values, const t_zconfd_value *vals)
{
    t_test_daemon *d = daemon_of(sub_p);
    std::string line = std::string(sub_p->path) + " " + std::to_string(oper);
    char buf[128];
    for (int i = 0; i < num_keys; i++) {
        line += (i == 0 ? " " : ",") + std::string(zconfd_val_print(&keys[i], buf, sizeof(buf)));
    }
    line += ":" + values_text(num_values, vals);
    d->log.push_back(line);
    if (!d->fail_if.empty() && num_keys == 2 && keys[1].str_p != nullptr &&
        d->fail_if == keys[1].str_p) {
        if (d->fail_if != "bad0") {
            zconfd_config_seterr(sub_p, "interface %s refused", keys[1].str_p);
        }
        return 1;
    }
    return 0;
}

void test_sub_end(t_zconfd_context *ctx, bool trigger)
{
    auto *d = static_cast<t_test_daemon *>(zconfd_get_opaque(ctx));
    d->sub_ends++;
    d->trigger_ends += trigger ? 1 : 0;
}

void test_connected(t_zconfd_context *ctx)
{
    static_cast<t_test_daemon *>(zconfd_get_opaque(ctx))->connects++;
}

// A table of three rows keyed 10, 20, 30 with one value each.
int row_reply(t_zconfd_trans *tctx, uint64_t key)
{
    t_zconfd_value v[2] = {zconfd_val_uint(zconfd_tag("id"), ZCONFD_VT_UINT32, key),
                           zconfd_val_str(zconfd_tag("name"), key == 10   ? "ten"
                                                              : key == 20 ? "twenty"
                                                                          : "thirty")};
    return zconfd_data_reply_value_array(tctx, v, 2);
}

int rows_get(t_zconfd_trans *tctx, const t_zconfd_keypath *kp)
{
    t_zconfd_value keys[1];
    if (zconfd_keypath_get_keys(kp, keys, 1) != 1) {
        return zconfd_data_reply_not_found(tctx);
    }
    uint64_t k = zconfd_val_to_u64(&keys[0]);
    return k == 10 || k == 20 || k == 30 ? row_reply(tctx, k) : zconfd_data_reply_not_found(tctx);
}

int rows_first(t_zconfd_trans *tctx, const t_zconfd_keypath *, long next)
{
    return next == -1 ? row_reply(tctx, 10) : -1;
}

int rows_find_next(t_zconfd_trans *tctx, const t_zconfd_keypath *, int find_type,
                   const t_zconfd_value *keys, int num_keys)
{
    uint64_t k = num_keys > 0 ? zconfd_val_to_u64(&keys[0]) : 0;
    for (uint64_t row : {10, 20, 30}) {
        if (row > k || (find_type == ZCONFD_FIND_SAME_OR_NEXT && row == k)) {
            return row_reply(tctx, row);
        }
    }
    return zconfd_data_reply_next_object_array(tctx, nullptr, 0, -1);
}

int test_data_register(t_zconfd_context *ctx)
{
    t_zconfd_data_cbs cbs{};
    snprintf(cbs.callpoint, sizeof(cbs.callpoint), "test-rows");
    cbs.get_object = rows_get;
    cbs.get_next_object = rows_first;
    cbs.find_next_object = rows_find_next;
    return zconfd_register_data_cb(ctx, &cbs);
}

int test_cmd(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    zconfd_cli_printf(uinfo, "Statistics\n");
    for (int i = 0; i < argc; i++) {
        zconfd_cli_printf(uinfo, "arg %d: %s\n", i, argv[i]);
    }
    return 0;
}

uint8_t g_last_param_type = ZCONFD_VT_NONE;

int test_action(t_zconfd_uinfo *uinfo, const char *, const t_zconfd_value *params, int n)
{
    for (int i = 0; i < n; i++) {
        g_last_param_type = params[i].type;
        // Parameters the schema does not describe arrive as text.
        unsigned long vpn = params[i].type == ZCONFD_VT_STR ? strtoul(params[i].str_p, nullptr, 10)
                                                            : zconfd_val_to_u64(&params[i]);
        if (params[i].tag == zconfd_tag("vpn-id") && vpn != 0) {
            zconfd_action_seterr(uinfo, "VPN %lu not configured", vpn);
            return -1;
        }
    }
    return 0;
}

class CdbdComponent : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        base_ = event_base_new();
        mgr_ = timer_mgr_create(TIMER_RESN_50MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    }

    void TearDown() override
    {
        for (auto &d : daemons_) {
            zconfd_module_deinit(&d->ctx);
        }
        daemons_.clear();
        agent_.stop(SIGTERM);
        timer_mgr_destroy(mgr_);
        event_base_free(base_);
    }

    void pump()
    {
        event_base_loop(base_, EVLOOP_NONBLOCK);
        timer_exec(mgr_, TIMER_PRI_MASK_ALL, 100);
    }

    bool wait_for(const std::function<bool()> &pred, int timeout_ms = 5000)
    {
        return kemd_sim::sim_wait([this] { pump(); }, pred, timeout_ms);
    }

    void idle(int ms)
    {
        kemd_sim::sim_idle([this] { pump(); }, ms);
    }

    void start_agent(std::vector<std::string> extra = {}) { ASSERT_TRUE(agent_.start(extra)); }

    t_test_daemon *start_daemon(const std::string &name, uint8_t mod)
    {
        auto d = std::make_unique<t_test_daemon>();
        d->name = name;
        auto row = [](const char *path, uint8_t keys, uint8_t prio, uint8_t del_prio) {
            t_zconfd_sub_entry e{};
            snprintf(e.path, sizeof(e.path), "%s", path);
            e.config_cb = test_config_cb;
            e.num_keys = keys;
            e.priority = prio;
            e.del_priority = del_prio;
            return e;
        };
        d->subs = {row("system", 0, 5, 0), row("vpn/vpn-instance", 1, 6, 1),
                   row("vpn/vpn-instance/interface", 2, 6, 1),
                   row("vpn/vpn-instance/router/pim/interface", 2, 6, 1), t_zconfd_sub_entry{}};
        d->actions = {t_zconfd_action_cmd{"test_cmd", test_cmd, nullptr},
                      t_zconfd_action_cmd{"test_action", nullptr, test_action},
                      t_zconfd_action_cmd{}};
        t_zconfd_module_data data{};
        data.opaque_p = d.get();
        data.sub_point_arr = d->subs.data();
        data.val_point_arr = d->vals;
        data.action_cmd_arr = d->actions.data();
        data.data_register_cb = test_data_register;
        data.sub_end_cb = test_sub_end;
        data.connected_cb = test_connected;
        data.evt_base_p = base_;
        data.timer_mgr_p = mgr_;
        data.mod_id = mod;
        snprintf(data.mod_name, sizeof(data.mod_name), "%s", name.c_str());
        snprintf(data.cdb_path, sizeof(data.cdb_path), "%s", agent_.sock.c_str());
        EXPECT_EQ(zconfd_module_init(&data, nullptr, &d->ctx), ZCONFD_INIT_OK);
        daemons_.push_back(std::move(d));
        return daemons_.back().get();
    }

    // A daemon of the framework, its initial read done.
    t_test_daemon *ready_daemon()
    {
        t_test_daemon *d = start_daemon("kemd", ZUL_MODULE_PIM);
        EXPECT_TRUE(wait_for([&] { return zconfd_init_config_read_done(d->ctx); }));
        return d;
    }

    std::unique_ptr<t_sim_peer> connect_cli(uint8_t mod = ZUL_MODULE_CLI)
    {
        return agent_.connect(mod);
    }

    t_cdb_reply request(t_sim_peer *peer, Cdb__CdbMsg *msg) { return agent_.call(peer, msg); }
    t_cdb_result result(t_sim_peer *peer, Cdb__CdbMsg *msg) { return agent_.result(peer, msg); }

    t_cdb_result edit(t_sim_peer *peer, bool del, const std::string &path,
                      const char *value = nullptr)
    {
        Cdb__EditRequest e = CDB__EDIT_REQUEST__INIT;
        e.op = del ? CDB__EDIT_REQUEST__OP__DELETE : CDB__EDIT_REQUEST__OP__SET;
        e.path = const_cast<char *>(path.c_str());
        e.value = const_cast<char *>(value);
        Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_EDIT, &Cdb__CdbMsg::edit, &e);
        return result(peer, &msg);
    }

    t_cdb_result commit(t_sim_peer *peer, const char *comment = "test")
    {
        Cdb__CommitRequest c = CDB__COMMIT_REQUEST__INIT;
        c.comment = const_cast<char *>(comment);
        Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_COMMIT, &Cdb__CdbMsg::commit, &c);
        return result(peer, &msg);
    }

    t_cdb_result show(t_sim_peer *peer, bool running)
    {
        Cdb__ShowConfig s = CDB__SHOW_CONFIG__INIT;
        s.which = running ? CDB__SHOW_CONFIG__WHICH__RUNNING : CDB__SHOW_CONFIG__WHICH__CANDIDATE;
        Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_SHOW_CONFIG, &Cdb__CdbMsg::show_config, &s);
        return result(peer, &msg);
    }

    // The row of the test table a show request returns: "name=value ..." ("?"
    // for a value the agent did not name; texts quoted), "none" or "error".
    std::string row_of(t_sim_peer *peer, Cdb__DataOp op, std::vector<t_zconfd_value> keys)
    {
        Cdb__DataRequest req = CDB__DATA_REQUEST__INIT;
        req.callpoint = const_cast<char *>("test-rows");
        req.op = op;
        t_zconfd_pb_values pb;
        pb.add_all(keys.data(), static_cast<int>(keys.size()));
        req.keys = pb.data();
        req.n_keys = pb.size();
        Cdb__CdbMsg msg =
            cdb_msg(CDB__CDB_MSG__BODY_DATA_REQUEST, &Cdb__CdbMsg::data_request, &req);
        t_cdb_reply r = request(peer, &msg);
        if (r == nullptr || r->data_reply->error != nullptr) {
            return "error";
        }
        std::string row = r->data_reply->found ? "" : "none";
        for (size_t i = 0; r->data_reply->found && i < r->data_reply->n_values; i++) {
            const Cdb__Value *v = r->data_reply->values[i];
            row += std::string(i > 0 ? " " : "") +
                   (v->name != nullptr ? std::string(v->name) + "=" : "?=") +
                   (v->s != nullptr ? "'" + std::string(v->s) + "'" : std::to_string(v->u));
        }
        return row;
    }

    // The operational entries under prefix as "path=value".
    std::vector<std::string> oper_read(t_sim_peer *peer, std::string prefix)
    {
        Cdb__OperRead rd = CDB__OPER_READ__INIT;
        rd.prefix = prefix.data();
        Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_OPER_READ, &Cdb__CdbMsg::oper_read, &rd);
        t_cdb_reply reply = request(peer, &msg);
        std::vector<std::string> out;
        for (size_t i = 0; reply != nullptr && i < reply->oper_values->n_entries; i++) {
            const Cdb__OperEntry *e = reply->oper_values->entries[i];
            out.push_back(std::string(e->path) + "=" + (e->value != nullptr ? e->value : ""));
        }
        EXPECT_NE(reply, nullptr);
        return out;
    }

    // An action by its point: ok, then the output or the error.
    std::pair<bool, std::string> action(t_sim_peer *peer, const char *point,
                                        std::vector<std::string> argv,
                                        std::vector<std::pair<const char *, const char *>> params)
    {
        Cdb__ActionRequest act = CDB__ACTION_REQUEST__INIT;
        act.actionpoint = const_cast<char *>(point);
        std::vector<char *> args;
        for (auto &a : argv) {
            args.push_back(a.data());
        }
        std::vector<Cdb__ActionParam> ps(params.size());
        std::vector<Cdb__ActionParam *> pp;
        for (size_t i = 0; i < params.size(); i++) {
            cdb__action_param__init(&ps[i]);
            ps[i].name = const_cast<char *>(params[i].first);
            ps[i].value = const_cast<char *>(params[i].second);
            pp.push_back(&ps[i]);
        }
        act.argv = args.data();
        act.n_argv = args.size();
        act.params = pp.data();
        act.n_params = pp.size();
        Cdb__CdbMsg msg =
            cdb_msg(CDB__CDB_MSG__BODY_ACTION_REQUEST, &Cdb__CdbMsg::action_request, &act);
        t_cdb_reply reply = request(peer, &msg);
        if (reply == nullptr || reply->body_case != CDB__CDB_MSG__BODY_ACTION_REPLY) {
            return {false, "no reply"};
        }
        const Cdb__ActionReply *r = reply->action_reply;
        const char *text = r->ok ? r->output : r->error;
        return {r->ok, text != nullptr ? text : ""};
    }

    struct t_note {
        std::string name;
        std::string text;
        int64_t at_ms;
    };

    // Up to n notifications from kemd, waiting at most wait_ms for each.
    std::vector<t_note> notifications(t_sim_peer *peer, size_t n, int wait_ms = 3000)
    {
        std::vector<t_note> got;
        std::optional<kemd_sim::t_sim_frame> frame;
        while (got.size() < n && (frame = peer->recv_frame(wait_ms))) {
            t_cdb_reply m = kemd_sim::cdb_unpack(*frame);
            EXPECT_TRUE(m != nullptr && m->body_case == CDB__CDB_MSG__BODY_NOTIFICATION);
            if (m != nullptr && m->body_case == CDB__CDB_MSG__BODY_NOTIFICATION) {
                EXPECT_STREQ(m->notification->module, "kemd");
                const char *name = m->notification->name, *text = m->notification->text;
                got.push_back(
                    {name != nullptr ? name : "", text != nullptr ? text : "", sim_now_ms()});
            }
        }
        return got;
    }

    // A VPN with PIM, one interface and its PIM settings.
    void configure_vpn1(t_sim_peer *cli)
    {
        ASSERT_TRUE(edit(cli, false, "/kem-system:system/system-ip", "10.0.0.1").ok);
        ASSERT_TRUE(edit(cli, false, VPN1 + "/router/pim/auto-rp", "true").ok);
        ASSERT_TRUE(
            edit(cli, false, VPN1 + "/interface[if-name='ge0-1']/ip/address", "10.1.1.1/24").ok);
        ASSERT_TRUE(
            edit(cli, false, VPN1 + "/router/pim/interface[if-name='ge0-1']/dr-priority", "7").ok);
    }

    event_base *base_ = nullptr;
    t_timer_mgr *mgr_ = nullptr;
    kemd_sim::t_cdb_agent agent_{[this] { pump(); }};
    std::vector<std::unique_ptr<t_test_daemon>> daemons_;
};

const std::vector<std::string> VPN1_INITIAL = {
    "system 1: system-ip=10.0.0.1",
    "vpn/vpn-instance 1 1: router{ pim{ shutdown=false auto-rp=true } }",
    "vpn/vpn-instance/interface 1 1,ge0-1: ip{ address=10.1.1.1/24 } shutdown=false",
    "vpn/vpn-instance/router/pim/interface 1 1,ge0-1: join-prune-interval=60 dr-priority=7 "
    "hello-interval=30 max-neighbors=256",
};

TEST_F(CdbdComponent, InitialReadByLevelsThenCommitsInPriorityOrder)
{
    // Levels 0 and 1 have no daemon here; level 2 (forwarding table manager)
    // must read before level 3.
    start_agent({"-m", "3"});
    auto cli = connect_cli();
    ASSERT_NE(cli, nullptr);
    configure_vpn1(cli.get());
    t_cdb_result c = commit(cli.get());
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.commit_id, 1u);
    t_test_daemon *d = start_daemon("kemd", ZUL_MODULE_PIM);
    idle(1500);
    EXPECT_TRUE(d->log.empty());
    t_test_daemon *ftm = start_daemon("ftmd", ZUL_MODULE_FTM);
    ASSERT_TRUE(wait_for([&] { return zconfd_init_config_read_done(d->ctx); }));
    EXPECT_TRUE(zconfd_init_config_read_done(ftm->ctx));
    EXPECT_EQ(oper_read(cli.get(), "/zconfd-initial-read-priority"),
              (std::vector<std::string>{"/zconfd-initial-read-priority=7"}));

    // Registration brings the whole configuration, system (priority 5) first,
    // keys root first, defaults filled in.
    EXPECT_EQ(d->log, VPN1_INITIAL);
    EXPECT_EQ(ftm->log, VPN1_INITIAL);
    EXPECT_EQ(d->connects, 1);
    EXPECT_GE(d->trigger_ends, 2);
    t_ipaddr sys;
    zconfd_get_system_ip(d->ctx, &sys);
    EXPECT_STREQ(ipaddr_str(&sys).c, "10.0.0.1");

    // Deletions (delete priority 1) come before additions (priority 6); the
    // VPN's deletion covers its interfaces; both daemons hear it.
    d->log.clear();
    ftm->log.clear();
    ASSERT_TRUE(edit(cli.get(), true, VPN1).ok);
    ASSERT_TRUE(edit(cli.get(), false, "/kem-vpn:vpn/vpn-instance[vpn-id='2']/router/pim").ok);
    ASSERT_TRUE(edit(cli.get(), false, "/kem-system:system/host-name", "edge1").ok);
    c = commit(cli.get());
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(d->log, (std::vector<std::string>{
                          "vpn/vpn-instance 2 1:",
                          "system 3: host-name=edge1",
                          "vpn/vpn-instance 1 2: router{ pim{ shutdown=false auto-rp=false } }",
                      }));
    EXPECT_EQ(ftm->log, d->log);
    EXPECT_STREQ(zconfd_get_hostname(d->ctx), "edge1");

    // A change inside a nested list reaches only its own row, as a modification.
    d->log.clear();
    ASSERT_TRUE(edit(cli.get(), false,
                     "/kem-vpn:vpn/vpn-instance[vpn-id='2']/router/pim/interface[if-name='ge0-2']/"
                     "hello-interval",
                     "10")
                    .ok);
    ASSERT_TRUE(commit(cli.get()).ok);
    ASSERT_EQ(d->log.size(), 1u);
    EXPECT_EQ(d->log[0], "vpn/vpn-instance/router/pim/interface 1 2,ge0-2: join-prune-interval=60 "
                         "dr-priority=1 hello-interval=10 max-neighbors=256");
    d->log.clear();
    ASSERT_TRUE(edit(cli.get(), false,
                     "/kem-vpn:vpn/vpn-instance[vpn-id='2']/router/pim/interface[if-name='ge0-2']/"
                     "dr-priority",
                     "3")
                    .ok);
    ASSERT_TRUE(commit(cli.get()).ok);
    EXPECT_EQ(d->log, (std::vector<std::string>{
                          "vpn/vpn-instance/router/pim/interface 3 2,ge0-2: dr-priority=3"}));

    // Invalid values are refused at the edit; nothing to commit is no commit.
    EXPECT_FALSE(
        edit(cli.get(), false, VPN1 + "/router/pim/interface[if-name='x']/hello-interval", "0").ok);
    t_cdb_result none = commit(cli.get());
    EXPECT_TRUE(none.ok);
    EXPECT_NE(none.text.find("No modifications"), std::string::npos);
}

TEST_F(CdbdComponent, FailingOrSilentDaemonsFailTheCommit)
{
    start_agent({"-t", "800"});
    auto cli = connect_cli();
    ASSERT_NE(cli, nullptr);
    t_test_daemon *d = ready_daemon();
    std::string before = show(cli.get(), true).text;

    d->fail_if = "bad0";
    d->log.clear();
    ASSERT_TRUE(edit(cli.get(), false, VPN1 + "/router/pim/auto-rp", "true").ok);
    ASSERT_TRUE(edit(cli.get(), false, VPN1 + "/interface[if-name='bad0']/shutdown", "true").ok);
    t_cdb_result c = commit(cli.get());
    EXPECT_FALSE(c.ok);
    EXPECT_NE(c.error.find("Unable to apply changes"), std::string::npos) << c.error;
    EXPECT_NE(c.error.find("vpn/vpn-instance/interface"), std::string::npos) << c.error;
    EXPECT_EQ(show(cli.get(), true).text, before);
    // The VPN row had applied its part of the batch; it is told to take it back.
    ASSERT_GE(d->log.size(), 3u);
    EXPECT_EQ(d->log[0], "vpn/vpn-instance 1 1: router{ pim{ shutdown=false auto-rp=true } }");
    EXPECT_EQ(d->log[1], "vpn/vpn-instance/interface 1 1,bad0: shutdown=true");
    EXPECT_EQ(d->log.back(), "vpn/vpn-instance 2 1:");

    // A row refused after it applied a change takes that change back too, and
    // the daemon's reason is what the operator reads.
    d->fail_if = "bad1";
    ASSERT_TRUE(commit(cli.get()).ok);
    ASSERT_TRUE(edit(cli.get(), false, VPN1 + "/interface[if-name='a0']/shutdown", "true").ok);
    ASSERT_TRUE(edit(cli.get(), false, VPN1 + "/interface[if-name='bad1']/shutdown", "true").ok);
    d->log.clear();
    c = commit(cli.get());
    EXPECT_FALSE(c.ok);
    EXPECT_NE(c.error.find("Unable to apply changes: kemd: interface bad1 refused"),
              std::string::npos)
        << c.error;
    EXPECT_NE(std::find(d->log.begin(), d->log.end(), "vpn/vpn-instance/interface 2 1,a0:"),
              d->log.end())
        << testing::PrintToString(d->log);
    ASSERT_TRUE(edit(cli.get(), true, VPN1 + "/interface[if-name='a0']").ok);
    ASSERT_TRUE(edit(cli.get(), true, VPN1 + "/interface[if-name='bad1']").ok);

    // The candidate is kept; once the daemon accepts, the commit goes through.
    d->fail_if.clear();
    c = commit(cli.get());
    EXPECT_TRUE(c.ok) << c.error;
    EXPECT_NE(show(cli.get(), true).text.find("bad0"), std::string::npos);

    // A daemon that registers and then never answers a delivery.
    auto mute = connect_cli(STRANGER_MOD);
    Cdb__Subscription sub = CDB__SUBSCRIPTION__INIT;
    sub.id = 1;
    sub.path = const_cast<char *>("system");
    sub.priority = 1;
    Cdb__Subscription *subs[] = {&sub};
    Cdb__Register reg = CDB__REGISTER__INIT;
    reg.mod_name = const_cast<char *>("mute");
    reg.mod_id = STRANGER_MOD;
    reg.read_level = 3;
    reg.subs = subs;
    reg.n_subs = 1;
    Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_REGISTER, &Cdb__CdbMsg::register_, &reg);
    t_cdb_reply reply = request(mute.get(), &msg);
    ASSERT_NE(reply, nullptr);
    ASSERT_TRUE(reply->register_reply->ok);
    // Its initial read goes unanswered and times out; then a commit does too.
    idle(1200);
    ASSERT_TRUE(edit(cli.get(), false, "/kem-system:system/system-ip", "10.0.0.2").ok);
    c = commit(cli.get());
    EXPECT_FALSE(c.ok);
    EXPECT_NE(c.error.find("Unable to apply changes: mute: no answer within 800 ms"),
              std::string::npos)
        << c.error;
    EXPECT_EQ(show(cli.get(), true).text.find("10.0.0.2"), std::string::npos);

    // A registration naming a path outside the schema is refused.
    auto odd = connect_cli(FOLLOWER_MOD);
    sub.path = const_cast<char *>("vpn/nosuch");
    reply = request(odd.get(), &msg);
    ASSERT_NE(reply, nullptr);
    EXPECT_FALSE(reply->register_reply->ok);

    // Once the silent daemon is gone, the commit goes through.
    mute.reset();
    idle(200);
    c = commit(cli.get());
    EXPECT_TRUE(c.ok) << c.error;
}

TEST_F(CdbdComponent, PersistenceRollbackAndReconnection)
{
    start_agent();
    auto cli = connect_cli();
    ASSERT_NE(cli, nullptr);
    configure_vpn1(cli.get());
    ASSERT_TRUE(commit(cli.get(), "first").ok);
    std::string first = show(cli.get(), true).text;
    ASSERT_TRUE(edit(cli.get(), false, VPN1 + "/router/pim/spt-threshold", "500").ok);
    ASSERT_TRUE(commit(cli.get(), "second").ok);

    t_test_daemon *d = ready_daemon();

    // The agent dies; the daemon notices, and re-registers with the new agent,
    // which has kept the configuration and its history.
    agent_.stop(SIGKILL);
    cli.reset();
    ASSERT_TRUE(wait_for([&] { return !zconfd_init_config_read_done(d->ctx); }));
    d->log.clear();
    start_agent();
    ASSERT_TRUE(wait_for([&] { return zconfd_init_config_read_done(d->ctx); }, 8000));
    EXPECT_EQ(d->connects, 2);
    ASSERT_EQ(d->log.size(), 4u);
    EXPECT_EQ(d->log[1], "vpn/vpn-instance 1 1: router{ pim{ shutdown=false auto-rp=true "
                         "spt-threshold=500 } }");

    cli = connect_cli();
    ASSERT_NE(cli, nullptr);
    Cdb__Empty empty = CDB__EMPTY__INIT;
    Cdb__CdbMsg list = cdb_msg(CDB__CDB_MSG__BODY_LIST_COMMITS, &Cdb__CdbMsg::list_commits, &empty);
    t_cdb_reply reply = request(cli.get(), &list);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->body_case, CDB__CDB_MSG__BODY_COMMIT_LIST);
    ASSERT_EQ(reply->commit_list->n_commits, 2u);
    EXPECT_EQ(reply->commit_list->commits[0]->id, 2u);
    EXPECT_STREQ(reply->commit_list->commits[1]->comment, "first");

    // Rollback makes a new commit with the old configuration and delivers the delta.
    d->log.clear();
    Cdb__RollbackRequest rb = CDB__ROLLBACK_REQUEST__INIT;
    rb.commit_id = 1;
    Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_ROLLBACK, &Cdb__CdbMsg::rollback, &rb);
    t_cdb_result r = result(cli.get(), &msg);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.commit_id, 3u);
    EXPECT_EQ(show(cli.get(), true).text, first);
    EXPECT_EQ(d->log, (std::vector<std::string>{
                          "vpn/vpn-instance 3 1: router{ pim{ spt-threshold=absent } }"}));
    rb.commit_id = 99;
    EXPECT_FALSE(result(cli.get(), &msg).ok);

    // Whole configurations load as RFC 7951 JSON; compare shows the delta.
    Cdb__LoadConfig load = CDB__LOAD_CONFIG__INIT;
    std::string json = "{\"kem-system:system\":{\"system-ip\":\"10.9.9.9\"}}";
    load.json = json.data();
    load.has_merge = true;
    load.merge = true;
    msg = cdb_msg(CDB__CDB_MSG__BODY_LOAD_CONFIG, &Cdb__CdbMsg::load_config, &load);
    ASSERT_TRUE(result(cli.get(), &msg).ok);
    msg = cdb_msg(CDB__CDB_MSG__BODY_COMPARE, &Cdb__CdbMsg::compare, &empty);
    t_cdb_result cmp = result(cli.get(), &msg);
    EXPECT_EQ(cmp.text, "~ /kem-system:system/system-ip = 10.9.9.9 (was 10.0.0.1)\n");
    std::string bad = "{\"kem-system:system\":{\"nosuch\":1}}";
    load.json = bad.data();
    msg = cdb_msg(CDB__CDB_MSG__BODY_LOAD_CONFIG, &Cdb__CdbMsg::load_config, &load);
    EXPECT_FALSE(result(cli.get(), &msg).ok);
}

TEST_F(CdbdComponent, ClientsWithoutCredentialsAreRefused)
{
    start_agent();
    auto stranger = [this] {
        return kemd_sim::sim_run_as(
            65534, 65534, {},
            kemd_sim::sim_stranger(agent_.sock, t_sim_framing::library(STRANGER_MOD, 40)),
            [this] { pump(); });
    };
    // The socket file admits only root and the agent's group; were its mode
    // loose, the credentials would still refuse.
    EXPECT_EQ(stranger(), 3);
    ASSERT_EQ(chmod(agent_.sock.c_str(), 0666), 0);
    EXPECT_EQ(stranger(), 0);

    // Root is served, on the same module id once the refused one is gone.
    idle(100);
    auto cli = connect_cli(STRANGER_MOD);
    ASSERT_NE(cli, nullptr);
    EXPECT_FALSE(cli->wait_eof(300));
    EXPECT_TRUE(show(cli.get(), true).ok);
    EXPECT_EQ(oper_read(cli.get(), "/cdbd/statistics/refused-connections"),
              (std::vector<std::string>{"/cdbd/statistics/refused-connections=1"}));
}

TEST_F(CdbdComponent, LargeConfigurationsTravelInParts)
{
    start_agent();
    auto cli = connect_cli();
    ASSERT_NE(cli, nullptr);
    // More than one message's worth: loaded in parts, delivered in parts.
    constexpr int N = 2500;
    std::string json = "{\"kem-vpn:vpn\":{\"vpn-instance\":[{\"vpn-id\":\"1\",\"interface\":[";
    for (int i = 0; i < N; i++) {
        json += std::string(i > 0 ? "," : "") + "{\"if-name\":\"ge0-" + std::to_string(i) +
                "\",\"shutdown\":true}";
    }
    json += "]}]}}";
    ASSERT_GT(json.size(), MSGQ_MAX_APP_LEN);
    Cdb__LoadConfig load = CDB__LOAD_CONFIG__INIT;
    Cdb__CdbMsg msg = cdb_msg(CDB__CDB_MSG__BODY_LOAD_CONFIG, &Cdb__CdbMsg::load_config, &load);
    std::string first = json.substr(0, json.size() / 2);
    std::string second = json.substr(json.size() / 2);
    load.json = first.data();
    load.has_more = true;
    load.more = true;
    // The first part is only stored: no answer comes for it.
    ASSERT_TRUE(kemd_sim::cdb_send(cli.get(), &msg));
    load.json = second.data();
    load.more = false;
    t_cdb_result r = result(cli.get(), &msg);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(commit(cli.get()).ok);

    t_test_daemon *d = start_daemon("kemd", ZUL_MODULE_PIM);
    ASSERT_TRUE(wait_for([&] { return zconfd_init_config_read_done(d->ctx); }, 10000));
    ASSERT_EQ(d->log.size(), static_cast<size_t>(N) + 1);
    EXPECT_EQ(d->log[0], "vpn/vpn-instance 1 1:");
    EXPECT_EQ(d->log[N],
              "vpn/vpn-instance/interface 1 1,ge0-" + std::to_string(N - 1) + ": shutdown=true");
    t_cdb_result shown = show(cli.get(), true);
    EXPECT_TRUE(shown.ok);
    EXPECT_GT(shown.text.size(), MSGQ_MAX_APP_LEN);
    EXPECT_NE(shown.text.find("ge0-" + std::to_string(N - 1)), std::string::npos);
}

// A module added to the schema brings its table, action and notification to
// operators without any code in the agent.
constexpr const char *TEST_MODULE = R"(module kem-test {
  yang-version 1.1;
  namespace "urn:kem:test";
  prefix kt;
  import kem-cdb { prefix cdb; }
  container test-state {
    config false;
    list row {
      cdb:callpoint "test-rows";
      key "id";
      leaf id { type uint32; }
      leaf name { type string; }
    }
  }
  rpc clear-test {
    cdb:actionpoint "test_action";
    input {
      leaf vpn-id { type uint32; }
    }
  }
  notification test-event {
    leaf severity-level { type uint8; }
    leaf code { type uint32; cdb:tag "0x4d7d11c2"; }
  }
}
)";

TEST_F(CdbdComponent, OperationalWritesShowActionsAndNotifications)
{
    std::string yang = agent_.dir + "/yang";
    std::string cmd = "mkdir -p " + yang + " && cp " KEMD_SOURCE_DIR "/yang/*.yang " + yang;
    ASSERT_EQ(system(cmd.c_str()), 0);
    FILE *f = fopen((yang + "/kem-test.yang").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(TEST_MODULE, f);
    fclose(f);
    start_agent({"-y", yang});
    auto cli = connect_cli();
    auto follower = connect_cli(FOLLOWER_MOD);
    ASSERT_NE(follower, nullptr);
    Cdb__FollowNotifications fol = CDB__FOLLOW_NOTIFICATIONS__INIT;
    Cdb__CdbMsg follow = cdb_msg(CDB__CDB_MSG__BODY_FOLLOW, &Cdb__CdbMsg::follow, &fol);
    ASSERT_TRUE(result(follower.get(), &follow).ok);
    t_test_daemon *d = ready_daemon();

    // Writes land in call order: the last value wins, a delete takes the subtree.
    EXPECT_EQ(
        zconfd_set_cdb_oper_value(d->ctx, nullptr, "/debugs/pim/vpn{1}", 0, E_ZCONFD_OPER_CREATE),
        0);
    for (uint32_t i = 0; i < 300; i++) {
        t_zconfd_value v = zconfd_val_enum(0, static_cast<int32_t>(i));
        ASSERT_EQ(zconfd_set_cdb_oper_value(d->ctx, &v, "/debugs/pim/vpn{1}/events/level",
                                            ZCONFD_VT_ENUM, E_ZCONFD_OPER_ADD),
                  0);
    }
    t_zconfd_value ipc = zconfd_val_bool(0, true);
    zconfd_set_cdb_oper_value(d->ctx, &ipc, "/debugs/pim/vpn{2}/ipcs", ZCONFD_VT_BOOL,
                              E_ZCONFD_OPER_ADD);
    zconfd_set_cdb_oper_value(d->ctx, &ipc, "/debugs/pim/vpn{2}/auto-rp", ZCONFD_VT_BOOL,
                              E_ZCONFD_OPER_ADD);
    zconfd_set_cdb_oper_value(d->ctx, &ipc, "/debugs/pim/vpn{2}", ZCONFD_VT_BOOL,
                              E_ZCONFD_OPER_DEL);
    // Read from another connection while the writes arrive: the value only
    // ever grows, and settles at the last one written.
    const std::string level = "/debugs/pim/vpn{1}/events/level=";
    long last = -1;
    std::vector<std::string> rows;
    for (int64_t end = sim_now_ms() + 20000;
         (last < 299 || rows.size() != 2) && sim_now_ms() < end;) {
        rows = oper_read(cli.get(), "/debugs");
        for (const std::string &r : rows) {
            if (r.starts_with(level)) {
                EXPECT_GE(std::stol(r.substr(level.size())), last);
                last = std::stol(r.substr(level.size()));
            }
        }
    }
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].starts_with("/debugs/pim/vpn{1}=")) << rows[0];
    EXPECT_EQ(rows[1], level + "299");

    // Show: first row, row by keys (typed as text, by the callpoint's list),
    // next row, end of table; values named from the schema.
    auto id = [](uint64_t k) { return zconfd_val_uint(zconfd_tag("id"), ZCONFD_VT_UINT32, k); };
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_FIRST, {}), "id=10 name='ten'");
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_GET, {zconfd_val_str(0, "20")}),
              "id=20 name='twenty'");
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_GET, {zconfd_val_str(0, "not-a-number")}),
              "error");
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_GET, {id(25)}), "none");
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_NEXT, {id(20)}), "id=30 name='thirty'");
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_SAME_OR_NEXT, {id(20)}), "id=20 name='twenty'");
    EXPECT_EQ(row_of(cli.get(), CDB__DATA_OP__DATA_NEXT, {id(30)}), "none");

    // Actions: the command form prints, the action form fails with its text,
    // its parameters typed by the action's input, unknown ones refused.
    EXPECT_EQ(action(cli.get(), "test_cmd", {"vpn"}, {}),
              std::make_pair(true, std::string("Statistics\narg 0: vpn\n")));
    EXPECT_EQ(action(cli.get(), "test_action", {}, {{"vpn-id", "5"}}),
              std::make_pair(false, std::string("VPN 5 not configured")));
    EXPECT_EQ(g_last_param_type, ZCONFD_VT_UINT32);
    EXPECT_EQ(action(cli.get(), "test_action", {}, {{"nosuch", "5"}}),
              std::make_pair(false, std::string("Unknown parameter nosuch")));
    EXPECT_FALSE(action(cli.get(), "nosuch", {}, {{"vpn-id", "5"}}).first);

    // Notifications queued in one go: the throttler sends one per wake, most
    // severe first; names the schema does not know are shown by tag.
    auto notify = [&](const char *name, int severity) {
        t_zconfd_value v[4] = {zconfd_val_begin(zconfd_tag(name)),
                               zconfd_val_enum(zconfd_tag("severity-level"), severity),
                               zconfd_val_str(zconfd_tag("host-name"), "edge1"),
                               zconfd_val_end(zconfd_tag(name))};
        return zconfd_event_send_notification(d->ctx, v, 4);
    };
    ASSERT_EQ(notify("minor-event", 3), 0);
    ASSERT_EQ(notify("major-event", 2), 0);
    ASSERT_EQ(notify("critical-event", 1), 0);
    t_zconfd_value too_many[20] = {};
    EXPECT_NE(zconfd_event_send_notification(d->ctx, too_many, 20), 0);
    auto got = notifications(follower.get(), 3);
    ASSERT_EQ(got.size(), 3u);
    const char *order[] = {"critical-event", "major-event", "minor-event"};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_NE(got[i].text.find(std::to_string(zconfd_tag(order[i]))), std::string::npos);
    }
    EXPECT_NE(got[0].text.find("\"host-name\":\"edge1\""), std::string::npos);
    EXPECT_GE(got[2].at_ms - got[0].at_ms, 300);

    // Names come from the schema, tags overridden where it says so.
    t_zconfd_value v[4] = {zconfd_val_begin(zconfd_tag("test-event")),
                           zconfd_val_uint(zconfd_tag("severity-level"), ZCONFD_VT_UINT8, 1),
                           zconfd_val_uint(0x4d7d11c2, ZCONFD_VT_UINT32, 42),
                           zconfd_val_end(zconfd_tag("test-event"))};
    ASSERT_EQ(zconfd_event_send_notification(d->ctx, v, 4), 0);
    got = notifications(follower.get(), 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name + " " + got[0].text,
              "test-event {\"test-event\":{\"severity-level\":1,\"code\":42}}");

    // A later follower can replay the log.
    auto late = connect_cli(STRANGER_MOD);
    fol.has_replay = true;
    fol.replay = 2;
    ASSERT_TRUE(result(late.get(), &follow).ok);
    EXPECT_EQ(notifications(late.get(), 3, 500).size(), 2u);
}

} // namespace
