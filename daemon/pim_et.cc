// The per-type dispatch of the routing entries: each operation picks its
// function from a table indexed by the entry type; an empty slot does nothing.
#include <array>
#include <initializer_list>
#include <utility>

#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"

namespace
{

template <typename F> using t_et_table = std::array<F, PIM_TYPE_MAX>;

// A table from its filled slots; the others stay empty.
template <typename F>
constexpr t_et_table<F> slots(std::initializer_list<std::pair<e_pim_type, F>> filled)
{
    t_et_table<F> table{};
    for (const auto &[type, fn] : filled) {
        table[type] = fn;
    }
    return table;
}

using f_minfo_rec = void (*)(t_pim_minfo *, t_pim_if_minfo *);
using f_minfo = void (*)(t_pim_minfo *);
using f_minfo_bool = bool (*)(t_pim_minfo *);
using f_rec = void (*)(t_pim_if_minfo *);
using f_jp_join = int (*)(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t);
using f_jp_prune = int (*)(t_pim_if *, const t_ipaddr *, const t_ipaddr *);

constexpr auto process_join_change =
    slots<f_minfo_rec>({{PIM_TYPE_XXG, pim_minfo_process_join_change_xxrp},
                        {PIM_TYPE_XG, pim_minfo_process_join_change_xg},
                        {PIM_TYPE_SG, pim_minfo_process_join_change_sg}});
constexpr auto process_prune_change =
    slots<f_minfo_rec>({{PIM_TYPE_SG_RPT, pim_minfo_process_prune_change_sg_rpt}});
constexpr auto compute_join_desired =
    slots<f_minfo_bool>({{PIM_TYPE_XG, pim_minfo_compute_join_desired_xg},
                         {PIM_TYPE_SG, pim_minfo_compute_join_desired_sg},
                         {PIM_TYPE_SG_RPT, pim_minfo_compute_join_desired_sgrpt}});
constexpr auto join_desired_enable =
    slots<f_minfo>({{PIM_TYPE_XG, pim_minfo_join_desired_enable_xg},
                    {PIM_TYPE_SG, pim_minfo_join_desired_enable_xg},
                    {PIM_TYPE_SG_RPT, pim_minfo_join_desired_enable_sgrpt}});
constexpr auto join_desired_disable =
    slots<f_minfo>({{PIM_TYPE_XG, pim_minfo_join_desired_disable_xg},
                    {PIM_TYPE_SG, pim_minfo_join_desired_disable_xg},
                    {PIM_TYPE_SG_RPT, pim_minfo_join_desired_disable_sgrpt}});
constexpr auto process_join_desired =
    slots<f_minfo>({{PIM_TYPE_XG, pim_minfo_process_join_desired_xg},
                    {PIM_TYPE_SG, pim_minfo_process_join_desired_xg},
                    {PIM_TYPE_SG_RPT, pim_minfo_process_join_desired_sgrpt}});
constexpr auto process_prune_desired =
    slots<f_minfo>({{PIM_TYPE_SG_RPT, pim_minfo_process_prune_desired_sgrpt}});
constexpr auto process_inherited_oilist =
    slots<f_minfo>({{PIM_TYPE_XXG, pim_minfo_process_inherited_oilist_change_xxg},
                    {PIM_TYPE_XG, pim_minfo_process_inherited_oilist_change_xg},
                    {PIM_TYPE_SG, pim_minfo_process_inherited_oilist_change_sg},
                    {PIM_TYPE_SG_RPT, pim_minfo_process_inherited_oilist_change_sg_rpt}});
constexpr auto join_expiry = slots<f_rec>({{PIM_TYPE_XG, pim_jp_join_expiry_xg},
                                           {PIM_TYPE_SG, pim_jp_join_expiry_xg},
                                           {PIM_TYPE_SG_RPT, pim_jp_join_expiry_sgrpt}});
constexpr auto prune_pending_expiry =
    slots<f_rec>({{PIM_TYPE_XG, pim_jp_prune_pending_expiry_xg},
                  {PIM_TYPE_SG, pim_jp_prune_pending_expiry_sg},
                  {PIM_TYPE_SG_RPT, pim_jp_prune_pending_expiry_sgrpt}});
constexpr auto if_minfo_cleanup = slots<f_rec>({{PIM_TYPE_XG, pim_if_minfo_cleanup_xg},
                                                {PIM_TYPE_SG, pim_if_minfo_cleanup_sg},
                                                {PIM_TYPE_SG_RPT, pim_if_minfo_cleanup_sgrpt}});
constexpr auto minfo_init = slots<f_minfo>({{PIM_TYPE_XG, pim_minfo_init_xg},
                                            {PIM_TYPE_SG, pim_minfo_init_xg},
                                            {PIM_TYPE_SG_RPT, pim_minfo_init_sgrpt}});
constexpr auto jp_join = slots<f_jp_join>(
    {{PIM_TYPE_XG, pim_jp_xg_join}, {PIM_TYPE_SG, pim_jp_sg_join}, {PIM_TYPE_SA, pim_jp_sa_join}});
constexpr auto jp_prune = slots<f_jp_prune>({{PIM_TYPE_XG, pim_jp_xg_prune},
                                             {PIM_TYPE_SG, pim_jp_sg_prune},
                                             {PIM_TYPE_SA, pim_jp_sa_prune}});

template <typename F> F slot(const t_et_table<F> &table, e_pim_type type)
{
    return type < PIM_TYPE_MAX ? table[type] : nullptr;
}

constexpr uint32_t AUTO_RP_ANNOUNCE_GROUP = 0xE0000127; // 224.0.1.39
constexpr uint32_t AUTO_RP_MAPPING_GROUP = 0xE0000128;  // 224.0.1.40

} // namespace

