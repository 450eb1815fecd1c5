#include "common/ip_util.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "common/zul_assert.h"

void IPADDR_INIT(t_ipaddr *addr, e_ipaddr_type type)
{
    memset(addr, 0, sizeof(*addr));
    addr->addr_type = type;
}

void IPPREFIX_INIT(t_ipprefix *prefix, e_ipaddr_type type)
{
    memset(prefix, 0, sizeof(*prefix));
    prefix->addr.addr_type = type;
}

void IPADDR_SET_V4(t_ipaddr *addr, uint32_t host_order)
{
    IPADDR_INIT(addr, IP_ADDR_V4);
    addr->u.addr4 = host_order;
}

void IPADDR_SET_V6(t_ipaddr *addr, const uint8_t bytes[16])
{
    IPADDR_INIT(addr, IP_ADDR_V6);
    memcpy(addr->u.addr6_b, bytes, 16);
}

void IPADDR_COPY(t_ipaddr *to, const t_ipaddr *from)
{
    to->addr_type = from->addr_type;
    if (from->addr_type == IP_ADDR_V4) {
        to->u.addr4 = from->u.addr4;
    } else {
        memcpy(to->u.addr6_b, from->u.addr6_b, 16);
    }
}

void IPPREFIX_COPY(t_ipprefix *to, const t_ipprefix *from)
{
    IPADDR_COPY(&to->addr, &from->addr);
    to->prefixlen = from->prefixlen;
}

bool IPADDR_IS_ZERO(const t_ipaddr *addr)
{
    if (addr->addr_type == IP_ADDR_V4) {
        return addr->u.addr4 == 0;
    }
    if (addr->addr_type == IP_ADDR_V6) {
        return addr->u.addr6[0] == 0 && addr->u.addr6[1] == 0;
    }
    return true;
}

int IPADDR_CMP(const t_ipaddr *a, const t_ipaddr *b)
{
    if (a->addr_type != b->addr_type) {
        return a->addr_type < b->addr_type ? -1 : 1;
    }
    if (a->addr_type == IP_ADDR_V4) {
        return a->u.addr4 < b->u.addr4 ? -1 : (a->u.addr4 > b->u.addr4 ? 1 : 0);
    }
    ZUL_ASSERT(a->addr_type == IP_ADDR_V6);
    int c = memcmp(a->u.addr6_b, b->u.addr6_b, 16);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int IPPREFIX_CMP(const t_ipprefix *a, const t_ipprefix *b)
{
    int c = IPADDR_CMP(&a->addr, &b->addr);
    if (c != 0) {
        return c;
    }
    return a->prefixlen < b->prefixlen ? -1 : (a->prefixlen > b->prefixlen ? 1 : 0);
}

char *ipv4_print(uint32_t host_order, char *buf, size_t size)
{
    snprintf(buf, size, "%d.%d.%d.%d", static_cast<int>(host_order >> 24),
             static_cast<int>((host_order >> 16) & 0xff),
             static_cast<int>((host_order >> 8) & 0xff), static_cast<int>(host_order & 0xff));
    return buf;
}

char *ipaddr_print(const t_ipaddr *addr, char *buf, size_t size)
{
    if (addr->addr_type == IP_ADDR_V4) {
        return ipv4_print(addr->u.addr4, buf, size);
    }
    if (inet_ntop(AF_INET6, addr->u.addr6_b, buf, static_cast<socklen_t>(size)) == nullptr &&
        size > 0) {
        buf[0] = '\0';
    }
    return buf;
}

char *ipprefix_print(const t_ipprefix *prefix, char *buf, size_t size)
{
    char a[IPADDR_STR_LEN];
    snprintf(buf, size, "%s/%u", ipaddr_print(&prefix->addr, a, sizeof(a)),
             static_cast<unsigned>(prefix->prefixlen));
    return buf;
}

bool ipaddr_is_multicast(const t_ipaddr *addr)
{
    if (addr->addr_type == IP_ADDR_V4) {
        return (addr->u.addr4 >> 28) == 0xE;
    }
    if (addr->addr_type == IP_ADDR_V6) {
        return addr->u.addr6_b[0] == 0xFF;
    }
    return false;
}

bool ipaddr_is_unicast(const t_ipaddr *addr)
{
    if (addr->addr_type == IP_ADDR_V4) {
        uint32_t a = addr->u.addr4;
        uint32_t first = a >> 24;
        uint32_t last = a & 0xff;
        return first != 0 && first != 127 && a < 0xE0000000u && last != 0 && last != 255;
    }
    if (addr->addr_type == IP_ADDR_V6) {
        bool link_local = addr->u.addr6_b[0] == 0xFE && addr->u.addr6_b[1] == 0x80;
        return !link_local && !ipaddr_is_multicast(addr) && !IPADDR_IS_ZERO(addr);
    }
    return true;
}

bool ipprefix_is_valid(const t_ipprefix *prefix)
{
    if (IPPREFIX_IS_V4(prefix)) {
        return prefix->prefixlen <= 32;
    }
    if (IPPREFIX_IS_V6(prefix)) {
        return prefix->prefixlen <= 128;
    }
    return false;
}

void ip_prefixlen_to_mask(unsigned len, t_ipaddr *addr)
{
    if (addr->addr_type == IP_ADDR_V4) {
        addr->u.addr4 = IPV4_PREFIXLEN_TO_VAL(len);
    } else if (addr->addr_type == IP_ADDR_V6) {
        if (len > 128) {
            len = 128;
        }
        memset(addr->u.addr6_b, 0, 16);
        memset(addr->u.addr6_b, 0xFF, len / 8);
        if (len % 8 != 0) {
            addr->u.addr6_b[len / 8] = static_cast<uint8_t>(0xFF << (8 - len % 8));
        }
    }
}

bool ipprefix_contains(const t_ipprefix *prefix, const t_ipaddr *addr)
{
    if (prefix->addr.addr_type != addr->addr_type || !ipprefix_is_valid(prefix)) {
        return false;
    }
    t_ipaddr mask;
    IPADDR_INIT(&mask, addr->addr_type);
    ip_prefixlen_to_mask(prefix->prefixlen, &mask);
    if (addr->addr_type == IP_ADDR_V4) {
        return (addr->u.addr4 & mask.u.addr4) == (prefix->addr.u.addr4 & mask.u.addr4);
    }
    for (int i = 0; i < 16; i++) {
        if ((addr->u.addr6_b[i] & mask.u.addr6_b[i]) !=
            (prefix->addr.u.addr6_b[i] & mask.u.addr6_b[i])) {
            return false;
        }
    }
    return true;
}

int str_to_ip(const char *text, t_ipaddr *addr)
{
    in_addr v4;
    if (text != nullptr && inet_pton(AF_INET, text, &v4) == 1) {
        IPADDR_SET_V4(addr, ntohl(v4.s_addr));
        return 1;
    }
    uint8_t v6[16];
    if (text != nullptr && inet_pton(AF_INET6, text, v6) == 1) {
        IPADDR_SET_V6(addr, v6);
        return 1;
    }
    IPADDR_INIT(addr, IP_ADDR_UNKNOWN);
    return 0;
}

t_ipaddr_str ipaddr_str(const t_ipaddr *addr)
{
    t_ipaddr_str s;
    ipaddr_print(addr, s.c, sizeof(s.c));
    return s;
}
