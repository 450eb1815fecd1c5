// Conversions between the daemon's addresses and the address records of the
// sibling daemons' protobuf messages (family flag plus address text), and the
// checks every received message passes before use.
#pragma once

#include <cstddef>
#include <cstring>

#include "common/ip_util.h"

struct PbIpAddress;
struct MIpAddress;
struct ProtobufCMessage;

// protobuf-c keeps whatever number arrived in an enum field, in or out of the
// enumeration, and loading an out-of-range number as the enum type is
// undefined: a received enum field is read as a plain number.
template <typename E> int pb_util_enum_value(const E &field)
{
    static_assert(sizeof(E) == sizeof(int));
    int value;
    memcpy(&value, &field, sizeof(value));
    return value;
}

// True when every enum field of the unpacked message, its set sub-messages and
// repeated entries holds a value of its enumeration. Messages that fail are
// refused whole, so the readers after this check see named values only.
bool pb_util_enums_valid(const ProtobufCMessage *msg_p);

// Leaves the address untouched when either pointer or the text is missing.
// IPv4 text is stored in host order; any other text is parsed as IPv6. Text
// that does not parse leaves an address of type IP_ADDR_UNKNOWN.
void pb_util_to_ipaddr(const PbIpAddress *msg_p, t_ipaddr *addr_p);
void pb_util_to_ipaddr(const MIpAddress *msg_p, t_ipaddr *addr_p);
void pb_util_text_to_ipaddr(bool is_ipv4, const char *text, t_ipaddr *addr_p);

// Fills a message address from an address; text must outlive the message.
void pb_util_from_ipaddr(const t_ipaddr *addr_p, PbIpAddress *msg_p, char *text, size_t size);
void pb_util_from_ipaddr(const t_ipaddr *addr_p, MIpAddress *msg_p, char *text, size_t size);
