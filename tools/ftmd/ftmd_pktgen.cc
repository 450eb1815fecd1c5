// ftmd_pktgen: the traffic and control ends of ftmd's benchmark.
//   gen IF SECONDS SIZE SOURCE GROUP   sends UDP multicast frames out of IF as
//                                      fast as it can; prints frames sent
//   count IF SECONDS                   counts the group's frames arriving on IF
//   bare IN SECONDS OUT...             the bare AF_PACKET loop: every frame read
//                                      on IN is sent on each OUT, nothing checked
//   kemd PATH STATS ENTRIES SOURCE GROUP IN OUT...
//                                      plays the PIM daemon for one ftmd: programs
//                                      ENTRIES-1 filler entries and then the
//                                      (SOURCE,GROUP) entry from IN to the OUTs,
//                                      prints the programming rate, and stays
// Interfaces are names in the current network namespace. Run as root.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <net/ethernet.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "tools/ftmd/ftmd_dp_util.h"
#include "tools/ftmd/ftmd_link.h"

namespace
{

constexpr size_t BATCH = 64;
constexpr size_t FRAME = 2048;

using t_clock = std::chrono::steady_clock;

double elapsed_s(t_clock::time_point since)
{
    return std::chrono::duration<double>(t_clock::now() - since).count();
}

int open_if(const char *name, uint8_t mac[6], uint32_t *index = nullptr)
{
    uint32_t idx = if_nametoindex(name);
    if (idx == 0) {
        fprintf(stderr, "no interface %s\n", name);
        exit(1);
    }
    int fd = ftmd_packet_socket(idx, mac);
    if (fd < 0) {
        fprintf(stderr, "no packet socket on %s\n", name);
        exit(1);
    }
    if (index != nullptr) {
        *index = idx;
    }
    return fd;
}

uint32_t parse_ip(const char *text)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) {
        fprintf(stderr, "bad address %s\n", text);
        exit(2);
    }
    return ntohl(a.s_addr);
}

