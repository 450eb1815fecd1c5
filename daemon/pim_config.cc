#include "daemon/pim_config.h"

#include <set>
#include <string>
#include <utility>

#include "daemon/pim_auto_rp.h"
#include "daemon/pim_chassis.h"
#include "daemon/pim_confd.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr uint32_t TAG_SYSTEM_IP = zconfd_tag("system-ip");
constexpr uint32_t TAG_VRF_ID = zconfd_tag("vrf-id");
constexpr uint32_t TAG_PIM = zconfd_tag("pim");
constexpr uint32_t TAG_SHUTDOWN = zconfd_tag("shutdown");
constexpr uint32_t TAG_AUTO_RP = zconfd_tag("auto-rp");
constexpr uint32_t TAG_SPT_THRESHOLD = zconfd_tag("spt-threshold");
constexpr uint32_t TAG_STATIC_RP = zconfd_tag("static-rp");
constexpr uint32_t TAG_STATIC_RP_ADDRESS = zconfd_tag("rp-address");
constexpr uint32_t TAG_STATIC_RP_GROUP = zconfd_tag("group-range");
constexpr uint32_t TAG_REPLICATOR = zconfd_tag("replicator");
constexpr uint32_t TAG_REPL_LOCAL = zconfd_tag("replicator-local");
constexpr uint32_t TAG_REPL_THRESHOLD = zconfd_tag("replicator-threshold");
constexpr uint32_t TAG_REPL_SELECTION = zconfd_tag("replicator-selection");
constexpr uint32_t TAG_IP = zconfd_tag("ip");
constexpr uint32_t TAG_IPV6 = zconfd_tag("ipv6");
constexpr uint32_t TAG_ADDRESS = zconfd_tag("address");
constexpr uint32_t TAG_JP_INTERVAL = zconfd_tag("join-prune-interval");
constexpr uint32_t TAG_DR_PRIORITY = zconfd_tag("dr-priority");
constexpr uint32_t TAG_HELLO_INTERVAL = zconfd_tag("hello-interval");
constexpr uint32_t TAG_MAX_NEIGHBORS = zconfd_tag("max-neighbors");

// Enumeration value of replicator-selection that asks for random selection.
constexpr int64_t PIM_CONFIG_SELECT_RANDOM = 0;

// An interface the VPN's namespace does not hold yet is configured all the
// same: the route table manager's report of it brings the configuration in.
bool pim_config_chassis_present(uint64_t, const char *kernel_name)
{
    return pim_chassis_if_present(kernel_name);
}

f_pim_config_if_present g_if_present = pim_config_chassis_present;

using t_pim_config_seen = std::set<std::pair<uint64_t, std::string>>;

// What the running initial read brought (nothing outside of one).
t_pim_zconfd_ctx *pim_config_resyncing(t_pim_daemon *daemon_p)
{
    t_pim_zconfd_ctx *ctx_p = daemon_p->pim_zconfd_ctx_p;
    return ctx_p != nullptr && ctx_p->resyncing ? ctx_p : nullptr;
}

void pim_config_resync_seen(t_pim_daemon *daemon_p, t_pim_config_seen t_pim_zconfd_ctx::*seen,
                            uint64_t vpn_id, const char *name)
{
    if (t_pim_zconfd_ctx *ctx_p = pim_config_resyncing(daemon_p)) {
        (ctx_p->*seen).emplace(vpn_id, name);
    }
}

// The local interfaces of a VPN that the initial read did not bring lose
// their configuration (PIM settings, then the interface itself).
void pim_config_resync_vpn(t_pim_zconfd_ctx *ctx_p, t_pim_vpn *vpn_p)
{
    for (avl_tree_t *tree : {&vpn_p->pim_if_db, &vpn_p->if_db}) {
        bool pim = tree == &vpn_p->pim_if_db;
        t_pim_if *next_p = nullptr;
        for (auto *if_p = avl_first<t_pim_if>(tree); if_p != nullptr; if_p = next_p) {
            next_p = avl_next(tree, if_p);
            std::pair<uint64_t, std::string> key{vpn_p->vpn_id, if_p->if_name};
            if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
                continue;
            }
            if (pim && ctx_p->seen_pim_ifs.count(key) == 0) {
                pim_if_config_update(vpn_p->daemon_p, vpn_p, if_p, false);
            } else if (!pim && if_p->config_exist && ctx_p->seen_ifs.count(key) == 0) {
                pim_if_find_and_delete(vpn_p, key.second.c_str(), PIM_IF_TYPE_LOCAL, true, false);
            }
        }
    }
}

