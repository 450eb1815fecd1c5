#include "daemon/pim_show.h"

#include <cstdio>
#include <cstring>

#include "common/zul_assert.h"
#include "daemon/pim_chassis.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt_codec.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_show_util.h"
#include "daemon/pim_vpn.h"

char g_show_up_time[64];
char g_show_expiry[64];

namespace
{

constexpr uint32_t SECONDS_PER_YEAR = 31536000;

// Leaf names of the operational schema.
constexpr uint32_t TAG_RX_HELLO = zconfd_tag("rx-hello");
constexpr uint32_t TAG_RX_JP = zconfd_tag("rx-join-prune");
constexpr uint32_t TAG_RX_ASSERT = zconfd_tag("rx-assert");
constexpr uint32_t TAG_RX_ANNOUNCE = zconfd_tag("rx-auto-rp-announce");
constexpr uint32_t TAG_RX_MAPPING = zconfd_tag("rx-auto-rp-mapping");
constexpr uint32_t TAG_RX_UNSUPPORTED = zconfd_tag("rx-unsupported");
constexpr uint32_t TAG_RX_UNKNOWN = zconfd_tag("rx-unknown");
constexpr uint32_t TAG_RX_BAD = zconfd_tag("rx-bad");
constexpr uint32_t TAG_RX_BAD_ADDR = zconfd_tag("rx-bad-addr-records");
constexpr uint32_t TAG_RX_NBR_LIMIT = zconfd_tag("rx-nbr-limit");
constexpr uint32_t TAG_TX_HELLO = zconfd_tag("tx-hello");
constexpr uint32_t TAG_TX_JP = zconfd_tag("tx-join-prune");
constexpr uint32_t TAG_TX_ASSERT = zconfd_tag("tx-assert");
constexpr uint32_t TAG_RP_TYPE = zconfd_tag("rp-type");
constexpr uint32_t TAG_GROUP_PREFIX = zconfd_tag("group-prefix");
constexpr uint32_t TAG_ADDRESS = zconfd_tag("address");
constexpr uint32_t TAG_NBR_COUNT = zconfd_tag("neighbor-count");
constexpr uint32_t TAG_HELLO_INTERVAL = zconfd_tag("hello-interval");
constexpr uint32_t TAG_DR_PRIORITY = zconfd_tag("dr-priority");
constexpr uint32_t TAG_DR_ADDRESS = zconfd_tag("dr-address");
constexpr uint32_t TAG_JP_INTERVAL = zconfd_tag("join-prune-interval");
constexpr uint32_t TAG_NBR_ADDRESS = zconfd_tag("neighbor-address");
constexpr uint32_t TAG_HOLD_TIME = zconfd_tag("hold-time");
constexpr uint32_t TAG_RPF_ADDRESS = zconfd_tag("rpf-address");
constexpr uint32_t TAG_NH_COUNT = zconfd_tag("nexthop-count");
constexpr uint32_t TAG_STATUS = zconfd_tag("status");
constexpr uint32_t TAG_COLOR = zconfd_tag("color");
constexpr uint32_t TAG_ENCAP = zconfd_tag("encap");

// Status of an RPF record.
constexpr int32_t PIM_SHOW_RPF_RESOLVED = 0;
constexpr int32_t PIM_SHOW_RPF_UNRESOLVED = 1;

bool pim_show_vpn_ok(const t_pim_vpn *vpn_p) { return vpn_p->pim_enabled && vpn_p->vpn_id != 0; }

} // namespace

// ---- key reading ----

bool pim_show_key_u64(const t_zconfd_value *key, uint64_t *out)
{
    switch (key->type) {
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        *out = zconfd_val_to_u64(key);
        return true;
    default:
        return false;
    }
}

bool pim_show_key_addr(const t_zconfd_value *key, t_ipaddr *out)
{
    if (key->type != ZCONFD_VT_IPV4 && key->type != ZCONFD_VT_IPV6) {
        return false;
    }
    IPADDR_COPY(out, &key->v.addr);
    return true;
}

