// Tagged values: the currency between the configuration agent and its client
// daemons. A value names its schema node by tag (a hash of the node name unless
// the schema overrides it) and carries a typed payload; container and list
// entries open and close with XMLBEGIN/XMLEND, absent nodes come as NOEXISTS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/ip_util.h"

// Same numbering as cdb.ValueType on the wire.
enum e_zconfd_vtype : uint8_t {
    ZCONFD_VT_NONE = 0,
    ZCONFD_VT_XMLBEGIN = 1,
    ZCONFD_VT_XMLEND = 2,
    ZCONFD_VT_NOEXISTS = 3,
    ZCONFD_VT_BOOL = 4,
    ZCONFD_VT_INT = 5,
    ZCONFD_VT_UINT8 = 6,
    ZCONFD_VT_UINT16 = 7,
    ZCONFD_VT_UINT32 = 8,
    ZCONFD_VT_UINT64 = 9,
    ZCONFD_VT_ENUM = 10,
    ZCONFD_VT_BITS = 11,
    ZCONFD_VT_STR = 12,
    ZCONFD_VT_BUF = 13,
    ZCONFD_VT_IPV4 = 14,
    ZCONFD_VT_IPV6 = 15,
    ZCONFD_VT_IPV4PREFIX = 16,
    ZCONFD_VT_IPV6PREFIX = 17,
    ZCONFD_VT_DECIMAL = 18,
    ZCONFD_VT_MAX = 19,
};

// Strings are borrowed: a value handed to a callback points into the received
// message and lives as long as the call; a value handed to the framework is
// copied before the call returns.
struct t_zconfd_value {
    uint32_t tag;
    uint8_t type; // e_zconfd_vtype
    union {
        bool b;
        int64_t i64;  // INT, ENUM
        uint64_t u64; // UINT8..UINT64, BITS
        t_ipaddr addr;
        t_ipprefix prefix;
    } v;
    const char *str_p; // STR, BUF, DECIMAL: NUL-terminated text
};

// The tag of a node name: 31-bit FNV-1a, so daemons can switch on constants.
constexpr uint32_t zconfd_tag(std::string_view name)
{
    uint32_t h = 2166136261u;
    for (char c : name) {
        h ^= static_cast<uint8_t>(c);
        h *= 16777619u;
    }
    return h & 0x7fffffffu;
}

t_zconfd_value zconfd_val_begin(uint32_t tag);
t_zconfd_value zconfd_val_end(uint32_t tag);
t_zconfd_value zconfd_val_noexists(uint32_t tag);
t_zconfd_value zconfd_val_bool(uint32_t tag, bool b);
t_zconfd_value zconfd_val_uint(uint32_t tag, e_zconfd_vtype type, uint64_t u);
t_zconfd_value zconfd_val_int(uint32_t tag, int64_t i);
t_zconfd_value zconfd_val_enum(uint32_t tag, int32_t e);
t_zconfd_value zconfd_val_str(uint32_t tag, const char *str_p);
t_zconfd_value zconfd_val_ipaddr(uint32_t tag, const t_ipaddr *addr);
t_zconfd_value zconfd_val_ipprefix(uint32_t tag, const t_ipprefix *prefix);

// Integer payload of any integer-like value (UINT*, INT, ENUM, BITS, BOOL).
uint64_t zconfd_val_to_u64(const t_zconfd_value *val);
// Text form of a value for logs and replies ("true", "10.1.1.1/24", ...).
char *zconfd_val_print(const t_zconfd_value *val, char *buf, size_t size);

// "10.1.1.1/24" or "2001:db8::1/64" to a prefix that keeps the host bits.
// Returns 0, or -1 on malformed text.
int zconfd_ip_prefix_str_to_t_ipprefix(const char *text, t_ipprefix *prefix);
// A value holding a prefix as text or as a typed prefix.
int zconfd_val_to_ipprefix(const t_zconfd_value *val, t_ipprefix *prefix);