std::vector<uint8_t> udp_frame(const uint8_t mac[6], uint32_t src, uint32_t group, size_t payload)
{
    size_t ip_len = 20 + 8 + payload;
    std::vector<uint8_t> f(ETH_HLEN + ip_len, 0);
    ftmd_eth_header(f.data(), group, mac);
    uint8_t *ip = f.data() + ETH_HLEN;
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(ip_len >> 8);
    ip[3] = static_cast<uint8_t>(ip_len);
    ip[8] = 16;
    ip[9] = IPPROTO_UDP;
    for (int i = 0; i < 4; i++) {
        ip[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        ip[16 + i] = static_cast<uint8_t>(group >> (24 - 8 * i));
    }
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) {
        sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    uint8_t *udp = ip + 20;
    udp[0] = 0x13;
    udp[1] = 0x89;
    udp[2] = 0x13;
    udp[3] = 0x89;
    udp[4] = static_cast<uint8_t>((8 + payload) >> 8);
    udp[5] = static_cast<uint8_t>(8 + payload);
    ftmd_l4_csum_complete(ip, ip_len);
    return f;
}

int run_gen(char **argv)
{
    uint8_t mac[6];
    int fd = open_if(argv[0], mac);
    double seconds = atof(argv[1]);
    std::vector<uint8_t> frame =
        udp_frame(mac, parse_ip(argv[3]), parse_ip(argv[4]), static_cast<size_t>(atoi(argv[2])));
    iovec iov{frame.data(), frame.size()};
    std::vector<mmsghdr> msgs(BATCH);
    for (auto &m : msgs) {
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0;
    auto start = t_clock::now();
    while (elapsed_s(start) < seconds) {
        int n = sendmmsg(fd, msgs.data(), BATCH, 0);
        if (n > 0) {
            sent += static_cast<uint64_t>(n);
        }
    }
    printf("%lu\n", static_cast<unsigned long>(sent));
    return 0;
}

struct t_rx {
    std::vector<std::vector<uint8_t>> bufs;
    std::vector<iovec> iov;
    std::vector<mmsghdr> msgs;
    t_rx() : bufs(BATCH, std::vector<uint8_t>(FRAME)), iov(BATCH), msgs(BATCH)
    {
        for (size_t i = 0; i < BATCH; i++) {
            iov[i] = {bufs[i].data(), FRAME};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
    }
    int recv(int fd)
    {
        timespec ts{0, 100 * 1000 * 1000};
        return recvmmsg(fd, msgs.data(), BATCH, MSG_WAITFORONE, &ts);
    }
};

int run_count(char **argv)
{
    uint8_t mac[6];
    int fd = open_if(argv[0], mac);
    double seconds = atof(argv[1]);
    timeval tv{0, 100 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    t_rx rx;
    uint64_t got = 0;
    auto start = t_clock::now();
    while (elapsed_s(start) < seconds) {
        int n = rx.recv(fd);
        if (n > 0) {
            got += static_cast<uint64_t>(n);
        }
    }
    printf("%lu\n", static_cast<unsigned long>(got));
    return 0;
}

int run_bare(int argc, char **argv)
{
    uint8_t mac[6];
    int in = open_if(argv[0], mac);
    double seconds = atof(argv[1]);
    timeval tv{0, 100 * 1000};
    setsockopt(in, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::vector<int> outs;
    for (int i = 2; i < argc; i++) {
        outs.push_back(open_if(argv[i], mac));
    }
    t_rx rx;
    std::vector<mmsghdr> tx(BATCH);
    std::vector<iovec> tx_iov(BATCH);
    uint64_t fwd = 0;
    auto start = t_clock::now();
    while (elapsed_s(start) < seconds) {
        int n = rx.recv(in);
        if (n <= 0) {
            continue;
        }
        for (int i = 0; i < n; i++) {
            tx_iov[i] = {rx.bufs[i].data(), rx.msgs[i].msg_len};
            tx[i].msg_hdr.msg_iov = &tx_iov[i];
            tx[i].msg_hdr.msg_iovlen = 1;
        }
        for (int fd : outs) {
            (void)sendmmsg(fd, tx.data(), static_cast<unsigned>(n), 0);
        }
        fwd += static_cast<uint64_t>(n);
    }
    printf("%lu\n", static_cast<unsigned long>(fwd));
    return 0;
}

bool send_body(int fd, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> msg(8 + body.size());
    uint16_t magic = 0xBEAF;
    auto size = static_cast<uint16_t>(msg.size());
    memcpy(msg.data(), &magic, 2);
    memcpy(msg.data() + 2, &size, 2);
    msg[4] = 16; // from the PIM daemon
    msg[5] = 3;  // to the forwarding table manager
    msg[6] = 2;
    msg[7] = 12;
    memcpy(msg.data() + 8, body.data(), body.size());
    size_t off = 0;
    while (off < msg.size()) {
        ssize_t n = send(fd, msg.data() + off, msg.size() - off, 0);
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

size_t stats_entries(const char *path)
{
    std::ifstream f(path);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t n = 0;
    for (size_t pos = text.find("\"source\""); pos != std::string::npos;
         pos = text.find("\"source\"", pos + 1)) {
        n++;
    }
    return n;
}

int run_kemd(int argc, char **argv)
{
    const char *path = argv[0];
    const char *stats = argv[1];
    int entries = atoi(argv[2]);
    uint32_t source = parse_ip(argv[3]);
    uint32_t group = parse_ip(argv[4]);
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path);
    unlink(path);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0 || listen(lfd, 1) != 0) {
        perror("listen");
        return 1;
    }
    int fd = accept(lfd, nullptr, nullptr);
    ucred cred{};
    socklen_t len = sizeof(cred);
    uint8_t reg[8];
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        recv(fd, reg, sizeof(reg), MSG_WAITALL) != 8) {
        perror("accept");
        return 1;
    }
    t_ftmd_op op;
    op.op = FTMD_OP_ADD;
    op.vpn_id = 0;
    op.iif = if_nametoindex(argv[5]);
    for (int i = 6; i < argc; i++) {
        op.oil.push_back(if_nametoindex(argv[i]));
    }
    auto start = t_clock::now();
    for (int i = 1; i < entries; i++) {
        op.source = 0x0b000000 + static_cast<uint32_t>(i);
        op.group = 0xef400000 + static_cast<uint32_t>(i);
        send_body(fd, ftmd_link_encode_op(op));
    }
    op.source = source;
    op.group = group;
    send_body(fd, ftmd_link_encode_op(op));
    while (stats_entries(stats) < static_cast<size_t>(entries)) {
        kill(cred.pid, SIGUSR1);
        usleep(2000);
    }
    double secs = elapsed_s(start);
    printf("%d %.6f\n", entries, secs);
    fflush(stdout);
    // Stays connected: a lost link would not stop ftmd forwarding, but the
    // benchmark keeps the situation plain.
    pause();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "gen" && argc == 7) {
        return run_gen(argv + 2);
    }
    if (mode == "count" && argc == 4) {
        return run_count(argv + 2);
    }
    if (mode == "bare" && argc >= 5) {
        return run_bare(argc - 2, argv + 2);
    }
    if (mode == "kemd" && argc >= 9) {
        return run_kemd(argc - 2, argv + 2);
    }
    fprintf(stderr, "usage: see the head of %s\n", __FILE__);
    return 2;
}