bool pim_show_tree_ready(const avl_tree_t *tree) { return tree->avl_compar != nullptr; }

// ---- VPNs ----

t_pim_vpn *pim_show_vpn_find_next(t_pim_daemon *daemon_p, uint64_t vpn_id)
{
    t_pim_vpn *vpn_p = pim_vpn_find_next(daemon_p, vpn_id);
    while (vpn_p != nullptr && !pim_show_vpn_ok(vpn_p)) {
        vpn_p = pim_vpn_find_next(daemon_p, vpn_p->vpn_id);
    }
    return vpn_p;
}

t_pim_vpn *pim_show_vpn_find_first(t_pim_daemon *daemon_p)
{
    return pim_show_vpn_find_next(daemon_p, 0);
}

t_pim_vpn *pim_show_vpn_find(t_pim_daemon *daemon_p, uint64_t vpn_id)
{
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, nullptr);
    return vpn_p != nullptr && pim_show_vpn_ok(vpn_p) ? vpn_p : nullptr;
}

namespace
{

// Interface keys come as user names; the tables are ordered by kernel names.
bool show_key_if_name(const t_zconfd_value *key, char *kernel, size_t size)
{
    if ((key->type != ZCONFD_VT_STR && key->type != ZCONFD_VT_BUF) || key->str_p == nullptr) {
        return false;
    }
    if (!pim_chassis_kernel_name(key->str_p, kernel, size)) {
        snprintf(kernel, size, "%s", key->str_p);
    }
    return true;
}

// ---- interfaces ----

// The VPN's PIM interfaces of one type, in the PIM interface tree.
t_pim_if *pim_show_if_find(t_pim_vpn *vpn_p, const char *kernel, e_pim_if_type type)
{
    return pim_if_find(vpn_p, kernel, type, nullptr, true);
}

t_pim_if *pim_show_if_find_next(t_pim_vpn *vpn_p, const char *kernel, e_pim_if_type type)
{
    t_pim_if key{};
    key.pim_if_type = type;
    snprintf(key.if_name, sizeof(key.if_name), "%s", kernel);
    auto *if_p = avl_find_next(&vpn_p->pim_if_db, &key);
    return if_p != nullptr && if_p->pim_if_type == type ? if_p : nullptr;
}

t_pim_if *pim_show_if_find_first(t_pim_vpn *vpn_p, e_pim_if_type type)
{
    return pim_show_if_find_next(vpn_p, "", type);
}

// The same over the display tree: shorter names first.
t_pim_if *pim_show_nbr_if_find(t_pim_vpn *vpn_p, const char *kernel, e_pim_if_type type)
{
    t_pim_if key{};
    key.pim_if_type = type;
    snprintf(key.if_name, sizeof(key.if_name), "%s", kernel);
    return avl_find(&vpn_p->pim_show_if_db, &key, nullptr);
}

t_pim_if *pim_show_nbr_if_find_next(t_pim_vpn *vpn_p, const char *kernel, e_pim_if_type type)
{
    t_pim_if key{};
    key.pim_if_type = type;
    snprintf(key.if_name, sizeof(key.if_name), "%s", kernel);
    auto *if_p = avl_find_next(&vpn_p->pim_show_if_db, &key);
    return if_p != nullptr && if_p->pim_if_type == type ? if_p : nullptr;
}

t_pim_if *pim_show_nbr_if_find_first(t_pim_vpn *vpn_p, e_pim_if_type type)
{
    return pim_show_nbr_if_find_next(vpn_p, "", type);
}

// ---- "pim-statistics" ----

void pim_show_stats_encode(const t_pim_vpn *vpn_p, t_show_row *row)
{
    const t_pim_pkt_stats_rx &rx = vpn_p->stats.pkt_stats_rx;
    const t_pim_pkt_stats_tx &tx = vpn_p->stats.pkt_stats_tx;
    row->add_u32(PIM_SHOW_TAG_VPN_ID, vpn_p->vpn_id);
    row->add_u32(TAG_RX_HELLO, rx.hello_pkts);
    row->add_u32(TAG_RX_JP, rx.jp_pkts);
    row->add_u32(TAG_RX_ASSERT, rx.assert_pkts);
    row->add_u32(TAG_RX_ANNOUNCE, rx.auto_rp_announce_pkts);
    row->add_u32(TAG_RX_MAPPING, rx.auto_rp_mapping_pkts);
    row->add_u32(TAG_RX_UNSUPPORTED, rx.unsupported_pkts);
    row->add_u32(TAG_RX_UNKNOWN, rx.unknown_pkts);
    row->add_u32(TAG_RX_BAD, rx.bad_pkts);
    row->add_u32(TAG_RX_BAD_ADDR, rx.bad_addr_records);
    row->add_u32(TAG_RX_NBR_LIMIT, rx.nbr_limit_pkts);
    row->add_u32(TAG_TX_HELLO, tx.hello_pkts);
    row->add_u32(TAG_TX_JP, tx.jp_pkts);
    row->add_u32(TAG_TX_ASSERT, tx.assert_pkts);
}

bool pim_show_stats_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                           e_show_find mode, t_show_row *row)
{
    return pim_show_locate_in_vpns(
        daemon_p, keys, num_keys, mode,
        [row](t_pim_vpn *vpn_p, const t_zconfd_value *, int rest, e_show_find m) {
            // The VPN is the whole key: "next" after it is another VPN.
            if (rest == 0 && m == SHOW_FIND_NEXT) {
                return false;
            }
            pim_show_stats_encode(vpn_p, row);
            return true;
        });
}

