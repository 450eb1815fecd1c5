// A small daemon on the zconfd framework for the CLI's process tests: serves
// the widget tables of kem-kemcli-test.yang, a clear action (which raises a
// notification), a dump command, and a VPN subscription that refuses a VPN
// named "refuse-me".
#include <event2/event.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/timer.h"
#include "common/zul_module.h"
#include "zconfd/zconfd.h"

namespace
{

struct t_testd_part {
    uint32_t index;
    uint32_t weight;
};

struct t_testd_widget {
    uint32_t vpn_id;
    const char *name;
    const char *addr;
    int64_t state; // 0: left out
    uint64_t flags;
    const char *up_time; // nullptr: left out
    std::vector<t_testd_part> parts;
};

// In table order: VPN, then name.
const std::array<t_testd_widget, 3> g_widgets = {{
    {1, "alpha", "10.0.0.1", 2, 1, "0:00:01:00", {{0, 5}, {1, 7}}},
    {1, "b", "10.0.0.2", 1, 0, nullptr, {}},
    {2, "gamma", "2001:db8::1", 2, 3, "1y 2:03:04:05", {{3, 1}}},
}};

int widget_cmp(const t_testd_widget &w, uint32_t vpn, const char *name)
{
    if (w.vpn_id != vpn) {
        return w.vpn_id < vpn ? -1 : 1;
    }
    return strcmp(w.name, name);
}

int widget_encode(const t_testd_widget &w, t_zconfd_value *vals)
{
    int n = 0;
    t_ipaddr addr{};
    str_to_ip(w.addr, &addr);
    vals[n++] = zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT32, w.vpn_id);
    vals[n++] = zconfd_val_str(zconfd_tag("name"), w.name);
    vals[n++] = zconfd_val_ipaddr(zconfd_tag("address"), &addr);
    if (w.state != 0) {
        vals[n++] = zconfd_val_enum(zconfd_tag("state"), static_cast<int32_t>(w.state));
    }
    if (w.flags != 0) {
        vals[n++] = zconfd_val_uint(zconfd_tag("flags"), ZCONFD_VT_BITS, w.flags);
    }
    if (w.up_time != nullptr) {
        vals[n++] = zconfd_val_str(zconfd_tag("up-time"), w.up_time);
    }
    return n;
}

int widget_reply(t_zconfd_trans *tctx, const t_testd_widget *w)
{
    if (w == nullptr) {
        return zconfd_data_reply_next_object_array(tctx, nullptr, 0, -1);
    }
    t_zconfd_value vals[16];
    return zconfd_data_reply_next_object_array(tctx, vals, widget_encode(*w, vals), -1);
}

// The first widget at or after (vpn, name); strictly after when next.
const t_testd_widget *widget_find(uint32_t vpn, const char *name, bool next)
{
    for (const t_testd_widget &w : g_widgets) {
        int c = widget_cmp(w, vpn, name);
        if (c > 0 || (c == 0 && !next)) {
            return &w;
        }
    }
    return nullptr;
}

// The widget with exactly these keys, or nullptr.
const t_testd_widget *widget_exact(const t_zconfd_value *keys, int num_keys)
{
    if (num_keys < 2) {
        return nullptr;
    }
    uint32_t vpn = static_cast<uint32_t>(zconfd_val_to_u64(&keys[0]));
    const t_testd_widget *w = widget_find(vpn, keys[1].str_p, false);
    return w != nullptr && widget_cmp(*w, vpn, keys[1].str_p) == 0 ? w : nullptr;
}

int widget_get(t_zconfd_trans *tctx, const t_zconfd_keypath *kp)
{
    const t_testd_widget *w = kp->num_keys == 2 ? widget_exact(kp->keys, 2) : nullptr;
    if (w == nullptr) {
        return zconfd_data_reply_not_found(tctx);
    }
    t_zconfd_value vals[16];
    return zconfd_data_reply_value_array(tctx, vals, widget_encode(*w, vals));
}

int widget_get_next(t_zconfd_trans *tctx, const t_zconfd_keypath *, long)
{
    return widget_reply(tctx, &g_widgets[0]);
}

int widget_find_next(t_zconfd_trans *tctx, const t_zconfd_keypath *, int find_type,
                     const t_zconfd_value *keys, int num_keys)
{
    if (num_keys == 0) {
        return widget_reply(tctx, &g_widgets[0]);
    }
    uint32_t vpn = static_cast<uint32_t>(zconfd_val_to_u64(&keys[0]));
    if (num_keys == 1) {
        return widget_reply(tctx, widget_find(vpn, "", false));
    }
    return widget_reply(tctx, widget_find(vpn, keys[1].str_p, find_type == ZCONFD_FIND_NEXT));
}

// Parts: the parent widget from the leading keys, then the part index.
int part_reply(t_zconfd_trans *tctx, const t_testd_part *p)
{
    if (p == nullptr) {
        return zconfd_data_reply_next_object_array(tctx, nullptr, 0, -1);
    }
    t_zconfd_value vals[2] = {zconfd_val_uint(zconfd_tag("index"), ZCONFD_VT_UINT32, p->index),
                              zconfd_val_uint(zconfd_tag("weight"), ZCONFD_VT_UINT32, p->weight)};
    return zconfd_data_reply_next_object_array(tctx, vals, 2, -1);
}

int part_get(t_zconfd_trans *tctx, const t_zconfd_keypath *)
{
    return zconfd_data_reply_not_found(tctx);
}

int part_get_next(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, long)
{
    const t_testd_widget *w = widget_exact(kp->keys, kp->num_keys);
    return part_reply(tctx, w != nullptr && !w->parts.empty() ? &w->parts[0] : nullptr);
}

