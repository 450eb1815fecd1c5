// Internals of the configuration agent shared by its source files; not for
// users of the agent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <event2/util.h>
#include <libyang/libyang.h>
#include <memory>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "tools/cdbd/cdbd_agent.h"

namespace cdbd_internal
{

// Room left in one message for the texts and values of a reply.
inline constexpr size_t CDBD_CHUNK = MSGQ_MAX_APP_LEN - 1024;

// Wire values pointing into agent-owned values, alive while a message is packed.
class t_cdbd_pb_vals
{
  public:
    Cdb__Value **add(const std::vector<t_cdbd_val> &vals, size_t *n)
    {
        auto &ptrs = ptr_sets_.emplace_back();
        for (const t_cdbd_val &v : vals) {
            Cdb__Value &pb = vals_.emplace_back();
            cdbd_val_to_pb(v, &pb);
            ptrs.push_back(&pb);
        }
        *n = ptrs.size();
        return ptrs.data();
    }

  private:
    std::deque<Cdb__Value> vals_;
    std::deque<std::vector<Cdb__Value *>> ptr_sets_;
};

// Shared helpers (cdbd_agent.cc).
void cdbd_send(t_cdbd_session *s, Cdb__CdbMsg *msg);
void cdbd_reply_result(t_cdbd_session *s, uint32_t seq, bool ok, const std::string &error,
                       const std::string &text = "", uint64_t commit_id = 0);
std::string cdbd_tree_json(const lyd_node *tree);
bool cdbd_candidate_build(t_cdbd_agent *agent, const std::vector<t_cdbd_edit> &edits,
                          lyd_node **out, std::string *err);
bool cdbd_validate(t_cdbd_agent *agent, lyd_node **tree, std::string *err);
t_cdbd_session *cdbd_session_find(t_cdbd_agent *agent, const t_cdbd_session *s);
void cdbd_oper_set(t_cdbd_agent *agent, const std::string &path, const std::string &value);
void cdbd_oper_delete(t_cdbd_agent *agent, const std::string &path);
void cdbd_read_mask_set(t_cdbd_agent *agent, uint32_t mask);
void cdbd_dispatch(t_cdbd_session *s, Cdb__CdbMsg *msg);

// Transactions and their deliveries (cdbd_agent_txn.cc).
void cdbd_txn_timer_cb(evutil_socket_t, short, void *arg);
void cdbd_txn_free(t_cdbd_txn *txn);
void cdbd_txn_step(t_cdbd_agent *agent);
void cdbd_job_next(t_cdbd_agent *agent);
void cdbd_job_add(t_cdbd_agent *agent, std::unique_ptr<t_cdbd_txn> txn);
void cdbd_initial_read_check(t_cdbd_agent *agent);
void cdbd_delivery_reply(t_cdbd_session *s, const Cdb__DeliveryReply *reply);

// Operational data, notifications, show and actions (cdbd_agent_data.cc).
void cdbd_oper_write(t_cdbd_session *s, const Cdb__OperWrite *ow);
void cdbd_notif_send(t_cdbd_session *s, const t_cdbd_notif_rec &rec);
void cdbd_notification(t_cdbd_session *s, const Cdb__Notification *pn);
void cdbd_data_fail(t_cdbd_session *s, uint32_t seq, const std::string &error);
void cdbd_action_fail(t_cdbd_session *s, uint32_t seq, const std::string &error);
void cdbd_data_request(t_cdbd_session *s, uint32_t seq, const Cdb__DataRequest *req);
void cdbd_action_request(t_cdbd_session *s, uint32_t seq, const Cdb__ActionRequest *req);
void cdbd_forward_reply(t_cdbd_session *s, Cdb__CdbMsg *msg);

} // namespace cdbd_internal