// ---- "pim-rp-mapping" ----

void pim_show_rp_map_encode(const t_pim_vpn *vpn_p, const t_pim_rp_db_entry *entry_p,
                            t_show_row *row)
{
    row->add_u32(PIM_SHOW_TAG_VPN_ID, vpn_p->vpn_id);
    row->add(zconfd_val_enum(TAG_RP_TYPE, entry_p->type));
    // The schema knows group ranges as IPv4 prefixes only.
    t_zconfd_value grp = zconfd_val_ipprefix(TAG_GROUP_PREFIX, &entry_p->grp_prefix);
    grp.type = ZCONFD_VT_IPV4PREFIX;
    row->add(grp);
    row->add(zconfd_val_ipaddr(PIM_SHOW_TAG_RP_ADDRESS, &entry_p->rp_addr));
}

t_pim_rp_db_entry *pim_show_rp_map_at(t_pim_vpn *vpn_p, const t_zconfd_value *keys, int num_keys,
                                      e_show_find mode)
{
    if (!pim_show_tree_ready(&vpn_p->rp_db)) {
        return nullptr;
    }
    if (num_keys == 0) {
        return avl_first<t_pim_rp_db_entry>(&vpn_p->rp_db);
    }
    uint64_t type = 0;
    if (!pim_show_key_u64(&keys[0], &type) || type > UINT8_MAX) {
        return nullptr;
    }
    t_pim_rp_db_entry key{};
    key.type = static_cast<e_pim_rp_type>(type);
    if (num_keys == 1) {
        // An unknown address family sorts before every real prefix.
        return avl_find_current_or_next(&vpn_p->rp_db, &key, nullptr);
    }
    if (zconfd_val_to_ipprefix(&keys[1], &key.grp_prefix) != 0) {
        return nullptr;
    }
    t_pim_rp_db_entry *entry_p = nullptr;
    if (mode != SHOW_FIND_NEXT) {
        entry_p = avl_find(&vpn_p->rp_db, &key, nullptr);
    }
    if (entry_p == nullptr && mode != SHOW_FIND_EXACT) {
        entry_p = avl_find_next(&vpn_p->rp_db, &key);
    }
    return entry_p;
}

