#include "common/pb_util.h"

#include <arpa/inet.h>

#include "proto/pb_common.pb-c.h"
#include "proto/rtm.pb-c.h"

void pb_util_text_to_ipaddr(bool is_ipv4, const char *text, t_ipaddr *addr_p)
{
    if (text == nullptr || addr_p == nullptr) {
        return;
    }
    IPADDR_INIT(addr_p, IP_ADDR_UNKNOWN);
    if (is_ipv4) {
        in_addr a4;
        if (inet_pton(AF_INET, text, &a4) == 1) {
            IPADDR_SET_V4(addr_p, ntohl(a4.s_addr));
        }
        return;
    }
    uint8_t a6[16];
    if (inet_pton(AF_INET6, text, a6) == 1) {
        IPADDR_SET_V6(addr_p, a6);
    }
}

void pb_util_to_ipaddr(const PbIpAddress *msg_p, t_ipaddr *addr_p)
{
    if (msg_p != nullptr) {
        pb_util_text_to_ipaddr(msg_p->is_ipv4, msg_p->address, addr_p);
    }
}

void pb_util_to_ipaddr(const MIpAddress *msg_p, t_ipaddr *addr_p)
{
    if (msg_p != nullptr) {
        pb_util_text_to_ipaddr(msg_p->is_ipv4, msg_p->address, addr_p);
    }
}

void pb_util_from_ipaddr(const t_ipaddr *addr_p, PbIpAddress *msg_p, char *text, size_t size)
{
    msg_p->is_ipv4 = IPADDR_IS_V4(addr_p);
    msg_p->address = ipaddr_print(addr_p, text, size);
}

void pb_util_from_ipaddr(const t_ipaddr *addr_p, MIpAddress *msg_p, char *text, size_t size)
{
    msg_p->is_ipv4 = IPADDR_IS_V4(addr_p);
    msg_p->address = ipaddr_print(addr_p, text, size);
}
