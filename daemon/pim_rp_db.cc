#include "daemon/pim_rp_db.h"

#include <cstddef>
#include <cstdio>

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_vpn.h"

namespace
{

t_pim_rp_db_entry rp_db_key(e_pim_rp_type type, const t_ipprefix *prefix)
{
    t_pim_rp_db_entry key{};
    key.type = type;
    IPPREFIX_COPY(&key.grp_prefix, prefix);
    return key;
}

const char *rp_db_type_str(e_pim_rp_type type)
{
    switch (type) {
    case PIM_RP_TYPE_AUTO_RP:
        return "Auto-RP";
    case PIM_RP_TYPE_STATIC:
        return "Static";
    }
    return "Invalid";
}

// Deletes the entries of one type; the walk resumes after each deleted key.
template <typename F> void rp_db_delete_if(t_pim_vpn *vpn_p, F doomed)
{
    auto *entry_p = avl_first<t_pim_rp_db_entry>(&vpn_p->rp_db);
    while (entry_p != nullptr) {
        if (!doomed(entry_p)) {
            entry_p = avl_next(&vpn_p->rp_db, entry_p);
            continue;
        }
        t_pim_rp_db_entry key = rp_db_key(entry_p->type, &entry_p->grp_prefix);
        pim_rp_db_delete_entry(vpn_p, entry_p);
        entry_p = avl_find_next(&vpn_p->rp_db, &key);
    }
}

void rp_db_free_all(t_pim_vpn *vpn_p)
{
    void *cookie = nullptr;
    while (auto *entry_p =
               static_cast<t_pim_rp_db_entry *>(avl_destroy_nodes(&vpn_p->rp_db, &cookie))) {
        pim_delete(entry_p);
    }
}

} // namespace

int pim_rp_db_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_rp_db_entry *>(a);
    const auto *y = static_cast<const t_pim_rp_db_entry *>(b);
    if (int c = avl_cmp3(x->type, y->type); c != 0) {
        return c;
    }
    return IPPREFIX_CMP(&x->grp_prefix, &y->grp_prefix);
}

e_pim_status pim_rp_db_init(t_pim_vpn *vpn_p)
{
    avl_create(&vpn_p->rp_db, pim_rp_db_cmp, sizeof(t_pim_rp_db_entry),
               offsetof(t_pim_rp_db_entry, rp_node));
    pim_rp_db_static_update(vpn_p);
    return PIM_STATUS_OK;
}

void pim_rp_db_destroy(t_pim_vpn *vpn_p)
{
    // Disabling may run after a failed enable that never created the table.
    if (vpn_p->rp_db.avl_compar == nullptr) {
        return;
    }
    rp_db_free_all(vpn_p);
    avl_destroy(&vpn_p->rp_db);
    vpn_p->rp_db = avl_tree_t{};
}

void pim_rp_db_delete_all(t_pim_vpn *vpn_p)
{
    rp_db_delete_if(vpn_p,
                    [](const t_pim_rp_db_entry *e) { return e->type != PIM_RP_TYPE_STATIC; });
}

void pim_rp_db_static_update(t_pim_vpn *vpn_p)
{
    if (vpn_p->rp_db.avl_compar == nullptr) {
        return;
    }
    rp_db_delete_if(vpn_p,
                    [](const t_pim_rp_db_entry *e) { return e->type == PIM_RP_TYPE_STATIC; });
    const t_pim_vpn_config &cfg = vpn_p->config;
    if (!IPADDR_IS_V4(&cfg.rp) || IPADDR_IS_ZERO(&cfg.rp)) {
        return;
    }
    t_pim_rp_db_entry *entry_p =
        pim_rp_db_find_or_create(vpn_p, nullptr, PIM_RP_TYPE_STATIC, &cfg.rp_group, &cfg.rp);
    if (entry_p != nullptr) {
        IPADDR_COPY(&entry_p->rp_addr, &cfg.rp);
    }
}

t_pim_rp_db_entry *pim_rp_db_find(t_pim_vpn *vpn_p, e_pim_rp_type type, const t_ipprefix *prefix,
                                  avl_index_t *where)
{
    t_pim_rp_db_entry key = rp_db_key(type, prefix);
    return avl_find(&vpn_p->rp_db, &key, where);
}

t_pim_rp_db_entry *pim_rp_db_find_next(t_pim_vpn *vpn_p, e_pim_rp_type type,
                                       const t_ipprefix *prefix)
{
    t_pim_rp_db_entry key = rp_db_key(type, prefix);
    return avl_find_next(&vpn_p->rp_db, &key);
}

t_pim_rp_db_entry *pim_rp_db_find_or_create(t_pim_vpn *vpn_p, t_pim_minfo *, e_pim_rp_type type,
                                            const t_ipprefix *prefix, const t_ipaddr *rp)
{
    avl_index_t where;
    if (t_pim_rp_db_entry *entry_p = pim_rp_db_find(vpn_p, type, prefix, &where)) {
        return entry_p;
    }
    auto *entry_p = pim_new<t_pim_rp_db_entry>();
    if (entry_p == nullptr) {
        return nullptr;
    }
    entry_p->type = type;
    IPPREFIX_COPY(&entry_p->grp_prefix, prefix);
    avl_insert(&vpn_p->rp_db, entry_p, where);

    char pfx[IPADDR_STR_LEN];
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu Adding rp entry %s (RP:%s)", static_cast<unsigned long>(vpn_p->vpn_id),
                  ipprefix_print(prefix, pfx, sizeof(pfx)), ipaddr_str(rp).c);
    return entry_p;
}