bool pim_show_rp_map_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                            e_show_find mode, t_show_row *row)
{
    return pim_show_locate_rows(daemon_p, keys, num_keys, mode, 2, pim_show_rp_map_at,
                                [row](t_pim_vpn *vpn_p, t_pim_rp_db_entry *rec_p) {
                                    pim_show_rp_map_encode(vpn_p, rec_p, row);
                                });
}

// ---- "pim-interface" ----

void pim_show_if_encode(const t_pim_vpn *vpn_p, t_pim_if *if_p, t_show_row *row)
{
    row->add_u32(PIM_SHOW_TAG_VPN_ID, vpn_p->vpn_id);
    row->add(zconfd_val_str(PIM_SHOW_TAG_IF_NAME, if_p->user_name));
    if (!IPADDR_IS_V4(&if_p->if_addr.addr) && !IPADDR_IS_V6(&if_p->if_addr.addr)) {
        row->add(zconfd_val_noexists(TAG_ADDRESS));
    } else {
        row->add(zconfd_val_ipprefix(TAG_ADDRESS, &if_p->if_addr));
    }
    row->add_u32(TAG_NBR_COUNT, avl_numnodes(&if_p->nbr_db));
    row->add_u32(TAG_HELLO_INTERVAL, if_p->config.hello_interval / 1000);
    row->add_u32(TAG_DR_PRIORITY, if_p->config.dr_priority);
    if (if_p->dr_nbr_p != nullptr) {
        row->add(zconfd_val_ipaddr(TAG_DR_ADDRESS, &if_p->dr_nbr_p->nbr_addr));
    }
    row->add_u32(TAG_JP_INTERVAL, if_p->config.join_interval / 1000);
}

t_pim_if *pim_show_if_at(t_pim_vpn *vpn_p, const t_zconfd_value *keys, int num_keys,
                         e_show_find mode)
{
    if (num_keys == 0) {
        return pim_show_if_find_first(vpn_p, PIM_IF_TYPE_LOCAL);
    }
    char kernel[PIM_IF_NAME_LEN];
    if (!show_key_if_name(&keys[0], kernel, sizeof(kernel))) {
        return nullptr;
    }
    t_pim_if *if_p = nullptr;
    if (mode != SHOW_FIND_NEXT) {
        if_p = pim_show_if_find(vpn_p, kernel, PIM_IF_TYPE_LOCAL);
    }
    if (if_p == nullptr && mode != SHOW_FIND_EXACT) {
        if_p = pim_show_if_find_next(vpn_p, kernel, PIM_IF_TYPE_LOCAL);
    }
    return if_p;
}

bool pim_show_if_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                        e_show_find mode, t_show_row *row)
{
    return pim_show_locate_rows(
        daemon_p, keys, num_keys, mode, 1, pim_show_if_at,
        [row](t_pim_vpn *vpn_p, t_pim_if *rec_p) { pim_show_if_encode(vpn_p, rec_p, row); });
}

// ---- "pim-neighbor" ----

void pim_show_nbr_encode(const t_pim_vpn *vpn_p, t_pim_if *if_p, const t_pim_nbr *nbr_p,
                         t_show_row *row)
{
    row->add_u32(PIM_SHOW_TAG_VPN_ID, vpn_p->vpn_id);
    row->add(zconfd_val_str(PIM_SHOW_TAG_IF_NAME, if_p->user_name));
    row->add(zconfd_val_ipaddr(TAG_NBR_ADDRESS, &nbr_p->nbr_addr));
    row->add(zconfd_val_str(PIM_SHOW_TAG_UP_TIME, zul_util_get_time(nbr_p->up_time, g_show_up_time,
                                                                    sizeof(g_show_up_time))));
    if (nbr_p->hold_timer != nullptr && timer_is_active(nbr_p->hold_timer)) {
        int64_t ticks = timer_get_ticks_to_expiry(nbr_p->hold_timer);
        row->add(
            zconfd_val_str(PIM_SHOW_TAG_EXPIRES,
                           zul_util_get_time_ddhhmmss(ticks > 0 ? static_cast<uint64_t>(ticks) : 0,
                                                      g_show_expiry, sizeof(g_show_expiry))));
    }
    uint32_t hold_s = nbr_p->hold_time == PIM_NBR_HOLDTIME_FOREVER_MS ? PIM_HELLO_HOLDTIME_FOREVER
                                                                      : nbr_p->hold_time / 1000;
    row->add_u32(TAG_HOLD_TIME, hold_s);
    row->add_u32(TAG_DR_PRIORITY, nbr_p->dr_priority);
    if (if_p->dr_nbr_p != nullptr) {
        row->add(zconfd_val_ipaddr(TAG_DR_ADDRESS, &if_p->dr_nbr_p->nbr_addr));
    }
}