t_pim_daemon *pim_config_daemon(const t_zconfd_sub_entry *sub_p)
{
    if (sub_p == nullptr || sub_p->ctxt_p == nullptr) {
        return nullptr;
    }
    return static_cast<t_pim_daemon *>(zconfd_get_opaque(sub_p->ctxt_p));
}

// The transport VPN and the reserved one are configured elsewhere.
bool pim_config_vpn_ignored(uint64_t vpn_id)
{
    return vpn_id == PIM_VPN_ID_TRANSPORT || vpn_id == PIM_VPN_ID_RESERVED;
}

bool pim_config_vpn_key(t_zconfd_sub_entry *sub_p, int num_keys, const t_zconfd_value *key_p,
                        uint64_t *vpn_id)
{
    if (num_keys < 1 || key_p == nullptr || key_p[0].type != ZCONFD_VT_UINT64) {
        PIM_LOG("VPN key missing or not a uint64");
        zconfd_config_seterr(sub_p, "vpn key missing or not a number");
        return false;
    }
    *vpn_id = key_p[0].v.u64;
    return true;
}

bool pim_config_bool(const t_zconfd_value &v, bool absent)
{
    if (v.type == ZCONFD_VT_NOEXISTS) {
        return absent;
    }
    return v.type == ZCONFD_VT_BOOL ? v.v.b : zconfd_val_to_u64(&v) != 0;
}

uint64_t pim_config_uint(const t_zconfd_value &v, uint64_t absent)
{
    return v.type == ZCONFD_VT_NOEXISTS ? absent : zconfd_val_to_u64(&v);
}

// The configured VRF id is taken before the VPN record is looked up, because
// creating the record finds the VPN's loopback interface by it.
void pim_config_vrf_id(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, uint64_t vpn_id, int num_values,
                       const t_zconfd_value *val_p)
{
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        if (v.tag != TAG_VRF_ID) {
            continue;
        }
        int16_t before = 0;
        (void)pim_confd_get_vrf_id(vpn_id, &before);
        auto raw = static_cast<int64_t>(v.type != ZCONFD_VT_NOEXISTS ? zconfd_val_to_u64(&v) : 0);
        bool has_vrf = v.type != ZCONFD_VT_NOEXISTS && raw >= 0 && raw <= INT16_MAX;
        pim_confd_set_vrf_id(daemon_p, vpn_id, has_vrf, static_cast<int16_t>(has_vrf ? raw : 0));
        int16_t after = 0;
        (void)pim_confd_get_vrf_id(vpn_id, &after);
        if (vpn_p != nullptr && before != after) {
            (void)pim_vpn_get_tunnel_if(vpn_p);
        }
    }
}

// Everything of the pim container goes back to its absent state with it.
void pim_config_vpn_pim_absent(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, bool *spt_changed)
{
    if (vpn_p->pim_enabled) {
        (void)pim_vpn_pim_delete(daemon_p, vpn_p);
    } else {
        // Shut before: PIM is down, but its interface settings go too.
        (void)pim_if_disable_pim(vpn_p);
    }
    t_pim_vpn_config &cfg = vpn_p->config;
    cfg.shutdown = false;
    cfg.auto_rp = false;
    cfg.replicator.replicator = false;
    cfg.replicator.threshold = 0;
    pim_vpn_config_update_repl_selection(daemon_p, vpn_p, E_PIM_REPL_SELECT_STICKY);
    if (cfg.spt_threshold != PIM_SPT_THRESHOLD_INFINITY) {
        cfg.spt_threshold = PIM_SPT_THRESHOLD_INFINITY;
        *spt_changed = true;
    }
}

// The groups a static RP serves when its range is not configured.
t_ipprefix pim_config_default_rp_group()
{
    t_ipprefix p{};
    (void)zconfd_ip_prefix_str_to_t_ipprefix("224.0.0.0/4", &p);
    return p;
}

bool pim_config_addr(const t_zconfd_value &v, t_ipaddr *addr)
{
    if (v.type == ZCONFD_VT_IPV4 || v.type == ZCONFD_VT_IPV6) {
        IPADDR_COPY(addr, &v.v.addr);
        return true;
    }
    return (v.type == ZCONFD_VT_STR || v.type == ZCONFD_VT_BUF) && v.str_p != nullptr &&
           str_to_ip(v.str_p, addr) == 1;
}

