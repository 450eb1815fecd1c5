#include "common/pb_util.h"

#include <arpa/inet.h>
#include <protobuf-c/protobuf-c.h>

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

bool pb_util_enums_valid(const ProtobufCMessage *msg_p)
{
    const ProtobufCMessageDescriptor *desc_p = msg_p->descriptor;
    const auto *base = reinterpret_cast<const uint8_t *>(msg_p);
    for (unsigned i = 0; i < desc_p->n_fields; i++) {
        const ProtobufCFieldDescriptor *f = &desc_p->fields[i];
        if (f->type != PROTOBUF_C_TYPE_ENUM && f->type != PROTOBUF_C_TYPE_MESSAGE) {
            continue;
        }
        // Members of a oneof share their storage: only the one set is read.
        if ((f->flags & PROTOBUF_C_FIELD_FLAG_ONEOF) != 0) {
            uint32_t which;
            memcpy(&which, base + f->quantifier_offset, sizeof(which));
            if (which != f->id) {
                continue;
            }
        }
        const uint8_t *items = base + f->offset;
        size_t count = 1;
        if (f->label == PROTOBUF_C_LABEL_REPEATED) {
            memcpy(&count, base + f->quantifier_offset, sizeof(count));
            memcpy(&items, base + f->offset, sizeof(items));
        }
        for (size_t k = 0; k < count; k++) {
            if (f->type == PROTOBUF_C_TYPE_ENUM) {
                int value;
                memcpy(&value, items + k * sizeof(int), sizeof(value));
                const auto *enum_p = static_cast<const ProtobufCEnumDescriptor *>(f->descriptor);
                if (protobuf_c_enum_descriptor_get_value(enum_p, value) == nullptr) {
                    return false;
                }
            } else {
                const ProtobufCMessage *sub_p;
                memcpy(&sub_p, items + k * sizeof(sub_p), sizeof(sub_p));
                if (sub_p != nullptr && !pb_util_enums_valid(sub_p)) {
                    return false;
                }
            }
        }
    }
    return true;
}