struct t_show_nbr_pos {
    t_pim_if *if_p;
    t_pim_nbr *nbr_p;
};

// The first neighbor of the interfaces from if_p on.
t_show_nbr_pos pim_show_nbr_from_if(t_pim_vpn *vpn_p, t_pim_if *if_p)
{
    for (; if_p != nullptr;
         if_p = pim_show_nbr_if_find_next(vpn_p, if_p->if_name, if_p->pim_if_type)) {
        t_pim_nbr *nbr_p = pim_nbr_get_first(if_p);
        if (nbr_p != nullptr) {
            return {if_p, nbr_p};
        }
    }
    return {nullptr, nullptr};
}

t_show_nbr_pos pim_show_nbr_at(t_pim_vpn *vpn_p, const t_zconfd_value *keys, int num_keys,
                               e_show_find mode)
{
    if (num_keys == 0) {
        return pim_show_nbr_from_if(vpn_p, pim_show_nbr_if_find_first(vpn_p, PIM_IF_TYPE_LOCAL));
    }
    char kernel[PIM_IF_NAME_LEN];
    if (!show_key_if_name(&keys[0], kernel, sizeof(kernel))) {
        return {nullptr, nullptr};
    }
    t_pim_if *if_p = pim_show_nbr_if_find(vpn_p, kernel, PIM_IF_TYPE_LOCAL);
    if (if_p != nullptr) {
        t_pim_nbr *nbr_p = nullptr;
        t_ipaddr addr{};
        if (num_keys == 1) {
            nbr_p = mode == SHOW_FIND_EXACT ? nullptr : pim_nbr_get_first(if_p);
        } else if (pim_show_key_addr(&keys[1], &addr)) {
            nbr_p = mode != SHOW_FIND_NEXT ? pim_nbr_find(if_p, &addr, nullptr) : nullptr;
            if (nbr_p == nullptr && mode != SHOW_FIND_EXACT) {
                nbr_p = pim_nbr_get_next(if_p, &addr);
            }
        } else {
            return {nullptr, nullptr};
        }
        if (nbr_p != nullptr) {
            return {if_p, nbr_p};
        }
    }
    if (mode == SHOW_FIND_EXACT) {
        return {nullptr, nullptr};
    }
    return pim_show_nbr_from_if(vpn_p, pim_show_nbr_if_find_next(vpn_p, kernel, PIM_IF_TYPE_LOCAL));
}

bool pim_show_nbr_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                         e_show_find mode, t_show_row *row)
{
    return pim_show_locate_in_vpns(
        daemon_p, keys, num_keys, mode,
        [row](t_pim_vpn *vpn_p, const t_zconfd_value *rest, int num_rest, e_show_find m) {
            if (m == SHOW_FIND_EXACT && num_rest != 2) {
                return false;
            }
            t_show_nbr_pos pos = pim_show_nbr_at(vpn_p, rest, num_rest, m);
            if (pos.nbr_p == nullptr) {
                return false;
            }
            pim_show_nbr_encode(vpn_p, pos.if_p, pos.nbr_p, row);
            return true;
        });
}

// ---- "multicast-rpf" ----

