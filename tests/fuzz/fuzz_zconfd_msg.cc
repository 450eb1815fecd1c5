// The framework's decoder of the agent's messages: deliveries reach
// configuration callbacks, show and action requests reach theirs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <event2/event.h>

#include "common/timer.h"
#include "common/zul_module.h"
#include "zconfd/zconfd.h"

namespace
{

int fuzz_config_cb(t_zconfd_sub_entry *, int oper, int num_keys, const t_zconfd_value *keys,
                   int num_values, const t_zconfd_value *vals)
{
    char buf[128];
    size_t total = 0;
    for (int i = 0; i < num_keys; i++) {
        total += strlen(zconfd_val_print(&keys[i], buf, sizeof(buf)));
    }
    for (int i = 0; i < num_values; i++) {
        t_ipprefix p;
        zconfd_val_to_ipprefix(&vals[i], &p);
        total += strlen(zconfd_val_print(&vals[i], buf, sizeof(buf)));
    }
    return (total + static_cast<size_t>(oper)) % 7 == 0 ? 1 : 0;
}

int fuzz_get(t_zconfd_trans *tctx, const t_zconfd_keypath *kp)
{
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
    int n = zconfd_keypath_get_keys(kp, keys, ZCONFD_MAX_KEYS);
    return n > 0 ? zconfd_data_reply_value_array(tctx, keys, n) : zconfd_data_reply_not_found(tctx);
}

int fuzz_first(t_zconfd_trans *tctx, const t_zconfd_keypath *, long)
{
    return zconfd_data_reply_next_object_array(tctx, nullptr, 0, -1);
}

int fuzz_find_next(t_zconfd_trans *tctx, const t_zconfd_keypath *, int, const t_zconfd_value *keys,
                   int num_keys)
{
    return zconfd_data_reply_next_object_array(tctx, keys, num_keys, -1);
}

int fuzz_data_register(t_zconfd_context *ctx)
{
    t_zconfd_data_cbs cbs{};
    snprintf(cbs.callpoint, sizeof(cbs.callpoint), "rows");
    cbs.get_object = fuzz_get;
    cbs.get_next_object = fuzz_first;
    cbs.find_next_object = fuzz_find_next;
    return zconfd_register_data_cb(ctx, &cbs);
}

int fuzz_cmd(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    for (int i = 0; i < argc; i++) {
        zconfd_cli_printf(uinfo, "%s\n", argv[i]);
    }
    return 0;
}

int fuzz_action(t_zconfd_uinfo *uinfo, const char *name, const t_zconfd_value *, int n)
{
    if (n % 2 == 1) {
        zconfd_action_seterr(uinfo, "odd %s", name);
        return -1;
    }
    return 0;
}

t_zconfd_sub_entry sub(const char *path, uint8_t keys, uint8_t prio, uint8_t del_prio)
{
    t_zconfd_sub_entry e{};
    snprintf(e.path, sizeof(e.path), "%s", path);
    e.config_cb = fuzz_config_cb;
    e.num_keys = keys;
    e.priority = prio;
    e.del_priority = del_prio;
    return e;
}

t_zconfd_sub_entry g_subs[] = {sub("system", 0, 5, 0),
                               sub("vpn/vpn-instance", 1, 6, 1),
                               sub("vpn/vpn-instance/interface", 2, 6, 1),
                               {}};
t_zconfd_val_point g_vals[1] = {};
t_zconfd_action_cmd g_actions[] = {{"cmd", fuzz_cmd, nullptr}, {"act", nullptr, fuzz_action}, {}};
int g_opaque;

t_zconfd_context *fuzz_context()
{
    static t_zconfd_context *ctx = [] {
        t_zconfd_module_data data{};
        data.opaque_p = &g_opaque;
        data.sub_point_arr = g_subs;
        data.val_point_arr = g_vals;
        data.action_cmd_arr = g_actions;
        data.data_register_cb = fuzz_data_register;
        data.evt_base_p = event_base_new();
        data.timer_mgr_p =
            timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        data.mod_id = ZUL_MODULE_PIM;
        snprintf(data.cdb_path, sizeof(data.cdb_path), "/nonexistent/.cdbd");
        t_zconfd_context *c = nullptr;
        zconfd_module_init(&data, nullptr, &c);
        return c;
    }();
    return ctx;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zconfd_input(fuzz_context(), data, size);
    return 0;
}
