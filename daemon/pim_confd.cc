#include "daemon/pim_confd.h"

#include <cstdio>

#include "common/zul_module.h"
#include "daemon/pim_cmd.h"
#include "daemon/pim_config.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_show.h"
#include "zconfd/zconfd.h"

namespace
{

constexpr const char *PIM_NS_SYSTEM = "urn:kem:system";
constexpr const char *PIM_NS_VPN = "urn:kem:vpn";

// Deletions go at priority 1, before any addition, so that a VPN or interface
// removed and added back in one commit is first cleaned up; the system row
// comes before the VPN rows because the replicator needs the system address.
t_zconfd_sub_entry pim_sub_row(const char *name_space, const char *path, f_zconfd_config_cb cb,
                               uint8_t num_keys, uint8_t priority, uint8_t del_priority)
{
    t_zconfd_sub_entry row{};
    snprintf(row.path, sizeof(row.path), "%s", path);
    row.config_cb = cb;
    row.name_space = zconfd_tag(name_space);
    row.num_keys = num_keys;
    row.priority = priority & 0xF;
    row.del_priority = del_priority & 0xF;
    return row;
}

} // namespace

e_pim_status pim_confd_init(t_pim_daemon *daemon_p) { return pim_confd_init_at(daemon_p, ""); }

e_pim_status pim_confd_init_at(t_pim_daemon *daemon_p, const char *cdb_path)
{
    if (daemon_p->pim_zconfd_ctx_p != nullptr) {
        return PIM_STATUS_OK;
    }
    // The framework copies both tables at registration.
    t_zconfd_sub_entry subs[] = {
        pim_sub_row(PIM_NS_SYSTEM, "system", pim_config_system, 0, 5, 0),
        pim_sub_row(PIM_NS_VPN, "vpn/vpn-instance", pim_config_vpn, 1, 6, 1),
        pim_sub_row(PIM_NS_VPN, "vpn/vpn-instance/interface", pim_config_vpn_if, 2, 6, 1),
        pim_sub_row(PIM_NS_VPN, "vpn/vpn-instance/router/pim/interface", pim_config_vpn_pim_if, 2,
                    6, 1),
        t_zconfd_sub_entry{},
    };
    t_zconfd_val_point no_validation[1] = {};

    t_zconfd_module_data data{};
    data.opaque_p = daemon_p;
    data.sub_point_arr = subs;
    data.val_point_arr = no_validation;
    data.action_cmd_arr = const_cast<t_zconfd_action_cmd *>(pim_action_cmd_table());
    data.data_register_cb = pim_confd_register_data_cbs;
    data.resync_cb = pim_confd_resync;
    data.evt_base_p = daemon_p->base_event_p;
    data.timer_mgr_p = daemon_p->timer_mgr_p;
    data.vpn_id = 0;
    data.mod_id = ZUL_MODULE_PIM;
    snprintf(data.cdb_path, sizeof(data.cdb_path), "%s", cdb_path);

    t_pim_zconfd_ctx *ctx_p = pim_new<t_pim_zconfd_ctx>();
    if (ctx_p == nullptr) {
        PIM_LOG("Failed to allocate the configuration context");
        return PIM_STATUS_MEM_FAIL;
    }
    // Set before registering: the data callbacks and deliveries may look for it.
    daemon_p->pim_zconfd_ctx_p = ctx_p;
    int rc = zconfd_module_init(&data, nullptr, &ctx_p->zconfd_p);
    if (rc != ZCONFD_INIT_OK && rc != ZCONFD_INIT_RETRY) {
        PIM_LOG("Failed to register with the configuration agent: %d", rc);
        zconfd_module_deinit(&ctx_p->zconfd_p);
        pim_delete(ctx_p);
        daemon_p->pim_zconfd_ctx_p = nullptr;
        return PIM_STATUS_INIT_FAIL;
    }
    return PIM_STATUS_OK;
}

void pim_confd_resync(t_zconfd_context *ctxt_p, bool done)
{
    pim_config_resync(static_cast<t_pim_daemon *>(zconfd_get_opaque(ctxt_p)), done);
}

int pim_confd_register_data_cbs(t_zconfd_context *ctxt_p)
{
    if (pim_show_init(ctxt_p) != 0) {
        PIM_LOG("Failed to register the operational data callbacks");
        return 1;
    }
    return 0;
}

void pim_confd_destroy(t_pim_daemon *daemon_p)
{
    t_pim_zconfd_ctx *ctx_p = daemon_p->pim_zconfd_ctx_p;
    if (ctx_p == nullptr) {
        return;
    }
    zconfd_module_deinit(&ctx_p->zconfd_p);
    pim_delete(ctx_p);
    daemon_p->pim_zconfd_ctx_p = nullptr;
}

e_pim_status pim_confd_get_vrf_id(uint64_t vpn_id, int16_t *vrfid)
{
    const t_pim_zconfd_ctx *ctx_p = g_kemd_p != nullptr ? g_kemd_p->pim_zconfd_ctx_p : nullptr;
    if (ctx_p != nullptr) {
        auto it = ctx_p->vrf_ids.find(vpn_id);
        if (it != ctx_p->vrf_ids.end()) {
            *vrfid = it->second;
            return PIM_STATUS_OK;
        }
    }
    *vrfid = static_cast<int16_t>(vpn_id);
    return PIM_STATUS_OK;
}

void pim_confd_set_vrf_id(t_pim_daemon *daemon_p, uint64_t vpn_id, bool has_vrf, int16_t vrfid)
{
    t_pim_zconfd_ctx *ctx_p = daemon_p->pim_zconfd_ctx_p;
    if (ctx_p == nullptr) {
        return;
    }
    if (has_vrf) {
        ctx_p->vrf_ids[vpn_id] = vrfid;
    } else {
        ctx_p->vrf_ids.erase(vpn_id);
    }
}