// A static RP must be a unicast IPv4 address and its range an IPv4 multicast
// range; a delivery carrying anything else is refused before it is applied.
bool pim_config_static_rp_check(t_zconfd_sub_entry *sub_p, uint64_t vpn_id, int num_values,
                                const t_zconfd_value *val_p)
{
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        if (v.type == ZCONFD_VT_NOEXISTS) {
            continue;
        }
        char text[128];
        if (v.tag == TAG_STATIC_RP_ADDRESS) {
            t_ipaddr rp{};
            if (!pim_config_addr(v, &rp) || !IPADDR_IS_V4(&rp) || !ipaddr_is_unicast(&rp)) {
                PIM_LOG("Bad static RP for vpn: %lu", static_cast<unsigned long>(vpn_id));
                zconfd_config_seterr(sub_p, "vpn %lu static-rp: '%s' is not a unicast IPv4 address",
                                     static_cast<unsigned long>(vpn_id),
                                     zconfd_val_print(&v, text, sizeof(text)));
                return false;
            }
        } else if (v.tag == TAG_STATIC_RP_GROUP) {
            t_ipprefix p{};
            if (zconfd_val_to_ipprefix(&v, &p) != 0 || !IPPREFIX_IS_V4(&p) ||
                !ipprefix_is_valid(&p) || p.prefixlen < 4 || !ipaddr_is_multicast(&p.addr)) {
                PIM_LOG("Bad static RP group range for vpn: %lu",
                        static_cast<unsigned long>(vpn_id));
                zconfd_config_seterr(
                    sub_p, "vpn %lu static-rp: '%s' is not an IPv4 multicast range",
                    static_cast<unsigned long>(vpn_id), zconfd_val_print(&v, text, sizeof(text)));
                return false;
            }
        }
    }
    return true;
}

// Walk state of one VPN delivery.
struct t_pim_config_vpn_walk {
    t_pim_daemon *daemon_p;
    t_pim_vpn *vpn_p;
    unsigned long id;
    bool inside_pim;
    bool announce;
    bool spt_changed;
    // The static RP as the delivery leaves it: a change brings only the
    // leaves that changed.
    bool rp_changed;
    t_ipaddr rp;
    t_ipprefix rp_group;
};

void pim_config_static_rp_clear(t_pim_config_vpn_walk &w)
{
    w.rp_changed = true;
    w.rp = t_ipaddr{};
    w.rp_group = pim_config_default_rp_group();
}

