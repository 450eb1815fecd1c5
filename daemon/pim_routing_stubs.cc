// Placeholders of the routing-state functions that are still being written.
// Each line goes when its function lands; the file goes when it is empty.
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"

// clang-format off
const char * pim_dstream_state_string(e_pim_if_dstream_state) { return nullptr; }
const char * pim_assert_state_string(e_pim_minfo_assert_state) { return nullptr; }
void pim_minfo_flags_string(const t_pim_minfo *, char *, size_t) {}
void pim_macro_results_string(const t_pim_minfo *, char *, size_t) {}
t_pim_ilist * pim_minfo_ilist_alloc() { return nullptr; }
void pim_minfo_ilist_free(t_pim_ilist *) {}
void pim_minfo_ilist_copy(t_pim_ilist *, const t_pim_ilist *) {}
int pim_minfo_ilist_cmp(const t_pim_ilist *, const t_pim_ilist *) { return 0; }
void pim_minfo_ilist_merge(t_pim_ilist *, const t_pim_ilist *) {}
void pim_minfo_ilist_exclude(t_pim_ilist *, const t_pim_ilist *) {}
void pim_minfo_ilist_reset(t_pim_ilist *) {}
void pim_minfo_ilist_set(t_pim_ilist *, uint32_t) {}
void pim_minfo_ilist_clear(t_pim_ilist *, uint32_t) {}
bool pim_minfo_ilist_test(const t_pim_ilist *, uint32_t) { return false; }
bool pim_minfo_ilist_empty(const t_pim_ilist *) { return false; }
void pim_minfo_ilist_find_first(const t_pim_ilist *, uint32_t *) {}
void pim_minfo_ilist_find_next(const t_pim_ilist *, uint32_t, uint32_t *) {}
void pim_ilist_to_str(t_pim_vpn *, const t_pim_ilist *, char *, size_t) {}
int pim_minfo_cmp(const void *, const void *) { return 0; }
int pim_if_minfo_cmp(const void *, const void *) { return 0; }
int pim_minfo_ifindex_cmp(const void *, const void *) { return 0; }
int pim_minfo_cmp_group(const t_ipaddr *, const t_ipaddr *) { return 0; }
int pim_minfo_cmp_source(const t_ipaddr *, const t_ipaddr *) { return 0; }
e_pim_status pim_minfo_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_minfo_destroy(t_pim_vpn *) {}
t_pim_minfo * pim_minfo_find(t_pim_vpn *, e_pim_type, const t_ipaddr *, const t_ipaddr *, avl_index_t *) { return nullptr; }
t_pim_minfo * pim_minfo_find_next(t_pim_vpn *, e_pim_type, const t_ipaddr *, const t_ipaddr *) { return nullptr; }
t_pim_minfo * pim_minfo_group_first(t_pim_vpn *, const t_ipaddr *) { return nullptr; }
t_pim_minfo * pim_minfo_find_or_create(t_pim_vpn *, t_pim_if *, e_pim_type, const t_ipaddr *, const t_ipaddr *, const t_ipaddr *) { return nullptr; }
void pim_minfo_delete(t_pim_minfo *) {}
void pim_minfo_check_and_delete(t_pim_minfo *) {}
void pim_minfo_find_and_delete(t_pim_vpn *, e_pim_type, const t_ipaddr *, const t_ipaddr *) {}
t_pim_minfo * pim_minfo_find_xg_from_sg(t_pim_minfo *) { return nullptr; }
t_pim_minfo * pim_minfo_find_xg_from_g(t_pim_vpn *, const t_ipaddr *) { return nullptr; }
void pim_minfo_rp_update(t_pim_vpn *, t_pim_minfo *, const t_ipaddr *) {}
void pim_minfo_copy_keys(t_pim_minfo *, const t_pim_minfo *) {}
void pim_minfo_cleanup_if(t_pim_if *) {}
void pim_minfo_cleanup_nbr(t_pim_vpn *, t_pim_nbr *) {}
void pim_minfo_process_inherited_oilist(t_pim_minfo *) {}
bool pim_minfo_debug_on(const t_pim_minfo *, uint8_t) { return false; }
e_pim_status pim_if_minfo_init(t_pim_if *) { return PIM_STATUS_OK; }
void pim_if_minfo_destroy(t_pim_if *) {}
t_pim_if_minfo * pim_if_minfo_find(t_pim_if *, e_pim_type, const t_ipaddr *, const t_ipaddr *, avl_index_t *) { return nullptr; }
t_pim_if_minfo * pim_if_minfo_find_from_minfo(t_pim_if *, const t_pim_minfo *) { return nullptr; }
t_pim_if_minfo * pim_if_minfo_find_or_create(t_pim_if *, t_pim_minfo *) { return nullptr; }
void pim_if_minfo_delete(t_pim_if_minfo *) {}
void pim_if_minfo_find_and_delete(t_pim_if *, e_pim_type, const t_ipaddr *, const t_ipaddr *) {}
void pim_if_minfo_cleanup_xg(t_pim_if_minfo *) {}
void pim_if_minfo_cleanup_sg(t_pim_if_minfo *) {}
void pim_if_minfo_cleanup_sgrpt(t_pim_if_minfo *) {}
void pim_et_process_join_change(t_pim_minfo *, t_pim_if_minfo *) {}
void pim_et_process_prune_change(t_pim_minfo *, t_pim_if_minfo *) {}
bool pim_et_compute_join_desired(t_pim_minfo *) { return false; }
void pim_et_join_desired_enable(t_pim_minfo *) {}
void pim_et_join_desired_disable(t_pim_minfo *) {}
void pim_et_process_join_desired(t_pim_minfo *) {}
void pim_et_process_prune_desired(t_pim_minfo *) {}
void pim_et_process_inherited_oilist(t_pim_minfo *) {}
void pim_et_join_expiry(t_pim_if_minfo *) {}
void pim_et_prune_pending_expiry(t_pim_if_minfo *) {}
void pim_et_if_minfo_cleanup(t_pim_if_minfo *) {}
void pim_et_minfo_init(t_pim_minfo *) {}
int pim_et_jp_join(e_pim_type, t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) { return 0; }
int pim_et_jp_prune(e_pim_type, t_pim_if *, const t_ipaddr *, const t_ipaddr *) { return 0; }
bool pim_et_group_is_auto_rp(const t_ipaddr *) { return false; }
void pim_minfo_dump(t_pim_vpn *, void *, t_pim_dump_out) {}
int pim_jp_dstream_sm_join_xg(t_pim_if *, t_pim_if_minfo *, uint16_t) { return 0; }
int pim_jp_dstream_sm_prune_xg(t_pim_if *, t_pim_if_minfo *) { return 0; }
int pim_jp_dstream_sm_jt_expiry_xg(t_pim_if_minfo *) { return 0; }
int pim_jp_dstream_sm_ppt_expiry_xg(t_pim_if_minfo *) { return 0; }
int pim_jp_dstream_sm_join_sgrpt(t_pim_if *, t_pim_if_minfo *, uint16_t) { return 0; }
int pim_jp_dstream_sm_prune_sgrpt(t_pim_if *, t_pim_if_minfo *, uint16_t) { return 0; }
int pim_jp_dstream_sm_xg_join_sgrpt(t_pim_if *, t_pim_if_minfo *) { return 0; }
int pim_jp_dstream_sm_eom_sgrpt(t_pim_if_minfo *) { return 0; }
int pim_jp_dstream_sm_jt_expiry_sgrpt(t_pim_if_minfo *) { return 0; }
int pim_jp_dstream_sm_ppt_expiry_sgrpt(t_pim_if_minfo *) { return 0; }
uint32_t pim_jp_prune_pending_ms(const t_pim_if *) { return 0; }
void pim_jp_join_expiry_cb(t_timer *, void *, void *, void *, void *) {}
void pim_jp_prune_pending_cb(t_timer *, void *, void *, void *, void *) {}
void pim_jp_join_expiry_xg(t_pim_if_minfo *) {}
void pim_jp_join_expiry_sgrpt(t_pim_if_minfo *) {}
void pim_jp_prune_pending_expiry_xg(t_pim_if_minfo *) {}
void pim_jp_prune_pending_expiry_sg(t_pim_if_minfo *) {}
void pim_jp_prune_pending_expiry_sgrpt(t_pim_if_minfo *) {}
void pim_jp_eom(t_pim_if_minfo *) {}
void pim_jp_send_prune_echo(t_pim_if_minfo *) {}
int pim_jp_xg_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) { return 0; }
int pim_jp_sg_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) { return 0; }
int pim_jp_sgrpt_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) { return 0; }
int pim_jp_sa_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) { return 0; }
int pim_jp_xg_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *) { return 0; }
int pim_jp_sg_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *) { return 0; }
int pim_jp_sgrpt_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) { return 0; }
int pim_jp_sa_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *) { return 0; }
void pim_jp_unit_begin(t_pim_vpn *) {}
void pim_jp_handle_xg_join_sgrpt(t_pim_if *, t_pim_if_minfo *) {}
void pim_jp_handle_eom(t_pim_vpn *) {}
e_pim_status pim_pkt_encode_jp(t_pim_if *, t_pim_minfo *, const t_ipaddr *, bool) { return PIM_STATUS_OK; }
void pim_jp_tx_flush(t_pim_if *) {}
void pim_jp_tx_flush_all(t_pim_daemon *) {}
void pim_jp_tx_discard(t_pim_if *) {}
int pim_jp_test(t_zconfd_uinfo *, const char *, int, const char **) { return 0; }
// clang-format on

// Until the entry table lands an (S,G,rpt) entry cannot reach its (*,G) RP.
bool pim_jp_rp_get(t_pim_minfo *minfo_p, t_ipaddr *rp_p)
{
    switch (minfo_p->type) {
    case PIM_TYPE_SG:
    case PIM_TYPE_AUTO_RP:
        IPADDR_COPY(rp_p, &minfo_p->source);
        return true;
    case PIM_TYPE_XG:
        IPADDR_COPY(rp_p, &minfo_p->received_rp);
        return true;
    default:
        return false;
    }
}
