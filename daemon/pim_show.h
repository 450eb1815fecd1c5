// Operational tables served to the configuration agent: one row per request,
// read from the live records and encoded as flat tagged values whose tags are
// the leaf names of the operational schema. Only VPNs with PIM enabled and an
// id other than 0 have rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "zconfd/zconfd.h"

struct t_zconfd_context;

// Room of one row.
inline constexpr int PIM_SHOW_MAX_VALUES = 32;
inline constexpr size_t PIM_SHOW_NUM_CALLPOINTS = 10;

// The callpoints in their registration order.
extern const std::array<t_zconfd_data_cbs, PIM_SHOW_NUM_CALLPOINTS> kemd_callpoint;

// Registers every callpoint; called from the data-callback hook of the
// daemon's registration. Returns 0.
int pim_show_init(t_zconfd_context *ctxt_p);

// Durations as "%d:%02d:%02d:%02d" (days, hours, minutes, seconds), with the
// years in front ("%dy ...") from 365 days on.
char *zul_util_get_time_ddhhmmss(uint64_t seconds, char *buf, size_t size);
// The time passed since a wall-clock instant, in the same form.
char *zul_util_get_time(time_t since, char *buf, size_t size);
