// ftmd's side of the PIM daemon link: every body decodes to a table operation
// or to a refusal, and what decodes survives encoding and decoding again. An
// input starting with 0xee is taken as an Ethernet frame for the data path's
// packet checks and rewrites instead.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/ftmd/ftmd_dp_util.h"
#include "tools/ftmd/ftmd_link.h"

namespace
{

void fuzz_frame(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> frame(data, data + size);
    t_ftmd_ipv4 ip;
    if (!ftmd_parse_ipv4(frame.data(), frame.size(), &ip)) {
        return;
    }
    uint8_t *hdr = frame.data() + 14;
    if (ftmd_ttl_decrement(hdr)) {
        ftmd_l4_csum_complete(hdr, ip.total_len);
        // The rewritten header still checks.
        t_ftmd_ipv4 again;
        if (!ftmd_parse_ipv4(frame.data(), frame.size(), &again)) {
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0 && data[0] == 0xee) {
        fuzz_frame(data + 1, size - 1);
        return 0;
    }
    std::string reason;
    t_ftmd_op op = ftmd_link_decode(data, size, &reason);
    if (op.op == FTMD_OP_NONE) {
        if (reason.empty()) {
            abort();
        }
        return 0;
    }
    std::vector<uint8_t> body = ftmd_link_encode_op(op);
    t_ftmd_op back = ftmd_link_decode(body.data(), body.size(), &reason);
    if (back.op != op.op || back.vpn_id != op.vpn_id || back.source != op.source ||
        back.group != op.group || back.iif != op.iif || back.oil != op.oil ||
        back.monitor != op.monitor || (op.monitor && back.threshold != op.threshold)) {
        abort();
    }
    return 0;
}
