#include "tools/ftmd/ftmd_oper.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <syslog.h>
#include <tuple>
#include <vector>

#include "common/zul_log.h"
#include "common/zul_module.h"
#include "zconfd/zconfd.h"

namespace
{

constexpr uint32_t TAG_VPN_ID = zconfd_tag("vpn-id");
constexpr uint32_t TAG_SOURCE = zconfd_tag("source");
constexpr uint32_t TAG_GROUP = zconfd_tag("group");
constexpr uint32_t TAG_IIF = zconfd_tag("incoming-interface");
constexpr uint32_t TAG_OIL = zconfd_tag("outgoing-interfaces");
constexpr uint32_t TAG_STATE = zconfd_tag("state");
constexpr uint32_t TAG_THRESHOLD = zconfd_tag("spt-threshold");
constexpr uint32_t TAG_PACKETS = zconfd_tag("packets");
constexpr uint32_t TAG_BYTES = zconfd_tag("bytes");
constexpr uint32_t TAG_WRONG_IIF = zconfd_tag("wrong-interface");
constexpr uint32_t TAG_TTL = zconfd_tag("ttl-expired");
constexpr int ROW_VALUES = 11;

using t_key = std::tuple<uint64_t, uint32_t, uint32_t>;

struct t_oper {
    t_zconfd_context *ctxt_p = nullptr;
    const std::map<uint64_t, std::unique_ptr<t_ftmd_ns>> *nss_p = nullptr;
    const uint64_t *gen_p = nullptr;
    uint64_t sorted_gen = UINT64_MAX;
    std::vector<t_key> sorted;
    // Texts of the row being replied (the framework copies them).
    std::string oil;
};

t_oper g_oper;

void oper_sort()
{
    if (g_oper.sorted_gen == *g_oper.gen_p) {
        return;
    }
    g_oper.sorted.clear();
    for (const auto &[id, ns] : *g_oper.nss_p) {
        for (const auto &[k, e] : ns->entries) {
            g_oper.sorted.emplace_back(id, e.source, e.group);
        }
    }
    std::sort(g_oper.sorted.begin(), g_oper.sorted.end());
    g_oper.sorted_gen = *g_oper.gen_p;
}

const t_ftmd_entry *oper_entry(const t_key &key)
{
    auto it = g_oper.nss_p->find(std::get<0>(key));
    if (it == g_oper.nss_p->end()) {
        return nullptr;
    }
    auto e = it->second->entries.find(ftmd_sg_key(std::get<1>(key), std::get<2>(key)));
    return e != it->second->entries.end() ? &e->second : nullptr;
}

// The row at or after (or strictly after) the keys; missing keys count as lowest.
const t_key *oper_locate(const t_zconfd_value *keys, int num_keys, bool exact, bool after)
{
    oper_sort();
    t_key want{0, 0, 0};
    if (num_keys >= 1) {
        std::get<0>(want) = keys[0].v.u64;
    }
    if (num_keys >= 2) {
        std::get<1>(want) = keys[1].v.addr.u.addr4;
    }
    if (num_keys >= 3) {
        std::get<2>(want) = keys[2].v.addr.u.addr4;
    }
    auto it = std::lower_bound(g_oper.sorted.begin(), g_oper.sorted.end(), want);
    if (after && num_keys >= 3 && it != g_oper.sorted.end() && *it == want) {
        ++it;
    }
    if (it == g_oper.sorted.end() || (exact && *it != want)) {
        return nullptr;
    }
    return &*it;
}

int oper_encode(const t_key &key, std::array<t_zconfd_value, ROW_VALUES> *vals)
{
    const t_ftmd_entry *e = oper_entry(key);
    if (e == nullptr) {
        return 0;
    }
    t_ipaddr src{};
    t_ipaddr grp{};
    IPADDR_SET_V4(&src, e->source);
    IPADDR_SET_V4(&grp, e->group);
    g_oper.oil.clear();
    for (uint32_t idx : e->out) {
        g_oper.oil += (g_oper.oil.empty() ? "" : " ") + std::to_string(idx);
    }
    const char *state = e->withdrawn_until_ms != 0 ? "withdrawn"
                        : e->stale                 ? "stale"
                                                   : "forwarding";
    int n = 0;
    auto &v = *vals;
    v[n++] = zconfd_val_uint(TAG_VPN_ID, ZCONFD_VT_UINT32, std::get<0>(key));
    v[n++] = zconfd_val_ipaddr(TAG_SOURCE, &src);
    v[n++] = zconfd_val_ipaddr(TAG_GROUP, &grp);
    v[n++] = zconfd_val_uint(TAG_IIF, ZCONFD_VT_UINT32, e->iif);
    v[n++] = zconfd_val_str(TAG_OIL, g_oper.oil.c_str());
    v[n++] = zconfd_val_str(TAG_STATE, state);
    v[n++] = e->monitor ? zconfd_val_uint(TAG_THRESHOLD, ZCONFD_VT_UINT32, e->threshold)
                        : zconfd_val_noexists(TAG_THRESHOLD);
    v[n++] = zconfd_val_uint(TAG_PACKETS, ZCONFD_VT_UINT64, e->packets);
    v[n++] = zconfd_val_uint(TAG_BYTES, ZCONFD_VT_UINT64, e->bytes);
    v[n++] = zconfd_val_uint(TAG_WRONG_IIF, ZCONFD_VT_UINT64, e->wrong_iif);
    v[n++] = zconfd_val_uint(TAG_TTL, ZCONFD_VT_UINT64, e->ttl_expired);
    return n;
}

int oper_walk(t_zconfd_trans *tctx, const t_zconfd_value *keys, int num_keys, bool after)
{
    std::array<t_zconfd_value, ROW_VALUES> vals;
    const t_key *key = oper_locate(keys, num_keys, false, after);
    int n = key != nullptr ? oper_encode(*key, &vals) : 0;
    return zconfd_data_reply_next_object_array(tctx, n != 0 ? vals.data() : nullptr, n, -1);
}

int oper_get_object(t_zconfd_trans *tctx, const t_zconfd_keypath *kp)
{
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int num_keys = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    std::array<t_zconfd_value, ROW_VALUES> vals;
    const t_key *key = oper_locate(keys, num_keys, true, false);
    int n = key != nullptr ? oper_encode(*key, &vals) : 0;
    return n != 0 ? zconfd_data_reply_value_array(tctx, vals.data(), n)
                  : zconfd_data_reply_not_found(tctx);
}

int oper_get_next_object(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, long next)
{
    if (next != -1) {
        return -1;
    }
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int num_keys = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    return oper_walk(tctx, keys, num_keys, false);
}

int oper_find_next_object(t_zconfd_trans *tctx, const t_zconfd_keypath *, int find_type,
                          const t_zconfd_value *keys, int num_keys)
{
    if (keys == nullptr || num_keys <= 0) {
        return oper_walk(tctx, nullptr, 0, false);
    }
    return oper_walk(tctx, keys, std::min(num_keys, 3), find_type == ZCONFD_FIND_NEXT);
}

int oper_register(t_zconfd_context *ctxt_p)
{
    t_zconfd_data_cbs cbs{};
    snprintf(cbs.callpoint, sizeof(cbs.callpoint), "%s", "forwarding-table");
    cbs.get_object = oper_get_object;
    cbs.get_next_object = oper_get_next_object;
    cbs.find_next_object = oper_find_next_object;
    return zconfd_register_data_cb(ctxt_p, &cbs);
}

} // namespace