void pim_config_vpn_value(t_pim_config_vpn_walk &w, const t_zconfd_value &v)
{
    t_pim_vpn *vpn_p = w.vpn_p;
    t_pim_vpn_config &cfg = vpn_p->config;
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    const t_ipaddr *system_ip = &w.daemon_p->system_ip;

    if (v.tag == TAG_PIM) {
        if (v.type == ZCONFD_VT_XMLBEGIN) {
            w.inside_pim = true;
            w.announce = true;
            // A delivery that only touches other PIM settings of a shut VPN
            // opens the container too; it must not bring PIM back.
            if (!vpn_p->pim_enabled && !cfg.shutdown) {
                (void)pim_vpn_pim_enable(vpn_p);
            }
        } else if (v.type == ZCONFD_VT_XMLEND) {
            w.inside_pim = false;
        } else if (v.type == ZCONFD_VT_NOEXISTS) {
            w.inside_pim = false;
            w.announce = true;
            pim_config_vpn_pim_absent(w.daemon_p, vpn_p, &w.spt_changed);
            pim_config_static_rp_clear(w);
        }
    } else if (v.tag == TAG_SHUTDOWN) {
        if (!w.inside_pim) {
            return;
        }
        cfg.shutdown = pim_config_bool(v, false);
        if (cfg.shutdown) {
            PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu vpn: %lu shutdown", 0UL, w.id);
            if (vpn_p->pim_enabled) {
                (void)pim_vpn_pim_disable(vpn_p);
            }
        } else {
            PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu vpn: %lu no shutdown", 0UL, w.id);
            if (!vpn_p->pim_enabled) {
                (void)pim_vpn_pim_enable(vpn_p);
            }
        }
    } else if (v.tag == TAG_AUTO_RP) {
        if (!w.inside_pim) {
            return;
        }
        cfg.auto_rp = pim_config_bool(v, false);
        if (cfg.auto_rp) {
            (void)pim_auto_rp_enable(vpn_p, true);
        } else {
            pim_auto_rp_disable(vpn_p, true);
        }
    } else if (v.tag == TAG_STATIC_RP) {
        if (w.inside_pim && v.type == ZCONFD_VT_NOEXISTS) {
            pim_config_static_rp_clear(w);
        }
    } else if (v.tag == TAG_STATIC_RP_ADDRESS) {
        if (w.inside_pim) {
            w.rp_changed = true;
            w.rp = t_ipaddr{};
            (void)pim_config_addr(v, &w.rp);
        }
    } else if (v.tag == TAG_STATIC_RP_GROUP) {
        if (w.inside_pim) {
            w.rp_changed = true;
            if (v.type == ZCONFD_VT_NOEXISTS || zconfd_val_to_ipprefix(&v, &w.rp_group) != 0) {
                w.rp_group = pim_config_default_rp_group();
            }
        }
    } else if (v.tag == TAG_REPLICATOR) {
        if (v.type != ZCONFD_VT_NOEXISTS) {
            return;
        }
        w.announce = true;
        cfg.replicator.replicator = false;
        cfg.replicator.threshold = 0;
        pim_vpn_config_update_repl_selection(w.daemon_p, vpn_p, E_PIM_REPL_SELECT_STICKY);
        if (vpn_p->pim_enabled) {
            (void)pim_repl_delete(vpn_p, system_ip, true);
        }
    } else if (v.tag == TAG_REPL_LOCAL) {
        w.announce = true;
        cfg.replicator.replicator = pim_config_bool(v, false);
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu vpn: %lu, replicator local: %s", 0UL,
                      w.id, cfg.replicator.replicator ? "True" : "False");
        if (vpn_p->pim_enabled) {
            if (cfg.replicator.replicator) {
                (void)pim_repl_db_update(vpn_p, system_ip, 0, 0, true);
            } else {
                (void)pim_repl_delete(vpn_p, system_ip, true);
            }
        }
    } else if (v.tag == TAG_REPL_THRESHOLD) {
        w.announce = true;
        cfg.replicator.threshold = static_cast<uint32_t>(pim_config_uint(v, 0));
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu vpn: %lu, replicator threshold: %u",
                      0UL, w.id, cfg.replicator.threshold);
    } else if (v.tag == TAG_REPL_SELECTION) {
        bool random = v.type != ZCONFD_VT_NOEXISTS &&
                      static_cast<int64_t>(zconfd_val_to_u64(&v)) == PIM_CONFIG_SELECT_RANDOM;
        pim_vpn_config_update_repl_selection(
            w.daemon_p, vpn_p, random ? E_PIM_REPL_SELECT_RANDOM : E_PIM_REPL_SELECT_STICKY);
    } else if (v.tag == TAG_SPT_THRESHOLD) {
        w.spt_changed = true;
        cfg.spt_threshold = static_cast<uint16_t>(pim_config_uint(v, PIM_SPT_THRESHOLD_INFINITY));
    }
}

bool pim_config_has(int num_values, const t_zconfd_value *val_p, uint32_t tag)
{
    for (int i = 0; i < num_values; i++) {
        if (val_p[i].tag == tag && val_p[i].type != ZCONFD_VT_NOEXISTS) {
            return true;
        }
    }
    return false;
}

// The PIM settings a creation of an existing VPN did not carry are absent.
void pim_config_vpn_refresh(t_pim_config_vpn_walk &w, int num_values, const t_zconfd_value *val_p)
{
    if (!pim_config_has(num_values, val_p, TAG_PIM)) {
        pim_config_vpn_value(w, zconfd_val_noexists(TAG_PIM));
        return;
    }
    w.inside_pim = true;
    for (uint32_t tag : {TAG_SPT_THRESHOLD, TAG_REPL_LOCAL, TAG_REPL_THRESHOLD, TAG_REPL_SELECTION,
                         TAG_STATIC_RP}) {
        if (!pim_config_has(num_values, val_p, tag)) {
            pim_config_vpn_value(w, zconfd_val_noexists(tag));
        }
    }
    w.inside_pim = false;
}