void pim_show_rpf_encode(const t_pim_vpn *vpn_p, const t_pim_next_hop *nh_p, t_show_row *row)
{
    row->add_u32(PIM_SHOW_TAG_VPN_ID, vpn_p->vpn_id);
    row->add(zconfd_val_ipaddr(TAG_RPF_ADDRESS, &nh_p->nh_addr));
    uint32_t num_nh = nh_p->num_nh > 0 ? static_cast<uint32_t>(nh_p->num_nh) : 0;
    row->add_u32(TAG_NH_COUNT, num_nh);
    row->add(
        zconfd_val_enum(TAG_STATUS, num_nh > 0 ? PIM_SHOW_RPF_RESOLVED : PIM_SHOW_RPF_UNRESOLVED));
}

t_pim_next_hop *pim_show_rpf_at(t_pim_vpn *vpn_p, const t_zconfd_value *keys, int num_keys,
                                e_show_find mode)
{
    if (!pim_show_tree_ready(&vpn_p->nhres_db)) {
        return nullptr;
    }
    if (num_keys == 0) {
        return avl_first<t_pim_next_hop>(&vpn_p->nhres_db);
    }
    t_ipaddr addr{};
    if (!pim_show_key_addr(&keys[0], &addr)) {
        return nullptr;
    }
    t_pim_next_hop *nh_p = mode != SHOW_FIND_NEXT ? pim_nhres_find(vpn_p, &addr, nullptr) : nullptr;
    if (nh_p == nullptr && mode != SHOW_FIND_EXACT) {
        nh_p = pim_nhres_find_next(vpn_p, &addr);
    }
    return nh_p;
}

bool pim_show_rpf_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                         e_show_find mode, t_show_row *row)
{
    return pim_show_locate_rows(
        daemon_p, keys, num_keys, mode, 1, pim_show_rpf_at,
        [row](t_pim_vpn *vpn_p, t_pim_next_hop *rec_p) { pim_show_rpf_encode(vpn_p, rec_p, row); });
}

// ---- "multicast-rpf-nexthops" ----

// A next hop has a row when its interface and its neighbor exist; the
// neighbor of a next hop without an address is the RPF address itself.
bool pim_show_rpf_nh_encode(t_pim_vpn *vpn_p, const t_pim_next_hop *nh_p, uint32_t index,
                            bool with_index, t_show_row *row)
{
    const t_pim_nh_info &info = pim_nhres_hops(nh_p)[index];
    const t_ipaddr *nbr_addr = IPADDR_IS_ZERO(&info.nh_addr) ? &nh_p->nh_addr : &info.nh_addr;
    bool service = info.nh_type == E_PIM_NHTYPE_SERVICE;
    t_pim_if *if_p = service
                         ? pim_if_find_by_index(vpn_p, info.if_index, PIM_IF_TYPE_LOCAL, nullptr)
                         : pim_if_tunnel_find(vpn_p, &info.nh_addr);
    if (if_p == nullptr) {
        return false;
    }
    t_pim_nbr *nbr_p = pim_nbr_find(if_p, nbr_addr, nullptr);
    if (nbr_p == nullptr || (nbr_p->nbr_flags & PIM_NBR_FLAG_CLEANUP) != 0) {
        return false;
    }
    if (with_index) {
        row->add_u32(PIM_SHOW_TAG_INDEX, index);
    }
    if (service) {
        row->add(zconfd_val_str(PIM_SHOW_TAG_IF_NAME, if_p->user_name));
    } else {
        row->add(zconfd_val_ipaddr(PIM_SHOW_TAG_TUNNEL_ADDRESS, &info.nh_addr));
        if (info.color != 0) {
            row->add(zconfd_val_enum(TAG_COLOR, static_cast<int32_t>(info.color)));
        }
        if (info.encap != 0) {
            row->add(zconfd_val_enum(TAG_ENCAP, static_cast<int32_t>(info.encap)));
        }
    }
    row->add(zconfd_val_ipaddr(TAG_NBR_ADDRESS, &nbr_p->nbr_addr));
    return true;
}