void pim_rp_db_delete_entry(t_pim_vpn *vpn_p, t_pim_rp_db_entry *entry_p)
{
    if (entry_p == nullptr || !avl_is_linked(&vpn_p->rp_db, entry_p)) {
        return;
    }
    avl_remove(&vpn_p->rp_db, entry_p);
    pim_delete(entry_p);
}

void pim_rp_db_delete_minfo(t_pim_vpn *vpn_p, const t_pim_minfo *minfo_p)
{
    rp_db_delete_if(vpn_p, [minfo_p](const t_pim_rp_db_entry *e) {
        return e->type == PIM_RP_TYPE_AUTO_RP && e->minfo_p == minfo_p;
    });
}

t_pim_rp_db_entry *pim_rp_db_find_rp_for_group(t_pim_vpn *vpn_p, const t_ipaddr *group,
                                               t_ipaddr *rp_out)
{
    // Auto-RP ranges are IPv4 only: an IPv6 group has no RP.
    if (!IPADDR_IS_V4(group)) {
        return nullptr;
    }
    t_pim_rp_db_entry *best_p = nullptr;
    for (auto *entry_p = avl_first<t_pim_rp_db_entry>(&vpn_p->rp_db); entry_p != nullptr;
         entry_p = avl_next(&vpn_p->rp_db, entry_p)) {
        // Learned mappings sort first: a static range is reached only when
        // none of them matched.
        if (best_p != nullptr && entry_p->type != best_p->type) {
            break;
        }
        const t_ipprefix *pfx = &entry_p->grp_prefix;
        if (!IPPREFIX_IS_V4(pfx)) {
            continue;
        }
        uint32_t mask = IPV4_PREFIXLEN_TO_VAL(pfx->prefixlen);
        if ((group->u.addr4 & mask) != (pfx->addr.u.addr4 & mask)) {
            continue;
        }
        // Strictly longer only: among equal lengths the lower range stays.
        if (best_p == nullptr || pfx->prefixlen > best_p->grp_prefix.prefixlen) {
            best_p = entry_p;
        }
    }
    if (best_p != nullptr && rp_out != nullptr) {
        IPADDR_COPY(rp_out, &best_p->rp_addr);
    }
    return best_p;
}

void pim_rp_db_mark_stale(t_pim_vpn *vpn_p)
{
    for (auto *entry_p = avl_first<t_pim_rp_db_entry>(&vpn_p->rp_db); entry_p != nullptr;
         entry_p = avl_next(&vpn_p->rp_db, entry_p)) {
        entry_p->stale = entry_p->type == PIM_RP_TYPE_AUTO_RP;
    }
}

void pim_rp_db_apply_mapping(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_ipprefix *range,
                             const t_ipaddr *rp)
{
    if (!IPPREFIX_IS_V4(range) || !ipaddr_is_multicast(&range->addr) || !ipprefix_is_valid(range)) {
        return;
    }
    t_pim_rp_db_entry *entry_p =
        pim_rp_db_find_or_create(vpn_p, minfo_p, PIM_RP_TYPE_AUTO_RP, range, rp);
    if (entry_p == nullptr) {
        return;
    }
    entry_p->stale = false;
    IPADDR_COPY(&entry_p->rp_addr, rp);
    entry_p->minfo_p = minfo_p;
}

void pim_rp_db_delete_stale(t_pim_vpn *vpn_p)
{
    rp_db_delete_if(vpn_p, [](const t_pim_rp_db_entry *e) { return e->stale; });
}

void pim_rp_db_dump(t_pim_daemon *daemon_p, void *user_p, t_pim_dump_out out)
{
    char line[512];
    out(user_p, "PIM RP Database");
    for (auto *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db); vpn_p != nullptr;
         vpn_p = avl_next(&daemon_p->vpn_db, vpn_p)) {
        if (vpn_p->rp_db.avl_compar == nullptr) {
            continue;
        }
        snprintf(line, sizeof(line), "\nVPN: %lu (RP db ptr: %p)",
                 static_cast<unsigned long>(vpn_p->vpn_id), static_cast<void *>(&vpn_p->rp_db));
        out(user_p, line);
        for (auto *entry_p = avl_first<t_pim_rp_db_entry>(&vpn_p->rp_db); entry_p != nullptr;
             entry_p = avl_next(&vpn_p->rp_db, entry_p)) {
            char pfx[IPADDR_STR_LEN];
            snprintf(line, sizeof(line),
                     "\n   Group: %s, RP: %s Type: %s\n         minfo: %p, Stale: %s",
                     ipprefix_print(&entry_p->grp_prefix, pfx, sizeof(pfx)),
                     ipaddr_str(&entry_p->rp_addr).c, rp_db_type_str(entry_p->type),
                     static_cast<void *>(entry_p->minfo_p), entry_p->stale ? "Yes" : "No");
            out(user_p, line);
        }
    }
}
