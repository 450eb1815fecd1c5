#include "tools/ftmd/ftmd_dp_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/zul_log.h"

namespace
{

// Older C libraries lack the name.
constexpr int FTMD_PACKET_IGNORE_OUTGOING = 23;
constexpr int FTMD_RCVBUF = 8 << 20;

// IPv4 to 224.0.0.0/4 but not to the link-local 224.0.0.0/24.
sock_filter g_filter[] = {
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETHERTYPE_IP, 0, 6),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 30),
    BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xf0000000),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xe0000000, 0, 3),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 30),
    BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xffffff00),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xe0000000, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, 0),
    BPF_STMT(BPF_RET | BPF_K, 0xffff),
};

uint32_t ftmd_sum(const uint8_t *p, size_t len, uint32_t sum)
{
    for (size_t i = 0; i + 1 < len; i += 2) {
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    }
    if (len % 2 != 0) {
        sum += static_cast<uint32_t>(p[len - 1] << 8);
    }
    return sum;
}

uint16_t ftmd_csum(const uint8_t *p, size_t len, uint32_t sum = 0)
{
    sum = ftmd_sum(p, len, sum);
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

} // namespace

int ftmd_packet_socket(uint32_t if_index, uint8_t mac[6])
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ZUL_LOG_PRI(LOG_ERR, "packet socket: %s", strerror(errno));
        return -1;
    }
    sock_fprog prog{static_cast<unsigned short>(sizeof(g_filter) / sizeof(g_filter[0])), g_filter};
    int one = 1;
    int rcvbuf = FTMD_RCVBUF;
    ifreq ifr{};
    ifr.ifr_ifindex = static_cast<int>(if_index);
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_IP);
    sll.sll_ifindex = static_cast<int>(if_index);
    packet_mreq mreq{};
    mreq.mr_ifindex = static_cast<int>(if_index);
    mreq.mr_type = PACKET_MR_ALLMULTI;
    const char *step = nullptr;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog)) != 0) {
        step = "filter";
    } else if (setsockopt(fd, SOL_PACKET, FTMD_PACKET_IGNORE_OUTGOING, &one, sizeof(one)) != 0) {
        step = "ignore-outgoing";
    } else if (setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof(one)) != 0) {
        step = "auxdata";
    } else if (ioctl(fd, SIOCGIFNAME, &ifr) != 0 || ioctl(fd, SIOCGIFHWADDR, &ifr) != 0) {
        step = "interface lookup";
    } else if (bind(fd, reinterpret_cast<sockaddr *>(&sll), sizeof(sll)) != 0) {
        step = "bind";
    } else if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
        step = "all-multicast";
    }
    if (step != nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "interface index %u: %s: %s", if_index, step, strerror(errno));
        close(fd);
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) != 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    }
    memcpy(mac, ifr.ifr_hwaddr.sa_data, ETH_ALEN);
    return fd;
}

bool ftmd_parse_ipv4(const uint8_t *frame, size_t len, t_ftmd_ipv4 *out)
{
    if (len < ETH_HLEN + 20 || frame[12] != 0x08 || frame[13] != 0x00) {
        return false;
    }
    const uint8_t *ip = frame + ETH_HLEN;
    size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
    size_t total = static_cast<size_t>(ip[2] << 8 | ip[3]);
    if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl || ETH_HLEN + total > len ||
        ftmd_csum(ip, ihl) != 0) {
        return false;
    }
    out->source = static_cast<uint32_t>(ip[12] << 24 | ip[13] << 16 | ip[14] << 8 | ip[15]);
    out->group = static_cast<uint32_t>(ip[16] << 24 | ip[17] << 16 | ip[18] << 8 | ip[19]);
    out->total_len = static_cast<uint16_t>(total);
    return (out->group >> 28) == 0xe;
}

bool ftmd_ttl_decrement(uint8_t *ip)
{
    if (ip[8] <= 1) {
        return false;
    }
    ip[8]--;
    // The TTL is the high byte of its 16-bit word: the sum grows by 0x0100.
    uint32_t sum = static_cast<uint32_t>(ip[10] << 8 | ip[11]) + 0x0100;
    sum = (sum & 0xffff) + (sum >> 16);
    ip[10] = static_cast<uint8_t>(sum >> 8);
    ip[11] = static_cast<uint8_t>(sum);
    return true;
}

void ftmd_l4_csum_complete(uint8_t *ip, size_t total_len)
{
    size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
    size_t off = ip[9] == IPPROTO_UDP ? 6 : ip[9] == IPPROTO_TCP ? 16 : 0;
    // A fragment cannot be summed alone.
    bool whole = ((ip[6] & 0x3f) | ip[7]) == 0;
    if (off == 0 || !whole || total_len < ihl + off + 2) {
        return;
    }
    uint8_t *l4 = ip + ihl;
    size_t l4_len = total_len - ihl;
    l4[off] = 0;
    l4[off + 1] = 0;
    uint32_t pseudo = ftmd_sum(ip + 12, 8, 0) + ip[9] + static_cast<uint32_t>(l4_len);
    uint16_t c = ftmd_csum(l4, l4_len, pseudo);
    if (c == 0 && ip[9] == IPPROTO_UDP) {
        c = 0xffff;
    }
    l4[off] = static_cast<uint8_t>(c >> 8);
    l4[off + 1] = static_cast<uint8_t>(c);
}

void ftmd_eth_header(uint8_t *hdr, uint32_t group, const uint8_t src_mac[6])
{
    hdr[0] = 0x01;
    hdr[1] = 0x00;
    hdr[2] = 0x5e;
    hdr[3] = static_cast<uint8_t>((group >> 16) & 0x7f);
    hdr[4] = static_cast<uint8_t>(group >> 8);
    hdr[5] = static_cast<uint8_t>(group);
    memcpy(hdr + 6, src_mac, 6);
    hdr[12] = 0x08;
    hdr[13] = 0x00;
}
