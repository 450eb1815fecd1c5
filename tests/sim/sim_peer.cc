#include "tests/sim/sim_peer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kemd_sim
{

namespace
{

// Poll slice while a pump is installed, so the loop under test keeps moving.
constexpr int SIM_PUMP_SLICE_MS = 2;

bool make_addr(const std::string &path, sockaddr_un *sun)
{
    memset(sun, 0, sizeof(*sun));
    if (path.empty() || path.size() >= sizeof(sun->sun_path)) {
        return false;
    }
    sun->sun_family = AF_UNIX;
    memcpy(sun->sun_path, path.data(), path.size());
    return true;
}

uint16_t get16(const std::vector<uint8_t> &v, size_t off)
{
    uint16_t x;
    memcpy(&x, v.data() + off, sizeof(x));
    return x;
}

} // namespace

int64_t sim_now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint16_t t_sim_frame::magic1() const { return get16(header, 0); }
uint16_t t_sim_frame::size() const { return get16(header, 2); }

std::string t_sim_frame::head() const
{
    return std::to_string(src_mod()) + ">" + std::to_string(tgt_mod()) + " type " +
           std::to_string(msg_type()) + " size " + std::to_string(size()) + " magic " +
           std::to_string(magic1()) + "/" + std::to_string(magic2());
}

std::unique_ptr<t_sim_peer> t_sim_peer::listen(const std::string &path, t_sim_framing framing)
{
    sockaddr_un sun;
    if (!make_addr(path, &sun)) {
        return nullptr;
    }
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0 || ::listen(fd, 16) != 0) {
        close(fd);
        return nullptr;
    }
    std::unique_ptr<t_sim_peer> peer(new t_sim_peer(framing));
    peer->listen_fd_ = fd;
    peer->path_ = path;
    return peer;
}

std::unique_ptr<t_sim_peer> t_sim_peer::connect(const std::string &path, t_sim_framing framing)
{
    sockaddr_un sun;
    if (!make_addr(path, &sun)) {
        return nullptr;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return nullptr;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0) {
        close(fd);
        return nullptr;
    }
    std::unique_ptr<t_sim_peer> peer(new t_sim_peer(framing));
    peer->conn_fd_ = fd;
    return peer;
}

std::unique_ptr<t_sim_peer> t_sim_peer::connect_wait(const std::string &path, t_sim_framing framing,
                                                     int timeout_ms, t_pump pump)
{
    int64_t end = sim_now_ms() + timeout_ms;
    for (;;) {
        auto peer = connect(path, framing);
        if (peer != nullptr) {
            peer->set_pump(pump);
            return peer;
        }
        if (sim_now_ms() >= end) {
            return nullptr;
        }
        if (pump) {
            pump();
        }
        usleep(SIM_PUMP_SLICE_MS * 1000);
    }
}

t_sim_peer::~t_sim_peer()
{
    drop();
    stop_listening();
}

void t_sim_peer::drop()
{
    if (conn_fd_ >= 0) {
        close(conn_fd_);
        conn_fd_ = -1;
    }
    rx_.clear();
    eof_ = false;
}

void t_sim_peer::stop_listening()
{
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        unlink(path_.c_str());
    }
}

void t_sim_peer::set_rcvbuf(int bytes)
{
    if (conn_fd_ >= 0) {
        setsockopt(conn_fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    }
}

bool t_sim_peer::poll_for(int fd, short events, int timeout_ms)
{
    int64_t end = sim_now_ms() + timeout_ms;
    for (;;) {
        int64_t left = end - sim_now_ms();
        int slice = pump_ ? SIM_PUMP_SLICE_MS : static_cast<int>(left > 0 ? left : 0);
        pollfd pfd{fd, events, 0};
        int rc = poll(&pfd, 1, slice);
        if (rc > 0) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            return false;
        }
        if (left <= 0) {
            return false;
        }
        if (pump_) {
            pump_();
        }
    }
}

void t_sim_peer::idle(int ms)
{
    sim_idle(
        pump_ ? pump_ : [] {}, ms);
}

bool t_sim_peer::wait_connected(int timeout_ms)
{
    if (listen_fd_ < 0) {
        return conn_fd_ >= 0;
    }
    if (!poll_for(listen_fd_, POLLIN, timeout_ms)) {
        return false;
    }
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    drop();
    conn_fd_ = fd;
    return true;
}

