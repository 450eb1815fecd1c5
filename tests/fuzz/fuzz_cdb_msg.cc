// The agent's decoder of client messages: arbitrary bytes as one message of a
// fresh session (daemon or operator), and arbitrary text as a configuration
// loaded into a candidate (through the schema).
#include <cstddef>
#include <cstdint>
#include <string>

#include <event2/event.h>

#include "tools/cdbd/cdbd_agent.h"

namespace
{

int fuzz_send(t_cdbd_session *, const Cdb__CdbMsg *msg)
{
    // Packing exercises every reply the agent builds.
    return cdb__cdb_msg__get_packed_size(msg) > 0 ? 0 : -1;
}

t_cdbd_agent *fuzz_agent()
{
    static t_cdbd_agent *agent = [] {
        auto *a = new t_cdbd_agent;
        t_cdbd_config config;
        config.yang_dir = KEMD_SOURCE_DIR "/yang";
        config.db_path = ":memory:";
        std::string err;
        if (cdbd_agent_init(a, config, event_base_new(), fuzz_send, &err) != 0) {
            __builtin_trap();
        }
        return a;
    }();
    return agent;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    t_cdbd_agent *agent = fuzz_agent();
    t_cdbd_session *s = cdbd_session_open(agent, nullptr, data[0]);
    if ((data[0] & 1) == 0) {
        cdbd_session_input(s, data + 1, size - 1);
    } else {
        std::string json(reinterpret_cast<const char *>(data + 1), size - 1);
        Cdb__LoadConfig load = CDB__LOAD_CONFIG__INIT;
        load.json = json.data();
        Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
        msg.seq = 1;
        msg.body_case = CDB__CDB_MSG__BODY_LOAD_CONFIG;
        msg.load_config = &load;
        std::string bytes(cdb__cdb_msg__get_packed_size(&msg), '\0');
        cdb__cdb_msg__pack(&msg, reinterpret_cast<uint8_t *>(bytes.data()));
        cdbd_session_input(s, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        // A candidate that loaded is committed, reaching validation and the store.
        Cdb__CommitRequest commit = CDB__COMMIT_REQUEST__INIT;
        msg.body_case = CDB__CDB_MSG__BODY_COMMIT;
        msg.commit = &commit;
        bytes.assign(cdb__cdb_msg__get_packed_size(&msg), '\0');
        cdb__cdb_msg__pack(&msg, reinterpret_cast<uint8_t *>(bytes.data()));
        cdbd_session_input(s, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    cdbd_session_close(s);
    return 0;
}