int part_find_next(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, int find_type,
                   const t_zconfd_value *keys, int num_keys)
{
    const t_testd_widget *w = widget_exact(kp->keys, kp->num_keys);
    if (w == nullptr || num_keys < 3) {
        return part_get_next(tctx, kp, -1);
    }
    uint64_t index = zconfd_val_to_u64(&keys[2]);
    for (const t_testd_part &p : w->parts) {
        if (p.index > index || (p.index == index && find_type != ZCONFD_FIND_NEXT)) {
            return part_reply(tctx, &p);
        }
    }
    return part_reply(tctx, nullptr);
}

int summary_get(t_zconfd_trans *tctx, const t_zconfd_keypath *)
{
    t_zconfd_value vals[2] = {
        zconfd_val_uint(zconfd_tag("total"), ZCONFD_VT_UINT32, g_widgets.size()),
        zconfd_val_uint(zconfd_tag("up"), ZCONFD_VT_UINT32, 2)};
    return zconfd_data_reply_value_array(tctx, vals, 2);
}

int testd_data_register(t_zconfd_context *ctx)
{
    t_zconfd_data_cbs widgets{"widget-table", widget_get, widget_get_next, widget_find_next};
    t_zconfd_data_cbs parts{"widget-part-table", part_get, part_get_next, part_find_next};
    t_zconfd_data_cbs summary{"widget-summary", summary_get, nullptr, nullptr};
    return zconfd_register_data_cb(ctx, &widgets) | zconfd_register_data_cb(ctx, &parts) |
           zconfd_register_data_cb(ctx, &summary);
}

t_zconfd_context *g_ctx_p = nullptr;

int testd_clear(t_zconfd_uinfo *uinfo, const char *, const t_zconfd_value *params, int num)
{
    uint64_t vpn = 0;
    for (int i = 0; i < num; i++) {
        if (params[i].tag == zconfd_tag("vpn-id")) {
            vpn = zconfd_val_to_u64(&params[i]);
        }
    }
    if (vpn == 99) {
        zconfd_action_seterr(uinfo, "VPN %lu not configured", static_cast<unsigned long>(vpn));
        return -1;
    }
    t_zconfd_value vals[5] = {
        zconfd_val_begin(zconfd_tag("widget-state-change")),
        zconfd_val_uint(zconfd_tag("severity-level"), ZCONFD_VT_UINT32, 2),
        zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT32, vpn),
        zconfd_val_enum(zconfd_tag("state"), 1),
        zconfd_val_end(zconfd_tag("widget-state-change")),
    };
    zconfd_event_send_notification(g_ctx_p, vals, 5);
    return 0;
}

int testd_dump(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    bool detail = argc > 0 && strcmp(argv[0], "detail") == 0;
    zconfd_cli_printf(uinfo, "Widgets: %zu\n", g_widgets.size());
    for (const t_testd_widget &w : g_widgets) {
        zconfd_cli_printf(uinfo, "  vpn %u %s", w.vpn_id, w.name);
        if (detail) {
            zconfd_cli_printf(uinfo, " %s parts %zu", w.addr, w.parts.size());
        }
        zconfd_cli_printf(uinfo, "\n");
    }
    return 0;
}

// VPN changes are accepted unless the VPN's name asks to be refused.
int testd_vpn_cb(t_zconfd_sub_entry *, int, int, const t_zconfd_value *, int num_values,
                 const t_zconfd_value *vals)
{
    for (int i = 0; i < num_values; i++) {
        if (vals[i].tag == zconfd_tag("name") && vals[i].type == ZCONFD_VT_STR &&
            strcmp(vals[i].str_p, "refuse-me") == 0) {
            return 1;
        }
    }
    return 0;
}

void testd_stop(evutil_socket_t, short, void *arg)
{
    event_base_loopbreak(static_cast<event_base *>(arg));
}

void testd_tick(evutil_socket_t, short, void *arg)
{
    timer_exec(static_cast<t_timer_mgr *>(arg), TIMER_PRI_MASK_ALL, 100);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: kemcli_testd <agent socket>\n");
        return 2;
    }
    event_base *base = event_base_new();
    t_timer_mgr *mgr =
        timer_mgr_create(TIMER_RESN_50MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    t_zconfd_sub_entry subs[2] = {};
    snprintf(subs[0].path, sizeof(subs[0].path), "vpn/vpn-instance");
    subs[0].config_cb = testd_vpn_cb;
    subs[0].num_keys = 1;
    subs[0].priority = 6;
    t_zconfd_val_point vals[1] = {};
    t_zconfd_action_cmd actions[3] = {
        {"widget_clear", nullptr, testd_clear}, {"widget_dump", testd_dump, nullptr}, {}};
    t_zconfd_module_data data{};
    data.opaque_p = base;
    data.sub_point_arr = subs;
    data.val_point_arr = vals;
    data.action_cmd_arr = actions;
    data.data_register_cb = testd_data_register;
    data.evt_base_p = base;
    data.timer_mgr_p = mgr;
    data.mod_id = ZUL_MODULE_PIM;
    snprintf(data.mod_name, sizeof(data.mod_name), "kemcli_testd");
    snprintf(data.cdb_path, sizeof(data.cdb_path), "%s", argv[1]);
    if (zconfd_module_init(&data, nullptr, &g_ctx_p) != ZCONFD_INIT_OK) {
        return 1;
    }
    event *tick = event_new(base, -1, EV_PERSIST, testd_tick, mgr);
    timeval tv = {0, 50000};
    event_add(tick, &tv);
    event *term = evsignal_new(base, SIGTERM, testd_stop, base);
    event_add(term, nullptr);
    event_base_dispatch(base);
    zconfd_module_deinit(&g_ctx_p);
    event_free(term);
    event_free(tick);
    timer_mgr_destroy(mgr);
    event_base_free(base);
    return 0;
}