// The interface keys: VPN id and user name, the latter turned into the kernel
// name. False when the keys are malformed.
bool pim_config_if_keys(t_zconfd_sub_entry *sub_p, int num_keys, const t_zconfd_value *key_p,
                        uint64_t *vpn_id, char *name, size_t size)
{
    if (!pim_config_vpn_key(sub_p, num_keys, key_p, vpn_id)) {
        return false;
    }
    if (num_keys < 2 || (key_p[1].type != ZCONFD_VT_BUF && key_p[1].type != ZCONFD_VT_STR) ||
        key_p[1].str_p == nullptr) {
        PIM_LOG("Interface key missing or not a name");
        zconfd_config_seterr(sub_p, "vpn %lu: interface key missing or not a name",
                             static_cast<unsigned long>(*vpn_id));
        return false;
    }
    const char *user = key_p[1].str_p;
    name[0] = '\0';
    if (user[0] != '\0' && !pim_chassis_kernel_name(user, name, size)) {
        name[0] = '\0';
    }
    return true;
}

// What the interface keypaths share before they touch the interface: the
// VPN, and whether the platform has the interface. Returns the VPN, or
// nullptr with *result set when the delivery ends here.
t_pim_vpn *pim_config_if_vpn(t_zconfd_sub_entry *sub_p, t_pim_daemon *daemon_p, const char *handler,
                             uint64_t vpn_id, const char *name, int oper, int num_values,
                             int *result)
{
    *result = 0;
    if (vpn_id == 0 || pim_config_vpn_ignored(vpn_id)) {
        return nullptr;
    }
    unsigned long id = vpn_id;
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("Could not find vpn: %lu", id);
        zconfd_config_seterr(sub_p, "vpn %lu interface %s: no such vpn", id, name);
        *result = 1;
        return nullptr;
    }
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu %s vpn:%lu, if:%s, oper:%d, num_values:%u",
                  0UL, handler, id, name, oper, static_cast<unsigned>(num_values));
    if (name[0] == '\0' || !g_if_present(vpn_id, name)) {
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu vpn:%lu, if:%s absent -- ignore", 0UL,
                      id, name);
        return nullptr;
    }
    return vpn_p;
}

// The prefix of an address value of the ip (IPv4) or ipv6 container; false,
// with the reason given to the agent, for text that is no prefix of that family.
bool pim_config_if_prefix(t_zconfd_sub_entry *sub_p, uint64_t vpn_id, const char *name,
                          const t_zconfd_value &v, e_ipaddr_type family, t_ipprefix *prefix_p)
{
    *prefix_p = t_ipprefix{};
    if (v.type == ZCONFD_VT_NOEXISTS) {
        IPPREFIX_INIT(prefix_p, family);
        return true;
    }
    if (zconfd_val_to_ipprefix(&v, prefix_p) == 0 && ipprefix_is_valid(prefix_p) &&
        prefix_p->addr.addr_type == family) {
        return true;
    }
    char text[128];
    bool v6 = family == IP_ADDR_V6;
    PIM_LOG("Bad address for interface %s", name);
    zconfd_config_seterr(sub_p, "vpn %lu interface %s: %s address '%s' is not a valid %s prefix",
                         static_cast<unsigned long>(vpn_id), name, v6 ? "ipv6" : "ip",
                         zconfd_val_print(&v, text, sizeof(text)), v6 ? "IPv6" : "IPv4");
    return false;
}

// Every address of an interface delivery, checked before anything is applied.
bool pim_config_if_check(t_zconfd_sub_entry *sub_p, uint64_t vpn_id, const char *name,
                         int num_values, const t_zconfd_value *val_p)
{
    e_ipaddr_type family = IP_ADDR_V4;
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        t_ipprefix prefix;
        if ((v.tag == TAG_IP || v.tag == TAG_IPV6) && v.type == ZCONFD_VT_XMLBEGIN) {
            family = v.tag == TAG_IP ? IP_ADDR_V4 : IP_ADDR_V6;
        } else if ((v.tag == TAG_IP || v.tag == TAG_IPV6) && v.type == ZCONFD_VT_XMLEND) {
            family = IP_ADDR_V4;
        } else if (v.tag == TAG_ADDRESS &&
                   !pim_config_if_prefix(sub_p, vpn_id, name, v, family, &prefix)) {
            return false;
        }
    }
    return true;
}

void pim_config_if_address(t_pim_if *if_p, const t_ipprefix &prefix)
{
    // Only a new primary IPv4 address restarts PIM on the interface; a shut
    // interface stays shut and takes the new address when unshut.
    if (IPPREFIX_IS_V4(&prefix) && IPPREFIX_CMP(&if_p->if_addr, &prefix) != 0) {
        IPPREFIX_COPY(&if_p->if_addr, &prefix);
        if (if_p->admin_state == PIM_IF_STATE_UP) {
            pim_if_admin_reset(if_p);
        }
    }
}

} // namespace