void pim_et_process_join_change(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p)
{
    if (auto fn = slot(process_join_change, minfo_p->type)) {
        fn(minfo_p, if_minfo_p);
    }
}

void pim_et_process_prune_change(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p)
{
    if (auto fn = slot(process_prune_change, minfo_p->type)) {
        fn(minfo_p, if_minfo_p);
    }
}

bool pim_et_compute_join_desired(t_pim_minfo *minfo_p)
{
    auto fn = slot(compute_join_desired, minfo_p->type);
    return fn != nullptr && fn(minfo_p);
}

void pim_et_join_desired_enable(t_pim_minfo *minfo_p)
{
    if (auto fn = slot(join_desired_enable, minfo_p->type)) {
        fn(minfo_p);
    }
}

void pim_et_join_desired_disable(t_pim_minfo *minfo_p)
{
    if (auto fn = slot(join_desired_disable, minfo_p->type)) {
        fn(minfo_p);
    }
}

void pim_et_process_join_desired(t_pim_minfo *minfo_p)
{
    if (auto fn = slot(process_join_desired, minfo_p->type)) {
        fn(minfo_p);
    }
}

void pim_et_process_prune_desired(t_pim_minfo *minfo_p)
{
    if (auto fn = slot(process_prune_desired, minfo_p->type)) {
        fn(minfo_p);
    }
}

void pim_et_process_inherited_oilist(t_pim_minfo *minfo_p)
{
    if (auto fn = slot(process_inherited_oilist, minfo_p->type)) {
        fn(minfo_p);
    }
}

void pim_et_join_expiry(t_pim_if_minfo *if_minfo_p)
{
    if (auto fn = slot(join_expiry, if_minfo_p->type)) {
        fn(if_minfo_p);
    }
}

void pim_et_prune_pending_expiry(t_pim_if_minfo *if_minfo_p)
{
    if (auto fn = slot(prune_pending_expiry, if_minfo_p->type)) {
        fn(if_minfo_p);
    }
}

void pim_et_if_minfo_cleanup(t_pim_if_minfo *if_minfo_p)
{
    if (auto fn = slot(if_minfo_cleanup, if_minfo_p->type)) {
        fn(if_minfo_p);
    }
}

void pim_et_minfo_init(t_pim_minfo *minfo_p)
{
    if (auto fn = slot(minfo_init, minfo_p->type)) {
        fn(minfo_p);
    }
}

int pim_et_jp_join(e_pim_type type, t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *addr,
                   uint16_t holdtime)
{
    auto fn = slot(jp_join, type);
    return fn != nullptr ? fn(if_p, group, addr, holdtime) : 0;
}

int pim_et_jp_prune(e_pim_type type, t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *addr)
{
    auto fn = slot(jp_prune, type);
    return fn != nullptr ? fn(if_p, group, addr) : 0;
}

bool pim_et_group_is_auto_rp(const t_ipaddr *group)
{
    return IPADDR_IS_V4(group) &&
           (group->u.addr4 == AUTO_RP_ANNOUNCE_GROUP || group->u.addr4 == AUTO_RP_MAPPING_GROUP);
}
