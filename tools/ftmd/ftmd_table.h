// The forwarding table manager's tables: per VPN (network namespace) its
// forwarding entries, each with its incoming interface, outgoing list and
// counters, and the data-path backend that forwards for them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

struct t_ftmd_ns;

// Source and group in host order; source 0 is a (*,G) entry.
inline uint64_t ftmd_sg_key(uint32_t source, uint32_t group)
{
    return (static_cast<uint64_t>(source) << 32) | group;
}

struct t_ftmd_entry {
    uint32_t source = 0;
    uint32_t group = 0;
    uint32_t iif = 0; // 0: a receive entry, nothing forwarded
    std::vector<uint32_t> oil;
    // Outgoing interfaces of before a PIM daemon restart, kept until the grace
    // period ends so that a partial re-add loses no receiver.
    std::vector<uint32_t> stale_oil;
    // Every outgoing interface the data path sends to (oil and stale_oil).
    std::vector<uint32_t> out;
    bool monitor = false;
    uint32_t threshold = 0; // kbit/s
    bool stale = false;     // not re-added since the PIM daemon came back
    // Withdrawn by the PIM daemon; forwarded until then unless added again.
    int64_t withdrawn_until_ms = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t wrong_iif = 0;
    uint64_t ttl_expired = 0;
    int64_t last_assert_ms = 0;
    // The data path's handle of each interface of out, in the same order.
    std::vector<void *> out_ports;
};

// Rate of one (S,G) watched for the SPT threshold.
struct t_ftmd_flow {
    uint64_t bytes = 0;
    uint64_t last_bytes = 0;
    uint32_t rate_kbps = 0;
    uint32_t threshold = 0;
    bool above = false;
    uint32_t quiet_secs = 0; // seconds below the threshold while above
    bool seen = false;       // counted since the last tick
};

// Counters of packets the data path refused.
struct t_ftmd_drops {
    uint64_t malformed = 0;
    uint64_t no_entry = 0;
    uint64_t wrong_iif = 0;
    uint64_t ttl = 0;
    uint64_t own = 0;
    uint64_t send_fail = 0;
};

class t_ftmd_backend;

struct t_ftmd_ns {
    uint64_t vpn_id = 0;
    int netns_fd = -1; // -1: ftmd's own namespace
    std::unordered_map<uint64_t, t_ftmd_entry> entries;
    std::unordered_map<uint64_t, t_ftmd_flow> flows;
    t_ftmd_drops drops;
    void *backend_p = nullptr; // backend's per-namespace state
};

// What the data path reports back to the link.
struct t_ftmd_reports {
    // Packets of an entry arrived on one of its outgoing interfaces.
    void (*dup_traffic)(t_ftmd_ns *ns_p, t_ftmd_entry *e_p, uint32_t if_index);
};

class t_ftmd_backend
{
  public:
    virtual ~t_ftmd_backend() = default;
    virtual const char *name() const = 0;
    // The namespace's first entry is coming; false when it cannot forward there.
    virtual bool ns_open(t_ftmd_ns *ns_p) = 0;
    virtual void ns_close(t_ftmd_ns *ns_p) = 0;
    // Entry added or changed (its out list recomputed); false on failure.
    virtual bool entry_set(t_ftmd_ns *ns_p, t_ftmd_entry *e_p) = 0;
    virtual void entry_remove(t_ftmd_ns *ns_p, t_ftmd_entry *e_p) = 0;
    // Once a second: counters brought up to date.
    virtual void tick(t_ftmd_ns *ns_p) = 0;
};

// The kernel's multicast routing table, or nullptr where the kernel has none.
std::unique_ptr<t_ftmd_backend> ftmd_mrt_backend_create(struct event_base *base_p,
                                                        const t_ftmd_reports &reports);
std::unique_ptr<t_ftmd_backend> ftmd_dp_backend_create(struct event_base *base_p,
                                                       const t_ftmd_reports &reports);

// Runs fn inside the namespace (fd -1: the current one); false when setns fails.
template <typename F> bool ftmd_in_ns(int netns_fd, F fn);
bool ftmd_setns(int netns_fd);
bool ftmd_setns_home();
template <typename F> bool ftmd_in_ns(int netns_fd, F fn)
{
    if (netns_fd >= 0 && !ftmd_setns(netns_fd)) {
        return false;
    }
    fn();
    return netns_fd < 0 || ftmd_setns_home();
}
