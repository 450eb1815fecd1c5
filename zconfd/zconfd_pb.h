// Conversions between tagged values and their wire form, and sending one
// agent message over a message-queue link. Shared by the framework and cdbd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "proto/cdb.pb-c.h"
#include "zconfd/zconfd_value.h"

struct msgq_handle_t;

// Decodes one wire value; strings stay borrowed from pb. False when the value
// is malformed (unknown type, missing payload, bad address text).
bool zconfd_pb_to_value(const Cdb__Value *pb, t_zconfd_value *val);

// Wire values built from tagged values, owning every text they point to.
class t_zconfd_pb_values
{
  public:
    void add(const t_zconfd_value *val);
    void add_all(const t_zconfd_value *vals, int num);
    size_t size() const { return ptrs_.size(); }
    Cdb__Value **data() { return ptrs_.data(); }
    const char *keep(std::string text);

  private:
    std::deque<Cdb__Value> vals_;
    std::vector<Cdb__Value *> ptrs_;
    std::deque<std::string> texts_;
};

// Packs msg into a fresh message-queue buffer and writes it. 0 on success;
// -1 when it does not fit a message or the link refused it.
int zconfd_msg_send(msgq_handle_t *handle, const Cdb__CdbMsg *msg);
