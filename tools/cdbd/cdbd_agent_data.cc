// Operational data, notifications, show requests and actions, relayed
// between operators and the daemons that own them.
#include <event2/event.h>
#include <libyang/libyang.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/zul_log.h"
#include "tools/cdbd/cdbd_agent_internal.h"
#include "zconfd/zconfd.h"

using namespace cdbd_internal;

namespace
{

std::string cdbd_json_escape(const std::string &in)
{
    std::string out;
    for (char c : in) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

// JSON object text of tagged values (begin/end nest, others are members).
std::string cdbd_values_json(const t_cdbd_schema *schema, const std::vector<t_cdbd_val> &vals)
{
    std::string out = "{";
    bool first = true;
    int depth = 0;
    for (const t_cdbd_val &v : vals) {
        const char *name = cdbd_schema_tag_name(schema, v.tag);
        std::string key = name != nullptr ? name : std::to_string(v.tag);
        if (v.type == ZCONFD_VT_XMLEND) {
            if (depth > 0) {
                out += "}";
                depth--;
            }
            first = false;
            continue;
        }
        if (!first) {
            out += ",";
        }
        first = false;
        out += "\"" + cdbd_json_escape(key) + "\":";
        switch (v.type) {
        case ZCONFD_VT_XMLBEGIN:
            out += "{";
            depth++;
            first = true;
            break;
        case ZCONFD_VT_NOEXISTS:
            out += "null";
            break;
        case ZCONFD_VT_BOOL:
        case ZCONFD_VT_INT:
        case ZCONFD_VT_ENUM:
        case ZCONFD_VT_UINT8:
        case ZCONFD_VT_UINT16:
        case ZCONFD_VT_UINT32:
        case ZCONFD_VT_UINT64:
        case ZCONFD_VT_BITS:
            out += cdbd_val_text(v);
            break;
        default:
            out += "\"" + cdbd_json_escape(cdbd_val_text(v)) + "\"";
            break;
        }
    }
    for (; depth > 0; depth--) {
        out += "}";
    }
    return out + "}";
}

t_cdbd_session *cdbd_point_owner(t_cdbd_agent *agent, const std::string &name, bool action)
{
    t_cdbd_session *owner = nullptr;
    for (t_cdbd_session *s : agent->sessions) {
        if (s->daemon == nullptr) {
            continue;
        }
        const auto &points = action ? s->daemon->actionpoints : s->daemon->callpoints;
        if (std::find(points.begin(), points.end(), name) != points.end()) {
            owner = s;
        }
    }
    return owner;
}

// Key leaves of a list and of its ancestor lists, root first.
std::vector<const lysc_node *> cdbd_key_leaves(const lysc_node *snode)
{
    std::vector<const lysc_node *> chain;
    for (const lysc_node *s = snode; s != nullptr; s = s->parent) {
        if (s->nodetype == LYS_LIST) {
            chain.insert(chain.begin(), s);
        }
    }
    std::vector<const lysc_node *> keys;
    for (const lysc_node *list : chain) {
        const lysc_node *child;
        LY_LIST_FOR(lysc_node_child(list), child)
        {
            if (lysc_is_key(child)) {
                keys.push_back(child);
            }
        }
    }
    return keys;
}

} // namespace

namespace cdbd_internal
{

void cdbd_oper_write(t_cdbd_session *s, const Cdb__OperWrite *ow)
{
    t_cdbd_agent *agent = s->agent_p;
    agent->stats.oper_writes++;
    switch (ow->op) {
    case CDB__OPER_OP__OPER_DEL:
        cdbd_oper_delete(agent, ow->path);
        break;
    case CDB__OPER_OP__OPER_CREATE:
        agent->oper.emplace(ow->path, "");
        break;
    default: {
        t_cdbd_val val;
        if (ow->value == nullptr || !cdbd_val_from_pb(ow->value, &val)) {
            agent->stats.rx_bad++;
            return;
        }
        cdbd_oper_set(agent, ow->path, cdbd_val_text(val));
        break;
    }
    }
}

void cdbd_notif_send(t_cdbd_session *s, const t_cdbd_notif_rec &rec)
{
    Cdb__Notification n = CDB__NOTIFICATION__INIT;
    n.module = const_cast<char *>(rec.module.c_str());
    n.time_us = rec.time_us;
    n.name = const_cast<char *>(rec.name.c_str());
    n.text = const_cast<char *>(rec.text.c_str());
    n.has_id = true;
    n.id = rec.id;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_NOTIFICATION;
    msg.notification = &n;
    cdbd_send(s, &msg);
}

void cdbd_notification(t_cdbd_session *s, const Cdb__Notification *pn)
{
    t_cdbd_agent *agent = s->agent_p;
    std::vector<t_cdbd_val> vals;
    for (size_t i = 0; i < pn->n_values; i++) {
        t_cdbd_val v;
        if (!cdbd_val_from_pb(pn->values[i], &v)) {
            agent->stats.rx_bad++;
            return;
        }
        vals.push_back(std::move(v));
    }
    if (vals.empty() || vals[0].type != ZCONFD_VT_XMLBEGIN) {
        agent->stats.rx_bad++;
        return;
    }
    agent->stats.notifications++;
    t_cdbd_notif_rec rec;
    rec.module = s->daemon != nullptr ? s->daemon->mod_name : pn->module;
    rec.time_us = pn->time_us;
    const char *name = cdbd_schema_tag_name(&agent->schema, vals[0].tag);
    rec.name = name != nullptr ? name : std::to_string(vals[0].tag);
    rec.text = cdbd_values_json(&agent->schema, vals);
    if (cdbd_store_notif_add(&agent->store, &rec) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to store a notification of %s", rec.module.c_str());
    }
    for (t_cdbd_session *f : agent->sessions) {
        if (f->follow) {
            cdbd_notif_send(f, rec);
        }
    }
}

void cdbd_data_fail(t_cdbd_session *s, uint32_t seq, const std::string &error)
{
    Cdb__DataReply dr = CDB__DATA_REPLY__INIT;
    dr.found = false;
    dr.error = const_cast<char *>(error.c_str());
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REPLY;
    msg.data_reply = &dr;
    cdbd_send(s, &msg);
}

void cdbd_action_fail(t_cdbd_session *s, uint32_t seq, const std::string &error)
{
    Cdb__ActionReply ar = CDB__ACTION_REPLY__INIT;
    ar.ok = false;
    ar.error = const_cast<char *>(error.c_str());
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REPLY;
    msg.action_reply = &ar;
    cdbd_send(s, &msg);
}

void cdbd_data_request(t_cdbd_session *s, uint32_t seq, const Cdb__DataRequest *req)
{
    t_cdbd_agent *agent = s->agent_p;
    t_cdbd_session *owner = cdbd_point_owner(agent, req->callpoint, false);
    if (owner == nullptr) {
        cdbd_data_fail(s, seq, std::string("No daemon serves ") + req->callpoint);
        return;
    }
    // Keys given as text are typed by the callpoint's list in the schema.
    std::vector<const lysc_node *> key_leaves;
    if (auto it = agent->schema.callpoints.find(req->callpoint);
        it != agent->schema.callpoints.end()) {
        key_leaves = cdbd_key_leaves(it->second);
    }
    std::vector<t_cdbd_val> keys;
    for (size_t i = 0; i < req->n_keys; i++) {
        t_cdbd_val v;
        if (!cdbd_val_from_pb(req->keys[i], &v)) {
            cdbd_data_fail(s, seq, "Malformed key");
            return;
        }
        if (v.type == ZCONFD_VT_STR && i < key_leaves.size()) {
            std::string err;
            if (!cdbd_val_from_text(&agent->schema, key_leaves[i], v.s, &v, &err)) {
                cdbd_data_fail(s, seq, err);
                return;
            }
        }
        keys.push_back(std::move(v));
    }
    t_cdbd_pb_vals pv;
    Cdb__DataRequest fwd = CDB__DATA_REQUEST__INIT;
    fwd.callpoint = req->callpoint;
    fwd.op = req->op;
    fwd.keys = pv.add(keys, &fwd.n_keys);
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = agent->next_seq++;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REQUEST;
    msg.data_request = &fwd;
    agent->forwards[msg.seq] = {s, seq, owner, false};
    cdbd_send(owner, &msg);
}

void cdbd_action_request(t_cdbd_session *s, uint32_t seq, const Cdb__ActionRequest *req)
{
    t_cdbd_agent *agent = s->agent_p;
    t_cdbd_session *owner = cdbd_point_owner(agent, req->actionpoint, true);
    if (owner == nullptr) {
        cdbd_action_fail(s, seq, std::string("No daemon serves ") + req->actionpoint);
        return;
    }
    const lysc_node *input = nullptr;
    if (auto it = agent->schema.actionpoints.find(req->actionpoint);
        it != agent->schema.actionpoints.end()) {
        input = lysc_node_child(it->second);
        while (input != nullptr && input->nodetype != LYS_INPUT) {
            input = input->next;
        }
    }
    std::vector<t_cdbd_val> params;
    for (size_t i = 0; i < req->n_params; i++) {
        const Cdb__ActionParam *p = req->params[i];
        t_cdbd_val v;
        const lysc_node *leaf =
            input != nullptr ? lys_find_child(input, input->module, p->name, 0, 0, 0) : nullptr;
        if (input != nullptr && leaf == nullptr) {
            cdbd_action_fail(s, seq, std::string("Unknown parameter ") + p->name);
            return;
        }
        if (leaf != nullptr) {
            std::string err;
            if (!cdbd_val_from_text(&agent->schema, leaf, p->value, &v, &err)) {
                cdbd_action_fail(s, seq, err);
                return;
            }
        } else {
            v.tag = zconfd_tag(p->name);
            v.type = ZCONFD_VT_STR;
            v.s = p->value;
        }
        params.push_back(std::move(v));
    }
    for (size_t i = 0; i < req->n_values; i++) {
        t_cdbd_val v;
        if (!cdbd_val_from_pb(req->values[i], &v)) {
            cdbd_action_fail(s, seq, "Malformed parameter");
            return;
        }
        params.push_back(std::move(v));
    }
    t_cdbd_pb_vals pv;
    Cdb__ActionRequest fwd = CDB__ACTION_REQUEST__INIT;
    fwd.actionpoint = req->actionpoint;
    fwd.action = req->action;
    fwd.argv = req->argv;
    fwd.n_argv = req->n_argv;
    fwd.values = pv.add(params, &fwd.n_values);
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = agent->next_seq++;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REQUEST;
    msg.action_request = &fwd;
    agent->forwards[msg.seq] = {s, seq, owner, true};
    cdbd_send(owner, &msg);
}

// A daemon's answer to a forwarded request, relayed with node names filled in.
void cdbd_forward_reply(t_cdbd_session *s, Cdb__CdbMsg *msg)
{
    t_cdbd_agent *agent = s->agent_p;
    auto it = agent->forwards.find(msg->seq);
    bool action = msg->body_case == CDB__CDB_MSG__BODY_ACTION_REPLY;
    if (it == agent->forwards.end() || it->second.target_p != s || it->second.action != action) {
        agent->stats.rx_bad++;
        return;
    }
    t_cdbd_forward fwd = it->second;
    agent->forwards.erase(it);
    t_cdbd_session *origin = cdbd_session_find(agent, fwd.origin_p);
    if (origin == nullptr) {
        return;
    }
    msg->seq = fwd.origin_seq;
    // Names point into the schema while the reply is relayed.
    std::vector<Cdb__Value *> named;
    if (!action) {
        for (size_t i = 0; i < msg->data_reply->n_values; i++) {
            t_zconfd_value check;
            if (!zconfd_pb_to_value(msg->data_reply->values[i], &check)) {
                cdbd_data_fail(origin, fwd.origin_seq, "Malformed reply from the daemon");
                return;
            }
        }
        for (size_t i = 0; i < msg->data_reply->n_values; i++) {
            Cdb__Value *v = msg->data_reply->values[i];
            const char *name = cdbd_schema_tag_name(&agent->schema, v->tag);
            if (v->name == nullptr && name != nullptr) {
                v->name = const_cast<char *>(name);
                named.push_back(v);
            }
        }
    }
    cdbd_send(origin, msg);
    for (Cdb__Value *v : named) {
        v->name = nullptr;
    }
}

} // namespace cdbd_internal