void pim_config_set_if_present(f_pim_config_if_present present_fn)
{
    g_if_present = present_fn != nullptr ? present_fn : pim_config_chassis_present;
}

int pim_config_system(t_zconfd_sub_entry *sub_p, int, int, const t_zconfd_value *, int num_values,
                      const t_zconfd_value *val_p)
{
    t_pim_daemon *daemon_p = pim_config_daemon(sub_p);
    if (daemon_p == nullptr) {
        return 1;
    }
    if (t_pim_zconfd_ctx *ctx_p = pim_config_resyncing(daemon_p)) {
        ctx_p->seen_system = true;
    }
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        if (v.tag != TAG_SYSTEM_IP) {
            continue;
        }
        // The address is read where it is used (the local replicator).
        if (v.type == ZCONFD_VT_IPV4 || v.type == ZCONFD_VT_IPV6) {
            IPADDR_COPY(&daemon_p->system_ip, &v.v.addr);
        } else {
            IPADDR_INIT(&daemon_p->system_ip, IP_ADDR_V4);
        }
    }
    return 0;
}

int pim_config_vpn(t_zconfd_sub_entry *sub_p, int oper, int num_keys, const t_zconfd_value *key_p,
                   int num_values, const t_zconfd_value *val_p)
{
    t_pim_daemon *daemon_p = pim_config_daemon(sub_p);
    uint64_t vpn_id = 0;
    if (daemon_p == nullptr || !pim_config_vpn_key(sub_p, num_keys, key_p, &vpn_id)) {
        return 1;
    }
    unsigned long id = vpn_id;
    PIM_LOG("vpn: %lu config_vpn: VPN:%lu,  oper:%d, num_values:%u", 0UL, id, oper,
            static_cast<unsigned>(num_values));
    if (pim_config_vpn_ignored(vpn_id)) {
        return 0;
    }
    if (oper == ZCONFD_MOP_DELETED) {
        pim_vpn_find_and_delete(daemon_p, vpn_id);
        pim_confd_set_vrf_id(daemon_p, vpn_id, false, 0);
        return 0;
    }
    if (!pim_config_static_rp_check(sub_p, vpn_id, num_values, val_p)) {
        return 1;
    }

    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, nullptr);
    // A creation carries the whole VPN: for a VPN kept from before a
    // reconnection, what it lacks goes back to its absent state.
    bool refresh = oper == ZCONFD_MOP_CREATED && vpn_p != nullptr;
    if (refresh && !pim_config_has(num_values, val_p, TAG_VRF_ID)) {
        t_zconfd_value none = zconfd_val_noexists(TAG_VRF_ID);
        pim_config_vrf_id(daemon_p, vpn_p, vpn_id, 1, &none);
    }
    pim_config_vrf_id(daemon_p, vpn_p, vpn_id, num_values, val_p);
    if (t_pim_zconfd_ctx *ctx_p = pim_config_resyncing(daemon_p)) {
        ctx_p->seen_vpns.insert(vpn_id);
    }
    if (oper == ZCONFD_MOP_CREATED) {
        vpn_p = pim_vpn_find_or_create(daemon_p, vpn_id);
        if (vpn_p == nullptr) {
            PIM_LOG("Failed to create vpn: %lu", id);
            return 0;
        }
    } else if (vpn_p == nullptr) {
        PIM_LOG("Could not find vpn: %lu", id);
        return 0;
    }

    const t_pim_vpn_config &cfg = vpn_p->config;
    bool has_rp = !IPADDR_IS_ZERO(&cfg.rp);
    t_pim_config_vpn_walk walk{
        .daemon_p = daemon_p,
        .vpn_p = vpn_p,
        .id = id,
        .inside_pim = false,
        .announce = false,
        .spt_changed = false,
        .rp_changed = false,
        .rp = cfg.rp,
        .rp_group = has_rp ? cfg.rp_group : pim_config_default_rp_group(),
    };
    for (int i = 0; i < num_values; i++) {
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu config_vpn cur: %d XML = %u, type: %d ", 0UL, i, val_p[i].tag,
                      val_p[i].type);
        pim_config_vpn_value(walk, val_p[i]);
    }
    if (refresh) {
        pim_config_vpn_refresh(walk, num_values, val_p);
    }
    if (walk.spt_changed) {
        pim_vpn_config_update_spt_threshold(vpn_p);
    }
    if (walk.rp_changed) {
        bool none = !IPADDR_IS_V4(&walk.rp) || IPADDR_IS_ZERO(&walk.rp);
        pim_vpn_config_update_rp(daemon_p, vpn_p, none ? nullptr : &walk.rp, &walk.rp_group);
    }
    if (walk.announce) {
        pim_fab_encode_ad(vpn_p, true);
    }
    return 0;
}

