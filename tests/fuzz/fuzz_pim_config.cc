// Any sequence of configuration deliveries through the four handlers: the
// input picks handler, operation, keys (of the right or a wrong kind) and a
// list of tagged values of any type from the tags the handlers know, with
// text values both well-formed and not. The daemon lives across inputs, so
// state left by one delivery meets the next.
#include <event2/event.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/zul_assert.h"
#include "daemon/pim_confd.h"
#include "daemon/pim_config.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_vpn.h"
#include "tests/fuzz/fuzz_input.h"

namespace
{

constexpr const char *TAGS[] = {
    "system-ip",
    "vrf-id",
    "router",
    "pim",
    "shutdown",
    "auto-rp",
    "spt-threshold",
    "replicator",
    "replicator-local",
    "replicator-threshold",
    "replicator-selection",
    "ip",
    "ipv6",
    "address",
    "join-prune-interval",
    "dr-priority",
    "hello-interval",
    "name",
};
constexpr const char *TEXTS[] = {"10.1.1.1/24", "2001:db8::1/64", "10.1.1.1", "",
                                 "x/33",        "300.1.1.1/24",   "ge0"};
constexpr uint64_t VPNS[] = {0, 1, 2, 512, 65529, UINT64_MAX};
constexpr const char *NAMES[] = {"ge0", "ge1", "", "gone0"};

template <typename T, size_t N> const T &pick(const T (&arr)[N], uint8_t b) { return arr[b % N]; }

bool present(uint64_t, const char *name) { return name[0] != 'g' || name[1] != 'o'; }

t_zconfd_sub_entry *setup()
{
    t_pim_daemon *daemon_p = nullptr;
    ZUL_ASSERT(pim_daemon_init(&daemon_p) == PIM_STATUS_OK);
    ZUL_ASSERT(pim_confd_init_at(daemon_p, "/nonexistent/kemd-fuzz.cdbd") == PIM_STATUS_OK);
    pim_config_set_if_present(present);
    static t_zconfd_sub_entry row{};
    row.ctxt_p = daemon_p->pim_zconfd_ctx_p->zconfd_p;
    return &row;
}

t_zconfd_value value_of(t_fuzz_input &rd)
{
    uint32_t tag = zconfd_tag(pick(TAGS, rd.next()));
    uint8_t type = rd.next() % ZCONFD_VT_MAX;
    uint8_t payload = rd.next();
    t_zconfd_value v{};
    v.tag = tag;
    v.type = type;
    switch (type) {
    case ZCONFD_VT_STR:
    case ZCONFD_VT_BUF:
    case ZCONFD_VT_DECIMAL:
        v.str_p = pick(TEXTS, payload);
        break;
    case ZCONFD_VT_IPV4:
        IPADDR_SET_V4(&v.v.addr, 0x0a000000u | payload);
        break;
    case ZCONFD_VT_IPV4PREFIX:
        IPADDR_SET_V4(&v.v.prefix.addr, 0x0a000000u | payload);
        v.v.prefix.prefixlen = payload % 40;
        break;
    case ZCONFD_VT_BOOL:
        v.v.b = (payload & 1) != 0;
        break;
    case ZCONFD_VT_IPV6:
    case ZCONFD_VT_IPV6PREFIX:
        // Left zero: an address of no family, as a broken peer would send.
        break;
    default:
        v.v.u64 = payload % 4 == 0 ? UINT64_MAX - payload : payload;
        break;
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static t_zconfd_sub_entry *row = setup();
    t_fuzz_input rd{data, size};
    while (rd.left > 0) {
        uint8_t op = rd.next();
        int oper = 1 + (rd.next() % 4);
        std::vector<t_zconfd_value> keys(2);
        keys[0] = zconfd_val_uint(zconfd_tag("vpn-id"), ZCONFD_VT_UINT64, pick(VPNS, rd.next()));
        keys[1] = zconfd_val_str(zconfd_tag("if-name"), pick(NAMES, rd.next()));
        if (op & 0x80) {
            keys[0].type = ZCONFD_VT_UINT32;
        }
        int num_keys = (op & 0x40) ? 1 : 2;
        std::vector<t_zconfd_value> vals(rd.next() % 16);
        for (t_zconfd_value &v : vals) {
            v = value_of(rd);
        }
        int n = static_cast<int>(vals.size());
        switch (op % 4) {
        case 0:
            (void)pim_config_system(row, oper, 0, nullptr, n, vals.data());
            break;
        case 1:
            (void)pim_config_vpn(row, oper, num_keys, keys.data(), n, vals.data());
            break;
        case 2:
            (void)pim_config_vpn_if(row, oper, num_keys, keys.data(), n, vals.data());
            break;
        default:
            (void)pim_config_vpn_pim_if(row, oper, num_keys, keys.data(), n, vals.data());
            break;
        }
    }
    return 0;
}
