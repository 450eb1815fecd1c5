// Turning a configuration difference into the rows' deliveries: for each
// subscription of a daemon, the changed instances of its path with their
// operation, keys (root first) and tagged values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/cdbd/cdbd_schema.h"

struct lyd_node;
struct lysc_node;

struct t_cdbd_sub {
    uint32_t id = 0;
    std::string path; // "vpn/vpn-instance/interface"
    uint32_t priority = 0;
    uint32_t del_priority = 0; // non-zero: deletions go at this priority
    bool oper = false;
    const lysc_node *snode_p = nullptr;
    int num_keys = 0;
};

struct t_cdbd_change {
    uint32_t op = 0; // e_zconfd_mop
    std::vector<t_cdbd_val> keys;
    std::vector<t_cdbd_val> values;
};

// Which part of the changes a subscription receives.
enum e_cdbd_filter : uint8_t {
    CDBD_FILTER_ALL = 0,  // a row without a delete subscription
    CDBD_FILTER_ADDS = 1, // the add subscription of a row that has a delete one
    CDBD_FILTER_DELS = 2, // the delete subscription
};

// Resolves a subscription path ("vpn/vpn-instance", optionally with module
// prefixes and a leading '/') to its schema node. False with the reason in err.
bool cdbd_sub_resolve(const t_cdbd_schema *schema, t_cdbd_sub *sub, std::string *err);

// Changes of one subscription in a difference tree (lyd_diff_siblings with
// defaults). Deletions below a deleted list entry that another subscription of
// the same daemon (peers) covers are left to that subscription.
std::vector<t_cdbd_change> cdbd_changes_for_sub(const lyd_node *diff, const t_cdbd_sub &sub,
                                                e_cdbd_filter filter,
                                                const std::vector<t_cdbd_sub> &peers);

const char *cdbd_mop_name(uint32_t op);