int pim_config_vpn_if(t_zconfd_sub_entry *sub_p, int oper, int num_keys,
                      const t_zconfd_value *key_p, int num_values, const t_zconfd_value *val_p)
{
    t_pim_daemon *daemon_p = pim_config_daemon(sub_p);
    uint64_t vpn_id = 0;
    char name[PIM_IF_NAME_LEN];
    if (daemon_p == nullptr ||
        !pim_config_if_keys(sub_p, num_keys, key_p, &vpn_id, name, sizeof(name))) {
        return 1;
    }
    int result = 0;
    t_pim_vpn *vpn_p = pim_config_if_vpn(sub_p, daemon_p, "config_vpn_if:", vpn_id, name, oper,
                                         num_values, &result);
    if (vpn_p == nullptr) {
        return result;
    }
    unsigned long id = vpn_id;
    if (oper == ZCONFD_MOP_DELETED) {
        pim_if_find_and_delete(vpn_p, name, PIM_IF_TYPE_LOCAL, true, false);
        return 0;
    }
    // A refused change applies nothing: its values are checked first.
    if (!pim_config_if_check(sub_p, vpn_id, name, num_values, val_p)) {
        return 1;
    }
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    // A creation carries the whole interface: for one kept from before a
    // reconnection, an address it lacks is none.
    bool refresh = oper == ZCONFD_MOP_CREATED && if_p != nullptr && if_p->config_exist;
    if (oper == ZCONFD_MOP_CREATED) {
        if_p = pim_if_find_or_create(vpn_p, name, PIM_IF_TYPE_LOCAL, 0, true, false);
        if (if_p == nullptr) {
            PIM_LOG("Failed to create interface - vpn: %lu, if: %s", id, name);
            zconfd_config_seterr(sub_p, "vpn %lu interface %s: out of memory", id, name);
            return 1;
        }
    } else if (if_p == nullptr) {
        PIM_LOG("Failed to find interface - vpn: %lu, if: %s", id, name);
        zconfd_config_seterr(sub_p, "vpn %lu interface %s: no such interface", id, name);
        return 1;
    }
    pim_config_resync_seen(daemon_p, &t_pim_zconfd_ctx::seen_ifs, vpn_id, name);

    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    e_ipaddr_type family = IP_ADDR_V4;
    bool has_v4_address = false;
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu config_vpn_if cur: %d XML = %u, type: %d ", 0UL, i, v.tag, v.type);
        if (v.tag == TAG_IP || v.tag == TAG_IPV6) {
            if (v.type == ZCONFD_VT_XMLBEGIN) {
                family = v.tag == TAG_IP ? IP_ADDR_V4 : IP_ADDR_V6;
            } else if (v.type == ZCONFD_VT_XMLEND) {
                family = IP_ADDR_V4;
            }
        } else if (v.tag == TAG_ADDRESS) {
            t_ipprefix prefix;
            (void)pim_config_if_prefix(sub_p, vpn_id, name, v, family, &prefix);
            pim_config_if_address(if_p, prefix);
            has_v4_address = has_v4_address || family == IP_ADDR_V4;
        } else if (v.tag == TAG_SHUTDOWN) {
            bool down = pim_config_bool(v, false);
            PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu vpn: %lu, if: %s, %sshut", 0UL, id,
                          name, down ? "" : "no ");
            pim_if_admin_state(if_p, down);
        }
    }
    if (refresh && !has_v4_address) {
        t_ipprefix none{};
        IPPREFIX_INIT(&none, IP_ADDR_V4);
        pim_config_if_address(if_p, none);
    }
    return 0;
}