// A table under each RPF record: the parent keys name the record, and the
// walk never leaves it.
bool pim_show_rpf_nh_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                            e_show_find mode, t_show_row *row)
{
    uint64_t vpn_id = 0;
    t_ipaddr addr{};
    if (num_keys < 2 || !pim_show_key_u64(&keys[0], &vpn_id) ||
        !pim_show_key_addr(&keys[1], &addr)) {
        return false;
    }
    t_pim_vpn *vpn_p = pim_show_vpn_find(daemon_p, vpn_id);
    t_pim_next_hop *nh_p = vpn_p != nullptr ? pim_nhres_find(vpn_p, &addr, nullptr) : nullptr;
    if (nh_p == nullptr) {
        return false;
    }
    uint32_t num_nh = static_cast<uint32_t>(nh_p->num_nh > 0 ? nh_p->num_nh : 0);
    num_nh = num_nh > PIM_MAX_NEXT_HOPS ? PIM_MAX_NEXT_HOPS : num_nh;
    uint64_t from = 0;
    if (num_keys >= 3) {
        if (!pim_show_key_u64(&keys[2], &from)) {
            return false;
        }
        from += mode == SHOW_FIND_NEXT ? 1 : 0;
    } else if (mode == SHOW_FIND_EXACT) {
        return false;
    }
    if (mode == SHOW_FIND_EXACT) {
        return from < num_nh &&
               pim_show_rpf_nh_encode(vpn_p, nh_p, static_cast<uint32_t>(from), false, row);
    }
    for (uint64_t i = from; i < num_nh; i++) {
        if (pim_show_rpf_nh_encode(vpn_p, nh_p, static_cast<uint32_t>(i), true, row)) {
            return true;
        }
    }
    return false;
}

// Tables whose records this daemon does not keep yet answer with no row.
bool pim_show_no_rows(t_pim_daemon *, const t_zconfd_value *, int, e_show_find, t_show_row *)
{
    return false;
}

// ---- the callbacks, common to every table ----

t_pim_daemon *show_daemon(const t_zconfd_trans *tctx)
{
    return static_cast<t_pim_daemon *>(tctx->opaque_p);
}

void show_reply_failed(const char *what, int rc)
{
    PIM_LOG("Failed to send oper data reply - %s (%d) : %s", what, rc, "reply already sent");
}

template <f_show_locate LOCATE>
int show_get_object(t_zconfd_trans *tctx, const t_zconfd_keypath *kp)
{
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int num_keys = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    t_pim_daemon *daemon_p = show_daemon(tctx);
    t_show_row row;
    int rc = daemon_p != nullptr && LOCATE(daemon_p, keys, num_keys, SHOW_FIND_EXACT, &row)
                 ? zconfd_data_reply_value_array(tctx, row.vals.data(), row.num)
                 : zconfd_data_reply_not_found(tctx);
    if (rc != 0) {
        show_reply_failed("get", rc);
    }
    return rc;
}

template <f_show_locate LOCATE>
int show_reply_walk(t_zconfd_trans *tctx, const t_zconfd_value *keys, int num_keys,
                    e_show_find mode)
{
    t_pim_daemon *daemon_p = show_daemon(tctx);
    t_show_row row;
    bool found = daemon_p != nullptr && LOCATE(daemon_p, keys, num_keys, mode, &row);
    int rc = zconfd_data_reply_next_object_array(tctx, found ? row.vals.data() : nullptr,
                                                 found ? row.num : 0, -1);
    if (rc != 0) {
        show_reply_failed("walk", rc);
    }
    return rc;
}

// Only the first request of a walk comes here; the agent goes on from the
// keys of the row it was given. The keypath of a table under another one
// carries the parent's keys.
template <f_show_locate LOCATE>
int show_get_next_object(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, long next)
{
    if (next != -1) {
        PIM_LOG("Next value = %ld", next);
        return -1;
    }
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int num_keys = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    return show_reply_walk<LOCATE>(tctx, keys, num_keys, SHOW_FIND_SAME_OR_NEXT);
}

