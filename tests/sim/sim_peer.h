// Peer simulator: plays a sibling daemon over a real Unix stream socket, as the
// server listening at a path or as the client dialling one, in either framing
// of the message queue. It frames and parses on its own (never through the
// library under test) so that it catches faults in the library's framing.
//
// Every wait polls with a timeout. A test that runs a libevent loop in the same
// thread installs a pump (e.g. event_base_loop(base, EVLOOP_NONBLOCK)) which the
// waits call between short polls; a test may also drive the peer from its own
// thread, as long as one thread uses a given peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kemd_sim
{

inline constexpr uint16_t SIM_MAGIC1 = 0xBEAF;
inline constexpr uint8_t SIM_MAGIC2 = 12;
inline constexpr size_t SIM_LIB_HDR_LEN = 8;
inline constexpr uint8_t SIM_TYPE_REGISTER = 1;
inline constexpr uint8_t SIM_TYPE_APP = 2;

struct t_sim_framing {
    bool app_header = false;
    // Library header: the module ids this peer writes (src) and expects (tgt).
    uint8_t src_mod = 0;
    uint8_t tgt_mod = 0;
    // Application header: its size and where the big-endian 16-bit length sits.
    uint8_t hdr_size = 0;
    uint8_t len_offset = 0;

    static t_sim_framing library(uint8_t src, uint8_t tgt) { return {false, src, tgt, 0, 0}; }
    static t_sim_framing app(uint8_t size, uint8_t offset) { return {true, 0, 0, size, offset}; }
    size_t header_len() const { return app_header ? hdr_size : SIM_LIB_HDR_LEN; }
};

// One received frame, split at the framing's header.
struct t_sim_frame {
    std::vector<uint8_t> header;
    std::vector<uint8_t> payload;

    // Library-header fields (host byte order, as on the wire).
    uint16_t magic1() const;
    uint16_t size() const;
    uint8_t src_mod() const { return header.at(4); }
    uint8_t tgt_mod() const { return header.at(5); }
    uint8_t msg_type() const { return header.at(6); }
    uint8_t magic2() const { return header.at(7); }
    bool is_register() const { return header.size() == SIM_LIB_HDR_LEN && msg_type() == 1; }
    // The library header in one line: "src>tgt type T size N magic M1/M2".
    std::string head() const;
};

class t_sim_peer
{
  public:
    using t_pump = std::function<void()>;

    // A server at path (a stale file is removed); nullptr when it cannot listen.
    static std::unique_ptr<t_sim_peer> listen(const std::string &path, t_sim_framing framing);
    // A client connected to path; nullptr when nobody listens there.
    static std::unique_ptr<t_sim_peer> connect(const std::string &path, t_sim_framing framing);
    // Keeps dialling until connected or the timeout passes (pumping meanwhile).
    static std::unique_ptr<t_sim_peer> connect_wait(const std::string &path, t_sim_framing framing,
                                                    int timeout_ms, t_pump pump = nullptr);

    ~t_sim_peer();
    t_sim_peer(const t_sim_peer &) = delete;
    t_sim_peer &operator=(const t_sim_peer &) = delete;

    void set_pump(t_pump pump) { pump_ = std::move(pump); }
    const t_sim_framing &framing() const { return framing_; }

    // Server: accepts the next connection (dropping the current one, if any).
    bool wait_connected(int timeout_ms);

    bool send_raw(std::span<const uint8_t> bytes);
    // Library header: src/tgt of the framing, type 2, size = 8 + payload.
    // Application header: a zeroed header (or the given one) with the length patched in.
    bool send_msg(std::span<const uint8_t> payload);
    bool send_app(std::span<const uint8_t> header, std::span<const uint8_t> payload);
    bool send_register();
    // Library-header frame with every field given (for lying or broken frames).
    static std::vector<uint8_t> lib_frame(uint16_t size, uint8_t src, uint8_t tgt, uint8_t type,
                                          std::span<const uint8_t> payload,
                                          uint16_t magic1 = 0xBEAF, uint8_t magic2 = 12);

    // The next whole frame, or nothing when the timeout passed or the peer closed.
    std::optional<t_sim_frame> recv_frame(int timeout_ms);
    // True once the other end closed (anything still arriving is discarded).
    bool wait_eof(int timeout_ms);
    // Bytes received but not yet returned as frames.
    size_t buffered() const { return rx_.size(); }
    // Closes the connection; a server keeps listening.
    void drop();
    // Closes the listener too and removes its socket file.
    void stop_listening();
    // Shrinks the kernel receive buffer of the connection (to fill the writer's queue).
    void set_rcvbuf(int bytes);

    // Pumps for the given time without reading (lets the loop under test run).
    void idle(int ms);

  private:
    t_sim_peer(t_sim_framing framing) : framing_(framing) {}
    // Polls fd for events in slices, pumping between them; false on timeout.
    bool poll_for(int fd, short events, int timeout_ms);
    // Reads what is available into rx_; false at end of stream or error.
    bool fill();
    std::optional<t_sim_frame> take_frame();

    t_sim_framing framing_;
    t_pump pump_;
    std::string path_;
    int listen_fd_ = -1;
    int conn_fd_ = -1;
    bool eof_ = false;
    std::vector<uint8_t> rx_;
};

// Milliseconds of a monotonic clock, for waits in tests.
int64_t sim_now_ms();

// Pumps the loop under test until pred holds; false once timeout_ms passed.
bool sim_wait(const t_sim_peer::t_pump &pump, const std::function<bool()> &pred,
              int timeout_ms = 5000);
// Pumps the loop under test for ms.
void sim_idle(const t_sim_peer::t_pump &pump, int ms);

// Runs fn in a child as user uid, primary group gid and the given groups,
// pumping the loop under test meanwhile; fn's exit status (100 when the child
// could not take that identity, -1 when it did not end in time).
int sim_run_as(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::function<int()> &fn,
               const t_sim_peer::t_pump &pump, int timeout_ms = 10000);
// For sim_run_as: connects to path, registers (library framing) and expects to
// be shown the door; 0 when it was, 1 when served, 3 when it could not connect.
std::function<int()> sim_stranger(const std::string &path, t_sim_framing framing);

} // namespace kemd_sim
