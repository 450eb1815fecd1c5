// Conversions between the daemon's addresses and the address records of the
// sibling daemons' protobuf messages (family flag plus address text).
#pragma once

#include <cstddef>

#include "common/ip_util.h"

struct PbIpAddress;
struct MIpAddress;

// Leaves the address untouched when either pointer or the text is missing.
// IPv4 text is stored in host order; any other text is parsed as IPv6. Text
// that does not parse leaves an address of type IP_ADDR_UNKNOWN.
void pb_util_to_ipaddr(const PbIpAddress *msg_p, t_ipaddr *addr_p);
void pb_util_to_ipaddr(const MIpAddress *msg_p, t_ipaddr *addr_p);
void pb_util_text_to_ipaddr(bool is_ipv4, const char *text, t_ipaddr *addr_p);

// Fills a message address from an address; text must outlive the message.
void pb_util_from_ipaddr(const t_ipaddr *addr_p, PbIpAddress *msg_p, char *text, size_t size);
void pb_util_from_ipaddr(const t_ipaddr *addr_p, MIpAddress *msg_p, char *text, size_t size);