template <f_show_locate LOCATE>
int show_find_next_object(t_zconfd_trans *tctx, const t_zconfd_keypath *, int find_type,
                          const t_zconfd_value *keys, int num_keys)
{
    if (keys == nullptr || num_keys <= 0) {
        return show_reply_walk<LOCATE>(tctx, nullptr, 0, SHOW_FIND_SAME_OR_NEXT);
    }
    return show_reply_walk<LOCATE>(
        tctx, keys, num_keys > ZCONFD_MAX_KEYS ? ZCONFD_MAX_KEYS : num_keys,
        find_type == ZCONFD_FIND_NEXT ? SHOW_FIND_NEXT : SHOW_FIND_SAME_OR_NEXT);
}

template <f_show_locate LOCATE> constexpr t_zconfd_data_cbs show_cbs(const char *name)
{
    t_zconfd_data_cbs cbs{};
    for (size_t i = 0; name[i] != '\0' && i + 1 < sizeof(cbs.callpoint); i++) {
        cbs.callpoint[i] = name[i];
    }
    cbs.get_object = show_get_object<LOCATE>;
    cbs.get_next_object = show_get_next_object<LOCATE>;
    cbs.find_next_object = show_find_next_object<LOCATE>;
    return cbs;
}

constexpr std::array<const char *, PIM_SHOW_NUM_CALLPOINTS> PIM_SHOW_ORDER = {
    "pim-statistics",         "pim-interface",          "pim-neighbor",         "pim-rp-mapping",
    "multicast-rpf",          "multicast-rpf-nexthops", "multicast-replicator", "multicast-topo",
    "multicast-topology-oil", "multicast-tunnel",
};

} // namespace

char *zul_util_get_time_ddhhmmss(uint64_t seconds, char *buf, size_t size)
{
    uint64_t years = seconds / SECONDS_PER_YEAR;
    uint64_t rest = seconds % SECONDS_PER_YEAR;
    int days = static_cast<int>(rest / 86400);
    int hours = static_cast<int>(rest % 86400 / 3600);
    int minutes = static_cast<int>(rest % 3600 / 60);
    int secs = static_cast<int>(rest % 60);
    if (years > 0) {
        snprintf(buf, size, "%dy %d:%02d:%02d:%02d", static_cast<int>(years), days, hours, minutes,
                 secs);
    } else {
        snprintf(buf, size, "%d:%02d:%02d:%02d", days, hours, minutes, secs);
    }
    return buf;
}

char *zul_util_get_time(time_t since, char *buf, size_t size)
{
    time_t now = time(nullptr);
    return zul_util_get_time_ddhhmmss(now > since ? static_cast<uint64_t>(now - since) : 0, buf,
                                      size);
}

const std::array<t_zconfd_data_cbs, PIM_SHOW_NUM_CALLPOINTS> kemd_callpoint = {
    show_cbs<pim_show_stats_locate>("pim-statistics"),
    show_cbs<pim_show_if_locate>("pim-interface"),
    show_cbs<pim_show_nbr_locate>("pim-neighbor"),
    show_cbs<pim_show_rp_map_locate>("pim-rp-mapping"),
    show_cbs<pim_show_rpf_locate>("multicast-rpf"),
    show_cbs<pim_show_rpf_nh_locate>("multicast-rpf-nexthops"),
    show_cbs<pim_show_no_rows>("multicast-replicator"),
    show_cbs<pim_show_topo_locate>("multicast-topo"),
    show_cbs<pim_show_topo_oil_locate>("multicast-topology-oil"),
    show_cbs<pim_show_no_rows>("multicast-tunnel"),
};

int pim_show_init(t_zconfd_context *ctxt_p)
{
    for (size_t i = 0; i < kemd_callpoint.size(); i++) {
        ZUL_ASSERT(strcmp(kemd_callpoint[i].callpoint, PIM_SHOW_ORDER[i]) == 0);
        if (zconfd_register_data_cb(ctxt_p, &kemd_callpoint[i]) != 0) {
            PIM_LOG("Failed to register callpoint %s", kemd_callpoint[i].callpoint);
        }
    }
    return 0;
}
