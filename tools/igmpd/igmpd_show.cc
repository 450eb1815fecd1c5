// igmpd's operational tables ("igmp-interface", "igmp-membership") served
// through the configuration agent, one row per request, found from the keys
// of the previous row in the live tables.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>
#include <tuple>
#include <vector>

#include "common/zul_log.h"
#include "common/zul_module.h"
#include "tools/igmpd/igmpd.h"
#include "zconfd/zconfd.h"

namespace
{

enum e_find : uint8_t { FIND_EXACT, FIND_SAME_OR_NEXT, FIND_NEXT };

using t_row = std::vector<t_zconfd_value>;
// (vpn, interface, group, source): a row's keys, the tables' order.
using t_key = std::tuple<uint64_t, std::string, uint32_t, uint32_t>;

t_zconfd_value val_u32(const char *name, uint64_t v)
{
    return zconfd_val_uint(zconfd_tag(name), ZCONFD_VT_UINT32, v);
}

t_zconfd_value val_v4(const char *name, uint32_t a)
{
    t_ipaddr addr{};
    IPADDR_SET_V4(&addr, a);
    return zconfd_val_ipaddr(zconfd_tag(name), &addr);
}

uint32_t key_v4(const t_zconfd_value &v)
{
    if (v.type == ZCONFD_VT_IPV4) {
        return v.v.addr.u.addr4;
    }
    in_addr a{};
    if (v.str_p != nullptr && inet_pton(AF_INET, v.str_p, &a) == 1) {
        return ntohl(a.s_addr);
    }
    return 0;
}

// The keys given, and how many of the four.
t_key read_key(const t_zconfd_value *keys, int num)
{
    t_key k{0, "", 0, 0};
    if (num > 0) {
        std::get<0>(k) = zconfd_val_to_u64(&keys[0]);
    }
    if (num > 1 && keys[1].str_p != nullptr) {
        std::get<1>(k) = keys[1].str_p;
    }
    if (num > 2) {
        std::get<2>(k) = key_v4(keys[2]);
    }
    if (num > 3) {
        std::get<3>(k) = key_v4(keys[3]);
    }
    return k;
}

// Walks the rows of a table from key in key order; visit returns true to stop.
// depth: how many of the key's parts name a row (2 or 4).
template <typename F> void walk(const t_key &key, int depth, F visit)
{
    const auto &[vpn, name, group, source] = key;
    for (auto ns = g_igmpd.nss.lower_bound(vpn); ns != g_igmpd.nss.end(); ++ns) {
        const auto &ifaces = ns->second->ifaces;
        bool same_vpn = ns->first == vpn;
        for (auto it = same_vpn ? ifaces.lower_bound(name) : ifaces.begin(); it != ifaces.end();
             ++it) {
            const t_igmpd_iface *if_p = it->second.get();
            if (depth == 2) {
                if (visit(ns->first, if_p, 0u, 0u)) {
                    return;
                }
                continue;
            }
            const auto &rep = if_p->igmp.reported;
            bool same_if = same_vpn && it->first == name;
            for (auto m = same_if ? rep.lower_bound({group, source}) : rep.begin(); m != rep.end();
                 ++m) {
                if (visit(ns->first, if_p, m->first, m->second)) {
                    return;
                }
            }
        }
    }
}

t_row if_row(uint64_t vpn, const t_igmpd_iface *if_p)
{
    const t_igmp_if &igmp = if_p->igmp;
    uint64_t bad = 0;
    for (size_t i = 1; i < if_p->rx_errors.size(); i++) {
        bad += if_p->rx_errors[i];
    }
    return {val_u32("vpn-id", vpn),
            zconfd_val_str(zconfd_tag("if-name"), if_p->name.c_str()),
            val_v4("address", igmp.addr),
            val_v4("querier", igmp.querier ? igmp.addr : igmp.querier_addr),
            val_u32("groups", igmp.groups.size()),
            val_u32("rx-query", igmp.stats.rx_query),
            val_u32("rx-report",
                    igmp.stats.rx_report_v1 + igmp.stats.rx_report_v2 + igmp.stats.rx_report_v3),
            val_u32("rx-leave", igmp.stats.rx_leave),
            val_u32("rx-bad", bad),
            val_u32("tx-query", igmp.stats.tx_query)};
}

t_row membership_row(uint64_t vpn, const t_igmpd_iface *if_p, uint32_t group, uint32_t source)
{
    t_row row = {val_u32("vpn-id", vpn), zconfd_val_str(zconfd_tag("if-name"), if_p->name.c_str()),
                 val_v4("group", group), val_v4("source", source)};
    auto g = if_p->igmp.groups.find(group);
    if (g != if_p->igmp.groups.end()) {
        t_igmp_ms now = igmpd_now_ms();
        t_igmp_ms expiry = g->second.group_timer;
        if (!g->second.exclude) {
            auto s = g->second.sources.find(source);
            expiry = s != g->second.sources.end() ? s->second : 0;
        }
        row.push_back(zconfd_val_enum(zconfd_tag("filter-mode"), g->second.exclude ? 2 : 1));
        row.push_back(zconfd_val_uint(zconfd_tag("version"), ZCONFD_VT_UINT8,
                                      static_cast<uint64_t>(igmp_group_compat(g->second, now))));
        row.push_back(val_u32("expires", expiry > now ? (expiry - now + 999) / 1000 : 0));
    }
    return row;
}

// The row at or after keys (or exactly at them), of a 2- or 4-key table.
bool locate(const t_zconfd_value *keys, int num, e_find mode, int depth, t_row *row)
{
    t_key key = read_key(keys, num);
    bool found = false;
    walk(key, depth, [&](uint64_t vpn, const t_igmpd_iface *if_p, uint32_t g, uint32_t s) {
        t_key at{vpn, if_p->name, g, s};
        if (mode == FIND_NEXT && num >= depth && at == key) {
            return false;
        }
        if (mode == FIND_EXACT && at != key) {
            return true;
        }
        *row = depth == 2 ? if_row(vpn, if_p) : membership_row(vpn, if_p, g, s);
        found = true;
        return true;
    });
    return found;
}

template <int DEPTH> int get_object(t_zconfd_trans *tctx, const t_zconfd_keypath *kp)
{
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int num = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    t_row row;
    if (num < DEPTH || !locate(keys, num, FIND_EXACT, DEPTH, &row)) {
        return zconfd_data_reply_not_found(tctx);
    }
    return zconfd_data_reply_value_array(tctx, row.data(), static_cast<int>(row.size()));
}

template <int DEPTH>
int reply_walk(t_zconfd_trans *tctx, const t_zconfd_value *keys, int num, e_find mode)
{
    t_row row;
    bool found = locate(keys, num, mode, DEPTH, &row);
    return zconfd_data_reply_next_object_array(tctx, found ? row.data() : nullptr,
                                               found ? static_cast<int>(row.size()) : 0, -1);
}

template <int DEPTH>
int get_next_object(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, long next)
{
    if (next != -1) {
        return -1;
    }
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int num = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    return reply_walk<DEPTH>(tctx, keys, num, FIND_SAME_OR_NEXT);
}

template <int DEPTH>
int find_next_object(t_zconfd_trans *tctx, const t_zconfd_keypath *, int find_type,
                     const t_zconfd_value *keys, int num)
{
    if (keys == nullptr || num <= 0) {
        return reply_walk<DEPTH>(tctx, nullptr, 0, FIND_SAME_OR_NEXT);
    }
    return reply_walk<DEPTH>(tctx, keys, num > ZCONFD_MAX_KEYS ? ZCONFD_MAX_KEYS : num,
                             find_type == ZCONFD_FIND_NEXT ? FIND_NEXT : FIND_SAME_OR_NEXT);
}

template <int DEPTH> t_zconfd_data_cbs data_cbs(const char *name)
{
    t_zconfd_data_cbs cbs{};
    snprintf(cbs.callpoint, sizeof(cbs.callpoint), "%s", name);
    cbs.get_object = get_object<DEPTH>;
    cbs.get_next_object = get_next_object<DEPTH>;
    cbs.find_next_object = find_next_object<DEPTH>;
    return cbs;
}

int igmpd_show_register(t_zconfd_context *ctxt_p)
{
    t_zconfd_data_cbs ifs = data_cbs<2>("igmp-interface");
    t_zconfd_data_cbs members = data_cbs<4>("igmp-membership");
    if (zconfd_register_data_cb(ctxt_p, &ifs) != 0 ||
        zconfd_register_data_cb(ctxt_p, &members) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "cannot register the operational tables");
        return 1;
    }
    return 0;
}

} // namespace

void igmpd_show_init(const char *cdb_path)
{
    t_zconfd_sub_entry no_subs[1] = {};
    t_zconfd_val_point no_validation[1] = {};
    t_zconfd_action_cmd no_actions[1] = {};
    t_zconfd_module_data data{};
    data.opaque_p = &g_igmpd;
    data.sub_point_arr = no_subs;
    data.val_point_arr = no_validation;
    data.action_cmd_arr = no_actions;
    data.data_register_cb = igmpd_show_register;
    data.evt_base_p = g_igmpd.run.base_p;
    data.timer_mgr_p = g_igmpd.run.timer_mgr_p;
    data.mod_id = ZUL_MODULE_IGMP;
    snprintf(data.cdb_path, sizeof(data.cdb_path), "%s", cdb_path);
    int rc = zconfd_module_init(&data, nullptr, &g_igmpd.zconfd_p);
    if (rc != ZCONFD_INIT_OK && rc != ZCONFD_INIT_RETRY) {
        ZUL_LOG_PRI(LOG_ERR, "cannot register with the configuration agent: %d", rc);
        zconfd_module_deinit(&g_igmpd.zconfd_p);
    }
}

void igmpd_show_destroy() { zconfd_module_deinit(&g_igmpd.zconfd_p); }
