// Addresses and prefixes. IPv4 is held as a host-order number (224.0.0.13 is
// 0xE000000D) and turned to network order only at sockets and on the wire; IPv6
// is held as its 16 bytes in network order. Every table keyed by addresses
// relies on the total order of IPADDR_CMP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

enum e_ipaddr_type : uint32_t {
    IP_ADDR_UNKNOWN = 0,
    IP_ADDR_V4 = AF_INET,
    IP_ADDR_V6 = AF_INET6,
};

struct t_ipaddr {
    e_ipaddr_type addr_type;
    union {
        uint32_t addr4;
        uint64_t addr6[2];
        uint8_t addr6_b[16];
        uint16_t addr16_b[8];
        uint32_t addr32_b[4];
    } u;
};

struct t_ipprefix {
    t_ipaddr addr;
    uint8_t prefixlen;
};

// Large enough for any address or prefix text.
inline constexpr size_t IPADDR_STR_LEN = 64;

void IPADDR_INIT(t_ipaddr *addr, e_ipaddr_type type);
void IPPREFIX_INIT(t_ipprefix *prefix, e_ipaddr_type type);
void IPADDR_SET_V4(t_ipaddr *addr, uint32_t host_order);
void IPADDR_SET_V6(t_ipaddr *addr, const uint8_t bytes[16]);
void IPADDR_COPY(t_ipaddr *to, const t_ipaddr *from);
void IPPREFIX_COPY(t_ipprefix *to, const t_ipprefix *from);
inline bool IPADDR_IS_V4(const t_ipaddr *a) { return a->addr_type == IP_ADDR_V4; }
inline bool IPADDR_IS_V6(const t_ipaddr *a) { return a->addr_type == IP_ADDR_V6; }
inline bool IPPREFIX_IS_V4(const t_ipprefix *p) { return IPADDR_IS_V4(&p->addr); }
inline bool IPPREFIX_IS_V6(const t_ipprefix *p) { return IPADDR_IS_V6(&p->addr); }
bool IPADDR_IS_ZERO(const t_ipaddr *addr);
int IPADDR_CMP(const t_ipaddr *a, const t_ipaddr *b);
int IPPREFIX_CMP(const t_ipprefix *a, const t_ipprefix *b);

char *ipv4_print(uint32_t host_order, char *buf, size_t size);
char *ipaddr_print(const t_ipaddr *addr, char *buf, size_t size);
char *ipprefix_print(const t_ipprefix *prefix, char *buf, size_t size);

bool ipaddr_is_multicast(const t_ipaddr *addr);
bool ipaddr_is_unicast(const t_ipaddr *addr);
bool ipprefix_is_valid(const t_ipprefix *prefix);
constexpr uint32_t IPV4_PREFIXLEN_TO_VAL(unsigned len)
{
    return len == 0 ? 0u : (len >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - len)) - 1u));
}
void ip_prefixlen_to_mask(unsigned len, t_ipaddr *addr);
// True when the address lies inside the prefix (same family, leading bits equal).
bool ipprefix_contains(const t_ipprefix *prefix, const t_ipaddr *addr);
int str_to_ip(const char *text, t_ipaddr *addr);

// A printable copy of an address for one log line: ipaddr_str(&a).c.
struct t_ipaddr_str {
    char c[IPADDR_STR_LEN];
};
t_ipaddr_str ipaddr_str(const t_ipaddr *addr);
