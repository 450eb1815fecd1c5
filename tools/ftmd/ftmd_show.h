// ftmd's state for operators and tests: the forwarding table with its
// counters, written as one JSON document every second (replaced atomically).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "tools/ftmd/ftmd_table.h"

void ftmd_show_write(const std::string &path, const char *backend,
                     const std::map<uint64_t, std::unique_ptr<t_ftmd_ns>> &nss,
                     uint64_t bad_messages);