int pim_config_vpn_pim_if(t_zconfd_sub_entry *sub_p, int oper, int num_keys,
                          const t_zconfd_value *key_p, int num_values, const t_zconfd_value *val_p)
{
    t_pim_daemon *daemon_p = pim_config_daemon(sub_p);
    uint64_t vpn_id = 0;
    char name[PIM_IF_NAME_LEN];
    if (daemon_p == nullptr ||
        !pim_config_if_keys(sub_p, num_keys, key_p, &vpn_id, name, sizeof(name))) {
        return 1;
    }
    int result = 0;
    t_pim_vpn *vpn_p = pim_config_if_vpn(sub_p, daemon_p, "config_vpn_pim_if", vpn_id, name, oper,
                                         num_values, &result);
    if (vpn_p == nullptr) {
        return result;
    }
    unsigned long id = vpn_id;
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (oper == ZCONFD_MOP_DELETED) {
        if (if_p != nullptr) {
            pim_if_config_update(daemon_p, vpn_p, if_p, false);
        }
        return 0;
    }
    if (if_p == nullptr) {
        PIM_LOG("Failed to find interface - vpn: %lu, if: %s", id, name);
        zconfd_config_seterr(sub_p, "vpn %lu pim interface %s: no such interface", id, name);
        return 1;
    }
    if (oper == ZCONFD_MOP_CREATED) {
        pim_if_config_update(daemon_p, vpn_p, if_p, true);
    }
    pim_config_resync_seen(daemon_p, &t_pim_zconfd_ctx::seen_pim_ifs, vpn_id, name);

    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu config_vpn_pim_if cur: %d XML = %u, type: %d ", 0UL, i, v.tag,
                      v.type);
        // The schema gives each a default; an absent one goes back to it.
        if (v.tag == TAG_JP_INTERVAL) {
            uint64_t seconds = pim_config_uint(v, PIM_IF_DEFAULT_JOIN_MS / 1000);
            pim_if_config_update_jp_interval(daemon_p, vpn_p, if_p, static_cast<uint32_t>(seconds));
        } else if (v.tag == TAG_DR_PRIORITY) {
            uint64_t priority = pim_config_uint(v, PIM_IF_DEFAULT_DR_PRIORITY);
            pim_if_config_update_dr_priority(daemon_p, vpn_p, if_p,
                                             static_cast<uint32_t>(priority));
        } else if (v.tag == TAG_HELLO_INTERVAL) {
            uint64_t seconds = pim_config_uint(v, PIM_IF_DEFAULT_HELLO_MS / 1000);
            pim_if_config_update_hello_interval(daemon_p, vpn_p, if_p,
                                                static_cast<uint32_t>(seconds * 1000));
        } else if (v.tag == TAG_MAX_NEIGHBORS) {
            // Lowering it keeps the neighbors already known.
            if_p->config.max_nbrs =
                static_cast<uint32_t>(pim_config_uint(v, PIM_IF_DEFAULT_MAX_NBRS));
        }
    }
    return 0;
}

void pim_config_resync(t_pim_daemon *daemon_p, bool done)
{
    t_pim_zconfd_ctx *ctx_p = daemon_p != nullptr ? daemon_p->pim_zconfd_ctx_p : nullptr;
    if (ctx_p == nullptr) {
        return;
    }
    if (!done) {
        ctx_p->seen_system = false;
        ctx_p->seen_vpns.clear();
        ctx_p->seen_ifs.clear();
        ctx_p->seen_pim_ifs.clear();
        ctx_p->resyncing = true;
        return;
    }
    if (!ctx_p->resyncing) {
        return;
    }
    PIM_LOG("vpn: %lu Configuration read: dropping what it no longer holds", 0UL);
    if (!ctx_p->seen_system) {
        IPADDR_INIT(&daemon_p->system_ip, IP_ADDR_V4);
    }
    t_pim_vpn *next_p = nullptr;
    for (auto *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db); vpn_p != nullptr; vpn_p = next_p) {
        next_p = avl_next(&daemon_p->vpn_db, vpn_p);
        uint64_t id = vpn_p->vpn_id;
        if (pim_config_vpn_ignored(id)) {
            continue;
        }
        if (ctx_p->seen_vpns.count(id) == 0) {
            pim_vpn_delete(daemon_p, vpn_p);
            pim_confd_set_vrf_id(daemon_p, id, false, 0);
        } else if (id != 0) {
            pim_config_resync_vpn(ctx_p, vpn_p);
        }
    }
    ctx_p->resyncing = false;
    ctx_p->seen_vpns.clear();
    ctx_p->seen_ifs.clear();
    ctx_p->seen_pim_ifs.clear();
}
