// Operator commands: the action table, and the two test commands that inject
// a Join or Prune, or an SPT switchover, as the protocol would. A refused
// command prints why and changes nothing.
#include "daemon/pim_cmd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/ip_util.h"
#include "daemon/pim_chassis.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_vpn.h"
#include "zconfd/zconfd.h"

namespace
{

// One parameter of a command. The CLI hands over the words typed after the
// command, each parameter's name followed by its value; other callers pass
// the values alone, in the parameters' order, after any command words.
struct t_pim_cmd_arg {
    std::string_view name;
    const char *value;
};

template <size_t N>
bool pim_cmd_parse(t_zconfd_uinfo *uinfo, int argc, const char **argv,
                   std::array<t_pim_cmd_arg, N> &args)
{
    auto named = [&](const char *word) {
        return std::any_of(args.begin(), args.end(),
                           [&](const t_pim_cmd_arg &a) { return a.name == word; });
    };
    if (argc > 0 && !named(argv[0])) {
        if (static_cast<size_t>(argc) < N) {
            zconfd_cli_printf(uinfo, "Invalid argument %s\n", argv[0]);
            return false;
        }
        for (size_t i = 0; i < N; i++) {
            args[i].value = argv[static_cast<size_t>(argc) - N + i];
        }
        return true;
    }
    for (int i = 0; i < argc; i += 2) {
        auto it = std::find_if(args.begin(), args.end(),
                               [&](const t_pim_cmd_arg &a) { return a.name == argv[i]; });
        if (it == args.end() || i + 1 >= argc) {
            zconfd_cli_printf(uinfo, "Invalid argument %s\n", argv[i]);
            return false;
        }
        it->value = argv[i + 1];
    }
    return true;
}

// An address argument; an absent one is the zero IPv4 address.
bool pim_cmd_addr(const char *text, t_ipaddr *addr)
{
    if (text[0] == '\0') {
        IPADDR_INIT(addr, IP_ADDR_V4);
        return true;
    }
    return str_to_ip(text, addr) == 1;
}

bool pim_cmd_vpn_id(const char *text, uint64_t *vpn_id)
{
    char *end = nullptr;
    errno = 0;
    *vpn_id = strtoull(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0;
}

// "add" or "delete": true for add; false when neither, after saying so.
bool pim_cmd_operation(t_zconfd_uinfo *uinfo, const char *text, bool *add)
{
    *add = strcmp(text, "add") == 0;
    if (!*add && strcmp(text, "delete") != 0) {
        zconfd_cli_printf(uinfo, "Valid input is add or delete but not %s\n", text);
        return false;
    }
    return true;
}

bool pim_cmd_group(t_zconfd_uinfo *uinfo, const char *text, t_ipaddr *group)
{
    if (!pim_cmd_addr(text, group) || !ipaddr_is_multicast(group)) {
        zconfd_cli_printf(
            uinfo, "Please provide proper group address: %s not valid multicast address\n", text);
        return false;
    }
    return true;
}

bool pim_cmd_source(t_zconfd_uinfo *uinfo, const char *text, t_ipaddr *source)
{
    if (!pim_cmd_addr(text, source) || IPADDR_IS_ZERO(source) || !ipaddr_is_unicast(source)) {
        zconfd_cli_printf(
            uinfo,
            "Please provide proper Srouce address for (S,G) entry: %s not valid unicast address\n",
            text);
        return false;
    }
    return true;
}

// The VPN of a command: it must exist and run PIM.
t_pim_vpn *pim_cmd_vpn(t_zconfd_uinfo *uinfo, const char *text)
{
    uint64_t vpn_id = 0;
    if (g_kemd_p == nullptr) {
        zconfd_cli_printf(uinfo, "PIM daemon not UP\n");
        return nullptr;
    }
    if (!pim_cmd_vpn_id(text, &vpn_id)) {
        zconfd_cli_printf(uinfo, "Invalid vpn %s\n", text);
        return nullptr;
    }
    auto id = static_cast<unsigned long>(vpn_id);
    t_pim_vpn *vpn_p = pim_vpn_find(g_kemd_p, vpn_id, nullptr);
    if (vpn_p == nullptr) {
        zconfd_cli_printf(uinfo, "Can't find vpn %lu\n", id);
        return nullptr;
    }
    if (!vpn_p->pim_enabled) {
        zconfd_cli_printf(uinfo, "PIM is not enabled on vpn %lu\n", id);
        return nullptr;
    }
    return vpn_p;
}

} // namespace

int pim_jp_test(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    std::array<t_pim_cmd_arg, 6> args = {{{"operation", ""},
                                          {"group", ""},
                                          {"source", ""},
                                          {"rp", ""},
                                          {"vpn-id", ""},
                                          {"if-name", ""}}};
    if (!pim_cmd_parse(uinfo, argc, argv, args)) {
        return 0;
    }
    bool join = false;
    if (!pim_cmd_operation(uinfo, args[0].value, &join)) {
        return 0;
    }
    const char *if_name = args[5].value;
    char kernel[PIM_IF_NAME_LEN];
    if (!pim_chassis_kernel_name(if_name, kernel, sizeof(kernel))) {
        zconfd_cli_printf(uinfo, "Invalid interface name %s\n", if_name);
        return 0;
    }
    t_ipaddr group{};
    t_ipaddr source{};
    t_ipaddr rp{};
    if (!pim_cmd_group(uinfo, args[1].value, &group)) {
        return 0;
    }
    // A zero source asks for the shared tree of the RP.
    bool xg = pim_cmd_addr(args[2].value, &source) && IPADDR_IS_ZERO(&source);
    bool rp_ok = pim_cmd_addr(args[3].value, &rp);
    if (xg && (!rp_ok || IPADDR_IS_ZERO(&rp) || !ipaddr_is_unicast(&rp))) {
        zconfd_cli_printf(
            uinfo,
            "Please provide proper RP address for (*,G) entry: %s not valid unicast address\n",
            args[3].value);
        return 0;
    }
    if (!xg && !pim_cmd_source(uinfo, args[2].value, &source)) {
        return 0;
    }
    t_pim_vpn *vpn_p = pim_cmd_vpn(uinfo, args[4].value);
    if (vpn_p == nullptr) {
        return 0;
    }
    auto id = static_cast<unsigned long>(vpn_p->vpn_id);
    t_pim_if *if_p = pim_if_find(vpn_p, kernel, PIM_IF_TYPE_LOCAL, nullptr, true);
    if (if_p == nullptr) {
        zconfd_cli_printf(uinfo, "Can't find interface %lu: %s\n", id, if_name);
        return 0;
    }
    if (!if_p->pim_enabled) {
        zconfd_cli_printf(uinfo, "PIM is not enabled on interface %lu: %s\n", id, if_name);
        return 0;
    }
    if (!rp_ok) {
        IPADDR_INIT(&rp, IP_ADDR_V4);
    }
    zconfd_cli_printf(uinfo, "%s (%s, %s) RP: %s on %lu:%s\n", join ? "Join" : "Prune",
                      ipaddr_str(&source).c, ipaddr_str(&group).c, ipaddr_str(&rp).c, id, if_name);
    e_pim_type type = xg ? PIM_TYPE_XG : PIM_TYPE_SG;
    const t_ipaddr *addr = xg ? &rp : &source;
    // One message with one entry: the same steps as a received Join/Prune.
    pim_jp_unit_begin(vpn_p);
    if (join) {
        (void)pim_et_jp_join(type, if_p, &group, addr, PIM_JP_HOLDTIME_FOREVER);
    } else {
        (void)pim_et_jp_prune(type, if_p, &group, addr);
    }
    pim_jp_handle_eom(vpn_p);
    return 0;
}

int pim_minfo_spt_test(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    std::array<t_pim_cmd_arg, 4> args = {
        {{"operation", ""}, {"group", ""}, {"source", ""}, {"vpn-id", ""}}};
    if (!pim_cmd_parse(uinfo, argc, argv, args)) {
        return 0;
    }
    bool add = false;
    t_ipaddr group{};
    t_ipaddr source{};
    if (!pim_cmd_operation(uinfo, args[0].value, &add) ||
        !pim_cmd_group(uinfo, args[1].value, &group) ||
        !pim_cmd_source(uinfo, args[2].value, &source)) {
        return 0;
    }
    t_pim_vpn *vpn_p = pim_cmd_vpn(uinfo, args[3].value);
    if (vpn_p == nullptr) {
        return 0;
    }
    zconfd_cli_printf(uinfo, "%s (%s, %s) %lu\n", add ? "Add" : "Delete", ipaddr_str(&source).c,
                      ipaddr_str(&group).c, static_cast<unsigned long>(vpn_p->vpn_id));
    if (add && pim_minfo_spt_sg_create(g_kemd_p, vpn_p->vpn_id, &source, &group) != PIM_STATUS_OK) {
        zconfd_cli_printf(uinfo, "Failed to create SPT S,G entry\n");
    } else if (!add &&
               pim_minfo_spt_sg_delete(g_kemd_p, vpn_p->vpn_id, &source, &group) != PIM_STATUS_OK) {
        zconfd_cli_printf(uinfo, "Failed to delete SPT S,G entry\n");
    }
    return 0;
}

const t_zconfd_action_cmd *pim_action_cmd_table()
{
    static const std::array<t_zconfd_action_cmd, 3> table = {{
        {"pim_jp_test", pim_jp_test, nullptr},
        {"pim_minfo_spt_test", pim_minfo_spt_test, nullptr},
        {},
    }};
    return table.data();
}
