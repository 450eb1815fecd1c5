// ftmd's forwarding table served through the configuration agent (cdbd) as
// the operational table "forwarding-table", so that `kemcli show` lists it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "tools/ftmd/ftmd_table.h"

struct event_base;
struct t_timer_mgr;

// The tables stay owned by the caller; gen_p changes whenever an entry is
// added or removed. Registration retries on its own while cdbd is away.
bool ftmd_oper_init(event_base *base_p, t_timer_mgr *timer_mgr_p,
                    const std::map<uint64_t, std::unique_ptr<t_ftmd_ns>> *nss_p,
                    const uint64_t *gen_p);
void ftmd_oper_destroy();
