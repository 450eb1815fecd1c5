// The configuration agent cdbd as a child process in a directory of its own,
// and the requests an operator or a daemon sends it over the agent protocol.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/zul_module.h"
#include "proto/cdb.pb-c.h"
#include "tests/sim/sim_peer.h"

namespace kemd_sim
{

// Runs args[0] in a child, its output in out_path (or discarded, unless
// CDBD_TEST_VERBOSE is set).
inline pid_t sim_spawn(std::vector<std::string> args, const std::string &out_path = "")
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = out_path.empty() ? open("/dev/null", O_WRONLY)
                                   : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!out_path.empty()) {
            dup2(out, STDOUT_FILENO);
        }
        if (!out_path.empty() || getenv("CDBD_TEST_VERBOSE") == nullptr) {
            dup2(out, STDERR_FILENO);
        }
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct t_cdb_free {
    void operator()(Cdb__CdbMsg *m) const { cdb__cdb_msg__free_unpacked(m, nullptr); }
};
using t_cdb_reply = std::unique_ptr<Cdb__CdbMsg, t_cdb_free>;

inline t_cdb_reply cdb_unpack(const t_sim_frame &f)
{
    return t_cdb_reply(cdb__cdb_msg__unpack(nullptr, f.payload.size(), f.payload.data()));
}

// A message with one body.
template <typename T>
Cdb__CdbMsg cdb_msg(Cdb__CdbMsg__BodyCase which, T *Cdb__CdbMsg::*field, T *value)
{
    Cdb__CdbMsg m = CDB__CDB_MSG__INIT;
    m.body_case = which;
    m.*field = value;
    return m;
}

inline bool cdb_send(t_sim_peer *peer, const Cdb__CdbMsg *msg)
{
    std::vector<uint8_t> bytes(cdb__cdb_msg__get_packed_size(msg));
    cdb__cdb_msg__pack(msg, bytes.data());
    return peer->send_msg(bytes);
}

// A final result: texts of its parts joined.
struct t_cdb_result {
    bool ok = false;
    std::string error;
    std::string text;
    uint64_t commit_id = 0;
};

struct t_cdb_agent {
    std::string dir;
    std::string sock;
    pid_t pid = -1;
    uint32_t seq = 0;
    t_sim_peer::t_pump pump;

    explicit t_cdb_agent(t_sim_peer::t_pump p) : pump(std::move(p))
    {
        char tmpl[] = "/tmp/cdbd-test.XXXXXX";
        dir = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
        chmod(dir.c_str(), 0755);
        sock = dir + "/cdbd.sock";
    }
    ~t_cdb_agent()
    {
        stop(SIGTERM);
        std::string cmd = "rm -rf " + dir;
        (void)system(cmd.c_str());
    }
    t_cdb_agent(const t_cdb_agent &) = delete;
    t_cdb_agent &operator=(const t_cdb_agent &) = delete;

    // Later options override earlier ones.
    bool start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {KEMD_BUILD_DIR "/tools/cdbd/cdbd",
                                         "-f",
                                         "-s",
                                         sock,
                                         "-d",
                                         dir + "/db/cdb.sqlite",
                                         "-y",
                                         KEMD_SOURCE_DIR "/yang",
                                         "-t",
                                         "3000"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = sim_spawn(args);
        return pid > 0 && sim_wait(pump, [&] { return access(sock.c_str(), F_OK) == 0; });
    }

    void stop(int sig)
    {
        if (pid > 0) {
            kill(pid, sig);
            waitpid(pid, nullptr, 0);
            pid = -1;
            if (sig == SIGKILL) {
                unlink(sock.c_str());
            }
        }
    }

    // A registered session of module mod.
    std::unique_ptr<t_sim_peer> connect(uint8_t mod = ZUL_MODULE_CLI)
    {
        auto peer =
            t_sim_peer::connect_wait(sock, t_sim_framing::library(mod, ZUL_MODULE_CDB), 3000, pump);
        if (peer != nullptr) {
            peer->send_register();
        }
        return peer;
    }

    // Sends msg and returns the reply with its sequence number.
    t_cdb_reply call(t_sim_peer *peer, Cdb__CdbMsg *msg)
    {
        msg->seq = ++seq;
        if (!cdb_send(peer, msg)) {
            return nullptr;
        }
        for (int64_t end = sim_now_ms() + 8000; sim_now_ms() < end;) {
            auto frame = peer->recv_frame(200);
            t_cdb_reply reply = frame ? cdb_unpack(*frame) : nullptr;
            if (reply != nullptr && reply->seq == msg->seq) {
                return reply;
            }
        }
        return nullptr;
    }

    t_cdb_result result(t_sim_peer *peer, Cdb__CdbMsg *msg)
    {
        t_cdb_result res;
        t_cdb_reply reply = call(peer, msg);
        EXPECT_NE(reply, nullptr);
        while (reply != nullptr && reply->body_case == CDB__CDB_MSG__BODY_RESULT) {
            res.ok = reply->result->ok;
            res.error = reply->result->error != nullptr ? reply->result->error : "";
            res.text += reply->result->text != nullptr ? reply->result->text : "";
            res.commit_id = reply->result->commit_id;
            auto frame = reply->result->more ? peer->recv_frame(3000) : std::nullopt;
            reply = frame ? cdb_unpack(*frame) : nullptr;
        }
        return res;
    }
};

} // namespace kemd_sim
