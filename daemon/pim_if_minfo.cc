// Per-interface records of the routing entries: one per entry and interface,
// held in the interface's tree (by entry key) and in the entry's tree (by
// interface).
#include <cstddef>

#include "common/timer.h"
#include "daemon/pim_assert.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_vpn.h"

namespace
{

t_ipaddr key_addr(const t_ipaddr *addr)
{
    t_ipaddr r{};
    if (addr != nullptr && addr->addr_type != IP_ADDR_UNKNOWN) {
        IPADDR_COPY(&r, addr);
    } else {
        IPADDR_INIT(&r, IP_ADDR_V4);
    }
    return r;
}

bool if_minfo_db_ready(const t_pim_if *if_p)
{
    return if_p != nullptr && if_p->minfo_db.avl_compar != nullptr;
}

// The interface's record of the entry keyed like key (its type, group and source).
t_pim_if_minfo *find_by_key(t_pim_if *if_p, const t_pim_minfo *key, avl_index_t *where)
{
    if (!if_minfo_db_ready(if_p)) {
        return nullptr;
    }
    t_pim_if_minfo rec{};
    rec.type = key->type;
    rec.minfo_p = const_cast<t_pim_minfo *>(key);
    return avl_find(&if_p->minfo_db, &rec, where);
}

void if_minfo_free(t_pim_if_minfo *if_minfo_p)
{
    pim_if_minfo_assert_free(if_minfo_p);
    for (t_timer *timer : {if_minfo_p->jp_expiry_timer, if_minfo_p->prune_pending_timer}) {
        if (timer != nullptr) {
            timer_util_delete(timer);
        }
    }
    if_minfo_p->magic = PIM_MINFO_MAGIC_DEAD;
    pim_delete(if_minfo_p);
}

// Clears the interface's bit in one list of the entry; true when it was set.
bool list_take(t_pim_olist **list, const t_pim_if *if_p)
{
    if (!pim_minfo_ilist_test(*list, if_p->if_index)) {
        return false;
    }
    pim_minfo_ilist_clear(list, if_p->if_index);
    return true;
}

} // namespace

e_pim_status pim_if_minfo_init(t_pim_if *if_p)
{
    avl_create(&if_p->minfo_db, pim_if_minfo_cmp, sizeof(t_pim_if_minfo),
               offsetof(t_pim_if_minfo, if_tree_node));
    return PIM_STATUS_OK;
}

void pim_if_minfo_destroy(t_pim_if *if_p)
{
    if (!if_minfo_db_ready(if_p)) {
        return;
    }
    pim_minfo_cleanup_if(if_p);
    avl_destroy(&if_p->minfo_db);
    if_p->minfo_db = avl_tree_t{};
}

t_pim_if_minfo *pim_if_minfo_find(t_pim_if *if_p, e_pim_type type, const t_ipaddr *group,
                                  const t_ipaddr *source, avl_index_t *where)
{
    t_pim_minfo key{};
    key.type = type;
    key.group = key_addr(group);
    key.source = key_addr(source);
    return find_by_key(if_p, &key, where);
}

t_pim_if_minfo *pim_if_minfo_find_from_minfo(t_pim_if *if_p, const t_pim_minfo *minfo_p)
{
    return find_by_key(if_p, minfo_p, nullptr);
}

t_pim_if_minfo *pim_if_minfo_find_or_create(t_pim_if *if_p, t_pim_minfo *minfo_p)
{
    if (!if_minfo_db_ready(if_p)) {
        return nullptr;
    }
    avl_index_t where;
    if (t_pim_if_minfo *if_minfo_p = find_by_key(if_p, minfo_p, &where)) {
        return if_minfo_p;
    }
    t_pim_if_minfo *if_minfo_p = minfo_p->type == PIM_TYPE_SG_RPT ? pim_new<t_pim_if_minfo_rpt>()
                                                                  : pim_new<t_pim_if_minfo>();
    if (if_minfo_p == nullptr) {
        return nullptr;
    }
    if_minfo_p->type = minfo_p->type;
    if_minfo_p->if_p = if_p;
    if_minfo_p->minfo_p = minfo_p;
    if_minfo_p->magic = PIM_MINFO_MAGIC;
    if_minfo_p->ds_state = PIM_IF_DSTREAM_NOINFO;
    avl_insert(&if_p->minfo_db, if_minfo_p, where);
    if (avl_find(&minfo_p->if_minfo_db, if_minfo_p, nullptr) == nullptr) {
        avl_add(&minfo_p->if_minfo_db, if_minfo_p);
    }
    return if_minfo_p;
}

void pim_if_minfo_delete(t_pim_if_minfo *if_minfo_p)
{
    t_pim_if *if_p = if_minfo_p->if_p;
    t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    pim_assert_cancel(if_minfo_p);
    if (avl_is_linked(&if_p->minfo_db, if_minfo_p)) {
        avl_remove(&if_p->minfo_db, if_minfo_p);
    }
    pim_jp_tmp_sgrpt_remove(if_minfo_p);
    // An entry being deleted has already taken its records off its own tree.
    if (minfo_p != nullptr) {
        if (avl_is_linked(&minfo_p->if_minfo_db, if_minfo_p)) {
            avl_remove(&minfo_p->if_minfo_db, if_minfo_p);
        }
        pim_minfo_check_and_delete(minfo_p);
    }
    if_minfo_free(if_minfo_p);
}

void pim_if_minfo_find_and_delete(t_pim_if *if_p, e_pim_type type, const t_ipaddr *group,
                                  const t_ipaddr *source)
{
    if (t_pim_if_minfo *if_minfo_p = pim_if_minfo_find(if_p, type, group, source, nullptr)) {
        pim_if_minfo_delete(if_minfo_p);
    }
}

void pim_if_minfo_cleanup_xg(t_pim_if_minfo *if_minfo_p)
{
    t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    if (list_take(&minfo_p->joined_olist_p, if_minfo_p->if_p)) {
        pim_et_process_join_change(minfo_p, if_minfo_p);
    }
    if (list_take(&minfo_p->local_olist_p, if_minfo_p->if_p)) {
        pim_et_process_join_change(minfo_p, if_minfo_p);
    }
    pim_if_minfo_delete(if_minfo_p);
}

// The local list too: an (S,G) record on the IGMP pseudo-interface keeps its
// bit there, and a bit left behind would hold JoinDesired up for good.
void pim_if_minfo_cleanup_sg(t_pim_if_minfo *if_minfo_p) { pim_if_minfo_cleanup_xg(if_minfo_p); }

void pim_if_minfo_cleanup_sgrpt(t_pim_if_minfo *if_minfo_p)
{
    t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    if (list_take(&minfo_p->pruned_olist_p, if_minfo_p->if_p)) {
        pim_et_process_prune_change(minfo_p, if_minfo_p);
    }
    pim_if_minfo_delete(if_minfo_p);
}

void pim_minfo_cleanup_if(t_pim_if *if_p)
{
    if (!if_minfo_db_ready(if_p)) {
        return;
    }
    while (auto *if_minfo_p = avl_first<t_pim_if_minfo>(&if_p->minfo_db)) {
        switch (if_minfo_p->type) {
        case PIM_TYPE_XG:
        case PIM_TYPE_SG:
        case PIM_TYPE_SG_RPT:
            pim_et_if_minfo_cleanup(if_minfo_p);
            break;
        default:
            // Types without a cleanup of their own would otherwise stay first for ever.
            pim_if_minfo_delete(if_minfo_p);
            break;
        }
        pim_daemon_process_urgent_timers();
    }
}
