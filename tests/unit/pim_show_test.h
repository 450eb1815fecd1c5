// Requests to the operational tables the way the framework makes them, and a
// daemon with VPNs 3 and 7 running PIM beside VPN 0 and VPN 5 (configured
// without PIM), both of which hold records that must never be shown.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt_codec.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_show.h"
#include "daemon/pim_vpn.h"
#include "tests/sim/pim_sim_if.h"
#include "tools/cdbd/cdbd_schema.h"
#include "zconfd/zconfd_pb.h"

inline timespec g_show_now{};

inline constexpr uint32_t NET3 = 0x0a030000; // 10.3.0.0: VPN 3's LANs
inline constexpr uint32_t NET7 = 0x0a070000;

inline constexpr auto v4 = pim_sim_v4;

// Value names from the schema the configuration agent loads.
inline std::string tag_name(uint32_t tag)
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

// One reply: "" for no row, else "name=value ..." in value order.
struct t_reply {
    int rc = 0;
    bool found = false;
    std::string text;
    std::vector<uint8_t> types;
};

inline t_reply reply_of(int rc, const t_zconfd_trans &tctx, t_zconfd_pb_values &vals)
{
    t_reply r;
    r.rc = rc;
    r.found = tctx.found;
    for (size_t i = 0; tctx.found && i < vals.size(); i++) {
        const Cdb__Value *v = vals.data()[i];
        std::string value = v->s != nullptr                       ? v->s
                            : v->type == CDB__VALUE_TYPE__VT_ENUM ? std::to_string(v->i)
                                                                  : std::to_string(v->u);
        r.text += (r.text.empty() ? "" : " ") + tag_name(v->tag) + "=" + value;
        r.types.push_back(static_cast<uint8_t>(v->type));
    }
    return r;
}

inline const t_zconfd_data_cbs &table(const char *name)
{
    for (const t_zconfd_data_cbs &cbs : kemd_callpoint) {
        if (strcmp(cbs.callpoint, name) == 0) {
            return cbs;
        }
    }
    ADD_FAILURE() << "no callpoint " << name;
    return kemd_callpoint[0];
}

struct PimShowTest : ::testing::Test {
    t_pim_daemon *daemon_p = nullptr;
    t_pim_vpn *vpn3 = nullptr;
    t_pim_vpn *vpn5 = nullptr;
    t_pim_vpn *vpn7 = nullptr;
    void *opaque = nullptr; // what the framework hands the callbacks

    static void fake_clock(timespec *now) { *now = g_show_now; }

    void SetUp() override
    {
        g_show_now = {1000, 0};
        ASSERT_EQ(pim_daemon_init(&daemon_p), PIM_STATUS_OK);
        timer_mgr_set_clock(daemon_p->timer_mgr_p, fake_clock);
        opaque = daemon_p;
        // VPN 0 runs PIM from its creation; VPN 5 is configured without PIM.
        t_pim_vpn *vpn0 = pim_vpn_find_or_create(daemon_p, 0);
        ASSERT_TRUE(vpn0 != nullptr && vpn0->pim_enabled);
        vpn3 = pim_vpn_find_or_create(daemon_p, 3);
        vpn5 = pim_vpn_find_or_create(daemon_p, 5);
        vpn7 = pim_vpn_find_or_create(daemon_p, 7);
        ASSERT_TRUE(vpn3 && vpn5 && vpn7);
        ASSERT_EQ(pim_vpn_pim_enable(vpn3), PIM_STATUS_OK);
        ASSERT_EQ(pim_vpn_pim_enable(vpn7), PIM_STATUS_OK);
        ASSERT_EQ(pim_nhres_db_init(vpn5), PIM_STATUS_OK);
        ASSERT_EQ(pim_rp_db_init(vpn5), PIM_STATUS_OK);
        // The same records in VPN 0 and in VPN 5 must stay invisible.
        for (t_pim_vpn *hidden : {vpn0, vpn5}) {
            t_pim_if *if_p = running_if(hidden, "ge0/1", NET3 + 0x0105);
            hello(if_p, NET3 + 0x0101, 105000, 1);
            t_ipaddr rpf = v4(0x0a090909);
            ASSERT_NE(pim_nhres_find_or_create(hidden, &rpf), nullptr);
            rp(hidden, 0xe0000000, 4, 0x0a0a0a0a);
        }
    }

    void TearDown() override
    {
        pim_daemon_destroy(daemon_p);
        g_kemd_p = nullptr;
    }

    void advance(int seconds)
    {
        for (int i = 0; i < seconds; i++) {
            g_show_now.tv_sec++;
            (void)timer_exec(daemon_p->timer_mgr_p, TIMER_PRI_MASK_ALL, 1000);
        }
    }

    t_pim_if *running_if(t_pim_vpn *vpn_p, const char *name, uint32_t addr, uint32_t prio = 1)
    {
        static int kernel_idx = 100;
        t_pim_if *if_p =
            pim_sim_running_if(daemon_p, vpn_p, name, kernel_idx++, addr, 24, prio, 60);
        EXPECT_NE(if_p, nullptr);
        return if_p;
    }

