// The forwarding table manager's side of the PIM daemon link: received
// messages checked and turned into table operations, reports encoded. Pure
// functions, so the fuzz target and the tests use them without a process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum e_ftmd_op : uint8_t {
    FTMD_OP_NONE = 0, // refused: reason says why
    FTMD_OP_ADD = 1,
    FTMD_OP_DEL = 2,
};

// One decoded table operation; addresses IPv4 in host order, interfaces by
// kernel index. A receive entry (Auto-RP groups) has no iif and no oil.
struct t_ftmd_op {
    e_ftmd_op op = FTMD_OP_NONE;
    uint64_t vpn_id = 0;
    uint32_t source = 0;
    uint32_t group = 0;
    uint32_t iif = 0;
    std::vector<uint32_t> oil;
    bool monitor = false;
    uint32_t threshold = 0;
    // Outgoing interfaces left out (overlay tunnels: no overlay here).
    uint32_t skipped_tunnels = 0;
};

// Decodes one message body. FTMD_OP_NONE with a reason when it does not
// unpack, is of a type ftmd does not take, or is inconsistent.
t_ftmd_op ftmd_link_decode(const uint8_t *buf, size_t len, std::string *reason);

// Report bodies; empty when packing fails.
std::vector<uint8_t> ftmd_link_encode_spt(uint64_t vpn_id, uint32_t source, uint32_t group,
                                          bool exceeded);
std::vector<uint8_t> ftmd_link_encode_assert(uint64_t vpn_id, uint32_t source, uint32_t group,
                                             uint32_t if_index);
// An add or delete body as the PIM daemon sends it (tests, benchmarks, seeds).
std::vector<uint8_t> ftmd_link_encode_op(const t_ftmd_op &op);

std::string ftmd_ip_str(uint32_t addr);
