#include "zconfd/zconfd_value.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

t_zconfd_value zconfd_val_make(uint32_t tag, e_zconfd_vtype type)
{
    t_zconfd_value val{};
    val.tag = tag;
    val.type = type;
    return val;
}

} // namespace

t_zconfd_value zconfd_val_begin(uint32_t tag)
{
    return zconfd_val_make(tag, ZCONFD_VT_XMLBEGIN);
}
t_zconfd_value zconfd_val_end(uint32_t tag)
{
    return zconfd_val_make(tag, ZCONFD_VT_XMLEND);
}
t_zconfd_value zconfd_val_noexists(uint32_t tag)
{
    return zconfd_val_make(tag, ZCONFD_VT_NOEXISTS);
}

t_zconfd_value zconfd_val_bool(uint32_t tag, bool b)
{
    t_zconfd_value val = zconfd_val_make(tag, ZCONFD_VT_BOOL);
    val.v.b = b;
    return val;
}

t_zconfd_value zconfd_val_uint(uint32_t tag, e_zconfd_vtype type, uint64_t u)
{
    t_zconfd_value val = zconfd_val_make(tag, type);
    val.v.u64 = u;
    return val;
}

t_zconfd_value zconfd_val_int(uint32_t tag, int64_t i)
{
    t_zconfd_value val = zconfd_val_make(tag, ZCONFD_VT_INT);
    val.v.i64 = i;
    return val;
}

t_zconfd_value zconfd_val_enum(uint32_t tag, int32_t e)
{
    t_zconfd_value val = zconfd_val_make(tag, ZCONFD_VT_ENUM);
    val.v.i64 = e;
    return val;
}

t_zconfd_value zconfd_val_str(uint32_t tag, const char *str_p)
{
    t_zconfd_value val = zconfd_val_make(tag, ZCONFD_VT_STR);
    val.str_p = str_p;
    return val;
}

t_zconfd_value zconfd_val_ipaddr(uint32_t tag, const t_ipaddr *addr)
{
    t_zconfd_value val = zconfd_val_make(tag, IPADDR_IS_V6(addr) ? ZCONFD_VT_IPV6 : ZCONFD_VT_IPV4);
    IPADDR_COPY(&val.v.addr, addr);
    return val;
}

t_zconfd_value zconfd_val_ipprefix(uint32_t tag, const t_ipprefix *prefix)
{
    t_zconfd_value val =
        zconfd_val_make(tag, IPPREFIX_IS_V6(prefix) ? ZCONFD_VT_IPV6PREFIX : ZCONFD_VT_IPV4PREFIX);
    IPPREFIX_COPY(&val.v.prefix, prefix);
    return val;
}

uint64_t zconfd_val_to_u64(const t_zconfd_value *val)
{
    switch (val->type) {
    case ZCONFD_VT_BOOL:
        return val->v.b ? 1 : 0;
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        return static_cast<uint64_t>(val->v.i64);
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_BITS:
        return val->v.u64;
    default:
        return 0;
    }
}

char *zconfd_val_print(const t_zconfd_value *val, char *buf, size_t size)
{
    switch (val->type) {
    case ZCONFD_VT_XMLBEGIN:
        snprintf(buf, size, "<begin>");
        break;
    case ZCONFD_VT_XMLEND:
        snprintf(buf, size, "<end>");
        break;
    case ZCONFD_VT_NOEXISTS:
        snprintf(buf, size, "<noexists>");
        break;
    case ZCONFD_VT_BOOL:
        snprintf(buf, size, "%s", val->v.b ? "true" : "false");
        break;
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        snprintf(buf, size, "%" PRId64, val->v.i64);
        break;
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_BITS:
        snprintf(buf, size, "%" PRIu64, val->v.u64);
        break;
    case ZCONFD_VT_STR:
    case ZCONFD_VT_BUF:
    case ZCONFD_VT_DECIMAL:
        snprintf(buf, size, "%s", val->str_p != nullptr ? val->str_p : "");
        break;
    case ZCONFD_VT_IPV4:
    case ZCONFD_VT_IPV6:
        ipaddr_print(&val->v.addr, buf, size);
        break;
    case ZCONFD_VT_IPV4PREFIX:
    case ZCONFD_VT_IPV6PREFIX:
        ipprefix_print(&val->v.prefix, buf, size);
        break;
    default:
        snprintf(buf, size, "<type %u>", val->type);
        break;
    }
    return buf;
}

int zconfd_ip_prefix_str_to_t_ipprefix(const char *text, t_ipprefix *prefix)
{
    if (text == nullptr) {
        return -1;
    }
    const char *slash = strchr(text, '/');
    if (slash == nullptr || slash == text || static_cast<size_t>(slash - text) >= IPADDR_STR_LEN) {
        return -1;
    }
    char addr_txt[IPADDR_STR_LEN];
    memcpy(addr_txt, text, static_cast<size_t>(slash - text));
    addr_txt[slash - text] = '\0';
    char *end = nullptr;
    unsigned long len = strtoul(slash + 1, &end, 10);
    if (end == slash + 1 || *end != '\0') {
        return -1;
    }
    t_ipaddr addr{};
    if (str_to_ip(addr_txt, &addr) != 1) {
        return -1;
    }
    if (len > (IPADDR_IS_V4(&addr) ? 32ul : 128ul)) {
        return -1;
    }
    IPADDR_COPY(&prefix->addr, &addr);
    prefix->prefixlen = static_cast<uint8_t>(len);
    return 0;
}

int zconfd_val_to_ipprefix(const t_zconfd_value *val, t_ipprefix *prefix)
{
    switch (val->type) {
    case ZCONFD_VT_IPV4PREFIX:
    case ZCONFD_VT_IPV6PREFIX:
        IPPREFIX_COPY(prefix, &val->v.prefix);
        return 0;
    case ZCONFD_VT_STR:
        return zconfd_ip_prefix_str_to_t_ipprefix(val->str_p, prefix);
    default:
        return -1;
    }
}