bool t_sim_peer::send_raw(std::span<const uint8_t> bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        if (conn_fd_ < 0) {
            return false;
        }
        ssize_t n = send(conn_fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!poll_for(conn_fd_, POLLOUT, 5000)) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

std::vector<uint8_t> t_sim_peer::lib_frame(uint16_t size, uint8_t src, uint8_t tgt, uint8_t type,
                                           std::span<const uint8_t> payload, uint16_t magic1,
                                           uint8_t magic2)
{
    // Sized once: growing the header by insert makes g++ 12 at -O2 report a
    // copy out of bounds that cannot happen.
    std::vector<uint8_t> f(SIM_LIB_HDR_LEN + payload.size());
    memcpy(f.data(), &magic1, 2);
    memcpy(f.data() + 2, &size, 2);
    f[4] = src;
    f[5] = tgt;
    f[6] = type;
    f[7] = magic2;
    std::copy(payload.begin(), payload.end(), f.begin() + SIM_LIB_HDR_LEN);
    return f;
}

bool t_sim_peer::send_msg(std::span<const uint8_t> payload)
{
    if (framing_.app_header) {
        std::vector<uint8_t> hdr(framing_.hdr_size, 0);
        return send_app(hdr, payload);
    }
    auto f = lib_frame(static_cast<uint16_t>(SIM_LIB_HDR_LEN + payload.size()), framing_.src_mod,
                       framing_.tgt_mod, SIM_TYPE_APP, payload);
    return send_raw(f);
}

bool t_sim_peer::send_app(std::span<const uint8_t> header, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> f(header.begin(), header.end());
    f.resize(framing_.hdr_size, 0);
    size_t total = f.size() + payload.size();
    f[framing_.len_offset] = static_cast<uint8_t>(total >> 8);
    f[framing_.len_offset + 1u] = static_cast<uint8_t>(total);
    f.insert(f.end(), payload.begin(), payload.end());
    return send_raw(f);
}

bool t_sim_peer::send_register()
{
    return send_raw(
        lib_frame(SIM_LIB_HDR_LEN, framing_.src_mod, framing_.tgt_mod, SIM_TYPE_REGISTER, {}));
}

bool t_sim_peer::fill()
{
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(conn_fd_, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            rx_.insert(rx_.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        eof_ = true;
        return false;
    }
}

std::optional<t_sim_frame> t_sim_peer::take_frame()
{
    size_t hlen = framing_.header_len();
    if (rx_.size() < hlen) {
        return std::nullopt;
    }
    size_t total;
    if (framing_.app_header) {
        total = static_cast<size_t>(rx_[framing_.len_offset]) << 8 | rx_[framing_.len_offset + 1u];
    } else {
        t_sim_frame probe;
        probe.header.assign(rx_.begin(), rx_.begin() + SIM_LIB_HDR_LEN);
        total = probe.msg_type() == SIM_TYPE_REGISTER ? SIM_LIB_HDR_LEN : probe.size();
    }
    if (total < hlen) {
        total = hlen;
    }
    if (rx_.size() < total) {
        return std::nullopt;
    }
    t_sim_frame f;
    f.header.assign(rx_.begin(), rx_.begin() + static_cast<long>(hlen));
    f.payload.assign(rx_.begin() + static_cast<long>(hlen), rx_.begin() + static_cast<long>(total));
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(total));
    return f;
}

std::optional<t_sim_frame> t_sim_peer::recv_frame(int timeout_ms)
{
    int64_t end = sim_now_ms() + timeout_ms;
    for (;;) {
        if (auto f = take_frame()) {
            return f;
        }
        if (conn_fd_ < 0 || eof_) {
            return std::nullopt;
        }
        int64_t left = end - sim_now_ms();
        if (left < 0 || !poll_for(conn_fd_, POLLIN, static_cast<int>(left))) {
            return std::nullopt;
        }
        fill();
    }
}

bool t_sim_peer::wait_eof(int timeout_ms)
{
    int64_t end = sim_now_ms() + timeout_ms;
    while (!eof_) {
        if (conn_fd_ < 0) {
            return false;
        }
        int64_t left = end - sim_now_ms();
        if (left < 0 || !poll_for(conn_fd_, POLLIN, static_cast<int>(left))) {
            return false;
        }
        fill();
        rx_.clear();
    }
    return true;
}

bool sim_wait(const t_sim_peer::t_pump &pump, const std::function<bool()> &pred, int timeout_ms)
{
    int64_t end = sim_now_ms() + timeout_ms;
    while (!pred()) {
        if (sim_now_ms() > end) {
            return false;
        }
        pump();
        usleep(1000);
    }
    return true;
}

void sim_idle(const t_sim_peer::t_pump &pump, int ms)
{
    int64_t end = sim_now_ms() + ms;
    sim_wait(
        pump, [&] { return sim_now_ms() > end; }, ms + 1000);
}

int sim_run_as(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::function<int()> &fn,
               const t_sim_peer::t_pump &pump, int timeout_ms)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0) {
            _exit(100);
        }
        _exit(fn());
    }
    int status = -1;
    if (!sim_wait(
            pump, [&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::function<int()> sim_stranger(const std::string &path, t_sim_framing framing)
{
    return [path, framing] {
        auto peer = t_sim_peer::connect(path, framing);
        if (peer == nullptr) {
            return 3;
        }
        if (!framing.app_header) {
            (void)peer->send_register();
        }
        return peer->wait_eof(3000) ? 0 : 1;
    };
}

} // namespace kemd_sim