bool ftmd_oper_init(event_base *base_p, t_timer_mgr *timer_mgr_p,
                    const std::map<uint64_t, std::unique_ptr<t_ftmd_ns>> *nss_p,
                    const uint64_t *gen_p)
{
    g_oper.nss_p = nss_p;
    g_oper.gen_p = gen_p;
    t_zconfd_sub_entry no_subs[1] = {};
    t_zconfd_val_point no_validation[1] = {};
    t_zconfd_action_cmd no_actions[1] = {};
    t_zconfd_module_data data{};
    data.opaque_p = &g_oper;
    data.sub_point_arr = no_subs;
    data.val_point_arr = no_validation;
    data.action_cmd_arr = no_actions;
    data.data_register_cb = oper_register;
    data.evt_base_p = base_p;
    data.timer_mgr_p = timer_mgr_p;
    data.mod_id = ZUL_MODULE_FTM;
    int rc = zconfd_module_init(&data, nullptr, &g_oper.ctxt_p);
    if (rc != ZCONFD_INIT_OK && rc != ZCONFD_INIT_RETRY) {
        ZUL_LOG_PRI(LOG_ERR, "registration with the configuration agent failed: %d", rc);
        zconfd_module_deinit(&g_oper.ctxt_p);
        return false;
    }
    return true;
}

void ftmd_oper_destroy()
{
    if (g_oper.ctxt_p != nullptr) {
        zconfd_module_deinit(&g_oper.ctxt_p);
    }
}