    static void hello(t_pim_if *if_p, uint32_t from, uint32_t hold_ms, uint32_t prio)
    {
        t_ipaddr a = v4(from);
        ASSERT_EQ(pim_nbr_process_hello(if_p, &a, hold_ms, prio, 1, 500, 2500), PIM_STATUS_OK);
    }

    static void rp(t_pim_vpn *vpn_p, uint32_t group, uint8_t len, uint32_t rp_addr)
    {
        t_ipprefix p{};
        p.addr = v4(group);
        p.prefixlen = len;
        t_ipaddr r = v4(rp_addr);
        t_pim_rp_db_entry *entry_p =
            pim_rp_db_find_or_create(vpn_p, nullptr, PIM_RP_TYPE_AUTO_RP, &p, &r);
        ASSERT_NE(entry_p, nullptr);
        entry_p->rp_addr = r;
    }

    t_pim_next_hop *rpf(t_pim_vpn *vpn_p, uint32_t addr)
    {
        t_ipaddr a = v4(addr);
        return pim_nhres_find_or_create(vpn_p, &a);
    }

    // ---- requests as the framework makes them ----

    // One request with the keys in its keypath, as the framework makes it.
    template <typename F> t_reply call(std::vector<t_zconfd_value> keys, F handler)
    {
        t_zconfd_pb_values vals;
        t_zconfd_trans tctx{nullptr, opaque, false, false, &vals};
        t_zconfd_keypath kp{};
        kp.num_keys = static_cast<int>(keys.size());
        std::copy(keys.begin(), keys.end(), kp.keys);
        int rc = handler(&tctx, &kp);
        return reply_of(rc, tctx, vals);
    }

    t_reply get(const char *cp, std::vector<t_zconfd_value> keys)
    {
        return call(keys, table(cp).get_object);
    }

    // The first row; a table under another one is given its parent's keys.
    t_reply first(const char *cp, long next = -1, std::vector<t_zconfd_value> parent = {})
    {
        return call(parent, [&](t_zconfd_trans *t, t_zconfd_keypath *kp) {
            return table(cp).get_next_object(t, kp, next);
        });
    }

    t_reply find(const char *cp, int find_type, std::vector<t_zconfd_value> keys)
    {
        return call(keys, [&](t_zconfd_trans *t, t_zconfd_keypath *kp) {
            return table(cp).find_next_object(t, kp, find_type, kp->keys, kp->num_keys);
        });
    }

    // Every row of a table the way the agent walks it: the first row, then the
    // row after the keys of the previous one.
    std::vector<std::string> walk(const char *cp, std::vector<t_zconfd_value> parent,
                                  std::vector<std::string> key_names)
    {
        std::vector<std::string> rows;
        t_reply r = first(cp, -1, parent);
        std::vector<std::string> keep; // texts the keys point to
        keep.reserve(64);
        while (r.found && rows.size() < 50) {
            rows.push_back(r.text);
            std::vector<t_zconfd_value> keys = parent;
            for (const std::string &name : key_names) {
                std::string text = key_text(r.text, name);
                keep.push_back(text);
                keys.push_back(typed_key(name, keep.back()));
            }
            r = find(cp, ZCONFD_FIND_NEXT, keys);
        }
        return rows;
    }

    static std::string key_text(const std::string &row, const std::string &name)
    {
        size_t at = (" " + row).find(" " + name + "=");
        if (at == std::string::npos) {
            return "";
        }
        size_t start = at + name.size() + 1;
        return row.substr(start, row.find(' ', start) - start);
    }

    static t_zconfd_value typed_key(const std::string &name, const std::string &text)
    {
        if (name == "if-name") {
            return zconfd_val_str(zconfd_tag(name), text.c_str());
        }
        t_ipaddr a{};
        if (str_to_ip(text.c_str(), &a) == 1) {
            return zconfd_val_ipaddr(zconfd_tag(name), &a);
        }
        t_ipprefix p{};
        if (zconfd_ip_prefix_str_to_t_ipprefix(text.c_str(), &p) == 0) {
            return zconfd_val_ipprefix(zconfd_tag(name), &p);
        }
        return zconfd_val_uint(zconfd_tag(name), ZCONFD_VT_UINT32, std::stoul(text));
    }
};

inline t_zconfd_value vpn_key(uint32_t id)
{
    return zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT32, id);
}
inline t_zconfd_value name_key(const char *n) { return zconfd_val_str(zconfd_tag("if-name"), n); }
inline t_zconfd_value addr_key(uint32_t a)
{
    t_ipaddr ip = v4(a);
    return zconfd_val_ipaddr(zconfd_tag("neighbor-address"), &ip);
}
inline t_zconfd_value index_key(uint32_t i)
{
    return zconfd_val_uint(zconfd_tag("index"), ZCONFD_VT_UINT32, i);
}
