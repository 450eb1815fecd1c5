#include "zconfd/zconfd_pb.h"

#include <cstring>

#include "common/msgq_util.h"
#include "common/pb_util.h"

bool zconfd_pb_to_value(const Cdb__Value *pb, t_zconfd_value *val)
{
    *val = t_zconfd_value{};
    val->tag = pb->tag;
    int type = pb_util_enum_value(pb->type);
    if (type <= CDB__VALUE_TYPE__VT_NONE || type >= static_cast<int>(ZCONFD_VT_MAX)) {
        return false;
    }
    val->type = static_cast<uint8_t>(type);
    switch (val->type) {
    case ZCONFD_VT_XMLBEGIN:
    case ZCONFD_VT_XMLEND:
    case ZCONFD_VT_NOEXISTS:
        return true;
    case ZCONFD_VT_BOOL:
        val->v.b = pb->has_b && pb->b;
        return pb->has_b;
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        val->v.i64 = pb->i;
        return pb->has_i;
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_BITS:
        val->v.u64 = pb->u;
        return pb->has_u;
    case ZCONFD_VT_STR:
    case ZCONFD_VT_BUF:
    case ZCONFD_VT_DECIMAL:
        val->str_p = pb->s;
        return pb->s != nullptr;
    case ZCONFD_VT_IPV4:
    case ZCONFD_VT_IPV6:
        if (pb->s == nullptr || str_to_ip(pb->s, &val->v.addr) != 1) {
            return false;
        }
        return IPADDR_IS_V6(&val->v.addr) == (val->type == ZCONFD_VT_IPV6);
    case ZCONFD_VT_IPV4PREFIX:
    case ZCONFD_VT_IPV6PREFIX:
        if (zconfd_ip_prefix_str_to_t_ipprefix(pb->s, &val->v.prefix) != 0) {
            return false;
        }
        return IPPREFIX_IS_V6(&val->v.prefix) == (val->type == ZCONFD_VT_IPV6PREFIX);
    default:
        return false;
    }
}

const char *t_zconfd_pb_values::keep(std::string text)
{
    texts_.push_back(std::move(text));
    return texts_.back().c_str();
}

void t_zconfd_pb_values::add(const t_zconfd_value *val)
{
    Cdb__Value &pb = vals_.emplace_back();
    cdb__value__init(&pb);
    pb.tag = val->tag;
    pb.type = static_cast<Cdb__ValueType>(val->type);
    char buf[IPADDR_STR_LEN + 8];
    switch (val->type) {
    case ZCONFD_VT_BOOL:
        pb.has_b = true;
        pb.b = val->v.b;
        break;
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        pb.has_i = true;
        pb.i = val->v.i64;
        break;
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_BITS:
        pb.has_u = true;
        pb.u = val->v.u64;
        break;
    case ZCONFD_VT_STR:
    case ZCONFD_VT_BUF:
    case ZCONFD_VT_DECIMAL:
        pb.s = const_cast<char *>(keep(val->str_p != nullptr ? val->str_p : ""));
        break;
    case ZCONFD_VT_IPV4:
    case ZCONFD_VT_IPV6:
        pb.s = const_cast<char *>(keep(ipaddr_print(&val->v.addr, buf, sizeof(buf))));
        break;
    case ZCONFD_VT_IPV4PREFIX:
    case ZCONFD_VT_IPV6PREFIX:
        pb.s = const_cast<char *>(keep(ipprefix_print(&val->v.prefix, buf, sizeof(buf))));
        break;
    default:
        break;
    }
    ptrs_.push_back(&pb);
}

void t_zconfd_pb_values::add_all(const t_zconfd_value *vals, int num)
{
    for (int i = 0; i < num; i++) {
        add(&vals[i]);
    }
}

int zconfd_msg_send(msgq_handle_t *handle, const Cdb__CdbMsg *msg)
{
    size_t len = cdb__cdb_msg__get_packed_size(msg);
    if (len > MSGQ_MAX_APP_LEN || handle == nullptr) {
        return -1;
    }
    void *buf = msgq_msg_malloc(handle, static_cast<uint32_t>(len));
    if (buf == nullptr) {
        return -1;
    }
    cdb__cdb_msg__pack(msg, static_cast<uint8_t *>(buf));
    if (msgq_write(handle, buf, static_cast<uint32_t>(len)) != MSGQ_OK) {
        msgq_msg_free(handle, buf);
        return -1;
    }
    return 0;
}
