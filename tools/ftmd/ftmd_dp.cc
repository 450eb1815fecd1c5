// User-space data path for kernels without multicast routing: one AF_PACKET
// socket per interface in use, filtered in the kernel to routable IPv4
// multicast and blind to its own transmissions. Packets are read and sent in
// batches (recvmmsg, sendmmsg), checked against the entry's incoming
// interface and TTL, and sent on every outgoing interface with the group's
// MAC address.
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <event2/event.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/zul_log.h"
#include "tools/ftmd/ftmd_dp_util.h"
#include "tools/ftmd/ftmd_table.h"

namespace
{

constexpr size_t DP_RX_BATCH = 64;
constexpr size_t DP_FRAME = 2048;
constexpr size_t DP_MAX_TX = 1024;
constexpr size_t DP_CTL = CMSG_SPACE(sizeof(tpacket_auxdata));
// Batches one read event takes before yielding to the loop.
constexpr int DP_RX_ROUNDS = 8;

struct t_dp_ns;

struct t_dp_port {
    t_dp_ns *dns_p = nullptr;
    uint32_t if_index = 0;
    int fd = -1;
    event *ev_p = nullptr;
    uint8_t mac[ETH_ALEN] = {};
    int refs = 0;
    std::vector<mmsghdr> tx;
};

struct t_dp_ns {
    t_ftmd_ns *ns_p = nullptr;
    std::unordered_map<uint32_t, std::unique_ptr<t_dp_port>> ports;
    // The interfaces each entry holds a reference on.
    std::unordered_map<uint64_t, std::vector<uint32_t>> held;
};

class t_dp_backend final : public t_ftmd_backend
{
  public:
    t_dp_backend(event_base *base_p, const t_ftmd_reports &reports)
        : base_p_(base_p), reports_(reports)
    {
        for (size_t i = 0; i < DP_RX_BATCH; i++) {
            rx_iov_[i] = {rx_buf_[i].data(), DP_FRAME};
            rx_msg_[i].msg_hdr.msg_iov = &rx_iov_[i];
            rx_msg_[i].msg_hdr.msg_iovlen = 1;
            rx_msg_[i].msg_hdr.msg_name = &rx_addr_[i];
            rx_msg_[i].msg_hdr.msg_namelen = sizeof(rx_addr_[i]);
            rx_msg_[i].msg_hdr.msg_control = rx_ctl_[i].data();
        }
    }
    ~t_dp_backend() override = default;

    const char *name() const override { return "user-space packet sockets"; }

    bool ns_open(t_ftmd_ns *ns_p) override
    {
        auto *dns_p = new t_dp_ns;
        dns_p->ns_p = ns_p;
        ns_p->backend_p = dns_p;
        return true;
    }

    void ns_close(t_ftmd_ns *ns_p) override
    {
        auto *dns_p = static_cast<t_dp_ns *>(ns_p->backend_p);
        if (dns_p == nullptr) {
            return;
        }
        for (auto &[idx, port_p] : dns_p->ports) {
            port_close(port_p.get());
        }
        delete dns_p;
        ns_p->backend_p = nullptr;
    }

    bool entry_set(t_ftmd_ns *ns_p, t_ftmd_entry *e_p) override
    {
        auto *dns_p = static_cast<t_dp_ns *>(ns_p->backend_p);
        std::vector<uint32_t> want;
        if (e_p->iif != 0) {
            want.push_back(e_p->iif);
            want.insert(want.end(), e_p->out.begin(), e_p->out.end());
        }
        bool ok = true;
        for (uint32_t idx : want) {
            ok = port_ref(dns_p, idx) && ok;
        }
        e_p->out_ports.clear();
        for (uint32_t idx : e_p->out) {
            e_p->out_ports.push_back(dns_p->ports[idx].get());
        }
        uint64_t key = ftmd_sg_key(e_p->source, e_p->group);
        auto it = dns_p->held.find(key);
        if (it != dns_p->held.end()) {
            for (uint32_t idx : it->second) {
                port_unref(dns_p, idx);
            }
        }
        dns_p->held[key] = std::move(want);
        return ok;
    }

    void entry_remove(t_ftmd_ns *ns_p, t_ftmd_entry *e_p) override
    {
        auto *dns_p = static_cast<t_dp_ns *>(ns_p->backend_p);
        auto it = dns_p->held.find(ftmd_sg_key(e_p->source, e_p->group));
        if (it == dns_p->held.end()) {
            return;
        }
        for (uint32_t idx : it->second) {
            port_unref(dns_p, idx);
        }
        dns_p->held.erase(it);
    }

    void tick(t_ftmd_ns *ns_p) override
    {
        // Interfaces that did not exist when an entry named them are retried.
        auto *dns_p = static_cast<t_dp_ns *>(ns_p->backend_p);
        for (auto &[idx, port_p] : dns_p->ports) {
            if (port_p->fd < 0) {
                (void)port_open(port_p.get());
            }
        }
    }

  private:
    bool port_ref(t_dp_ns *dns_p, uint32_t idx)
    {
        auto &port_p = dns_p->ports[idx];
        if (port_p == nullptr) {
            port_p = std::make_unique<t_dp_port>();
            port_p->dns_p = dns_p;
            port_p->if_index = idx;
            (void)port_open(port_p.get());
        }
        port_p->refs++;
        return port_p->fd >= 0;
    }

    void port_unref(t_dp_ns *dns_p, uint32_t idx)
    {
        auto it = dns_p->ports.find(idx);
        if (it == dns_p->ports.end() || --it->second->refs > 0) {
            return;
        }
        port_close(it->second.get());
        dns_p->ports.erase(it);
    }

    bool port_open(t_dp_port *port_p)
    {
        t_ftmd_ns *ns_p = port_p->dns_p->ns_p;
        int fd = -1;
        if (!ftmd_in_ns(ns_p->netns_fd,
                        [&] { fd = ftmd_packet_socket(port_p->if_index, port_p->mac); })) {
            ZUL_LOG_PRI(LOG_ERR, "vpn %lu: cannot enter the namespace",
                        static_cast<unsigned long>(ns_p->vpn_id));
        }
        if (fd < 0) {
            return false;
        }
        port_p->fd = fd;
        port_p->ev_p = event_new(base_p_, fd, EV_READ | EV_PERSIST, rx_cb, port_p);
        port_p->tx.reserve(DP_MAX_TX);
        if (port_p->ev_p == nullptr || event_add(port_p->ev_p, nullptr) != 0) {
            port_close(port_p);
            return false;
        }
        g_self = this;
        return true;
    }

    static void port_close(t_dp_port *port_p)
    {
        if (port_p->ev_p != nullptr) {
            event_free(port_p->ev_p);
            port_p->ev_p = nullptr;
        }
        if (port_p->fd >= 0) {
            close(port_p->fd);
            port_p->fd = -1;
        }
    }

    static void rx_cb(int fd, short, void *arg)
    {
        auto *port_p = static_cast<t_dp_port *>(arg);
        g_self->rx(fd, port_p);
    }

    void rx(int fd, t_dp_port *port_p)
    {
        t_dp_ns *dns_p = port_p->dns_p;
        for (int round = 0; round < DP_RX_ROUNDS; round++) {
            for (auto &m : rx_msg_) {
                m.msg_hdr.msg_namelen = sizeof(sockaddr_ll);
                m.msg_hdr.msg_controllen = DP_CTL;
            }
            int n = recvmmsg(fd, rx_msg_.data(), DP_RX_BATCH, MSG_DONTWAIT, nullptr);
            if (n <= 0) {
                return;
            }
            for (int i = 0; i < n; i++) {
                forward(dns_p, port_p->if_index, rx_addr_[i].sll_pkttype,
                        csum_not_ready(&rx_msg_[i].msg_hdr), rx_buf_[i].data(), rx_msg_[i].msg_len);
            }
            flush(dns_p);
            if (static_cast<size_t>(n) < DP_RX_BATCH) {
                return;
            }
        }
    }

    static bool csum_not_ready(msghdr *m)
    {
        for (cmsghdr *c = CMSG_FIRSTHDR(m); c != nullptr; c = CMSG_NXTHDR(m, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                tpacket_auxdata aux;
                memcpy(&aux, CMSG_DATA(c), sizeof(aux));
                return (aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0;
            }
        }
        return false;
    }

    void forward(t_dp_ns *dns_p, uint32_t in_idx, uint8_t pkttype, bool csum_partial,
                 uint8_t *frame, size_t len)
    {
        t_ftmd_ns *ns_p = dns_p->ns_p;
        if (pkttype == PACKET_OUTGOING) {
            ns_p->drops.own++;
            return;
        }
        t_ftmd_ipv4 ip;
        if (!ftmd_parse_ipv4(frame, len, &ip)) {
            ns_p->drops.malformed++;
            return;
        }
        auto it = ns_p->entries.find(ftmd_sg_key(ip.source, ip.group));
        if (it == ns_p->entries.end()) {
            it = ns_p->entries.find(ftmd_sg_key(0, ip.group));
        }
        if (it == ns_p->entries.end() || it->second.iif == 0) {
            ns_p->drops.no_entry++;
            return;
        }
        t_ftmd_entry *e_p = &it->second;
        // TTL first: a host's link-local traffic to the group is no duplicate.
        if (!ftmd_ttl_decrement(frame + ETH_HLEN)) {
            ns_p->drops.ttl++;
            e_p->ttl_expired++;
            return;
        }
        if (e_p->iif != in_idx) {
            ns_p->drops.wrong_iif++;
            e_p->wrong_iif++;
            for (uint32_t o : e_p->out) {
                if (o == in_idx) {
                    reports_.dup_traffic(ns_p, e_p, in_idx);
                    break;
                }
            }
            return;
        }
        if (csum_partial) {
            ftmd_l4_csum_complete(frame + ETH_HLEN, ip.total_len);
        }
        e_p->packets++;
        e_p->bytes += ip.total_len;
        if (e_p->monitor) {
            t_ftmd_flow &flow = ns_p->flows[ftmd_sg_key(ip.source, ip.group)];
            flow.bytes += ip.total_len;
            flow.threshold = e_p->threshold;
            flow.seen = true;
        }
        for (void *port : e_p->out_ports) {
            auto *out_p = static_cast<t_dp_port *>(port);
            if (out_p == nullptr || out_p->fd < 0) {
                continue;
            }
            if (tx_used_ == DP_MAX_TX) {
                flush(dns_p);
            }
            if (out_p->tx.empty()) {
                dirty_.push_back(out_p);
            }
            uint8_t *hdr = tx_hdr_[tx_used_].data();
            ftmd_eth_header(hdr, ip.group, out_p->mac);
            iovec *iov = tx_iov_[tx_used_].data();
            iov[0] = {hdr, ETH_HLEN};
            iov[1] = {frame + ETH_HLEN, ip.total_len};
            mmsghdr m{};
            m.msg_hdr.msg_iov = iov;
            m.msg_hdr.msg_iovlen = 2;
            out_p->tx.push_back(m);
            tx_used_++;
        }
    }

    void flush(t_dp_ns *dns_p)
    {
        if (tx_used_ == 0) {
            return;
        }
        for (t_dp_port *port_p : dirty_) {
            size_t done = 0;
            while (done < port_p->tx.size()) {
                int sent = sendmmsg(port_p->fd, port_p->tx.data() + done,
                                    static_cast<unsigned>(port_p->tx.size() - done), 0);
                if (sent <= 0) {
                    if (sent < 0 && errno == EINTR) {
                        continue;
                    }
                    dns_p->ns_p->drops.send_fail += port_p->tx.size() - done;
                    break;
                }
                done += static_cast<size_t>(sent);
            }
            port_p->tx.clear();
        }
        dirty_.clear();
        tx_used_ = 0;
    }

    static inline t_dp_backend *g_self = nullptr;
    event_base *base_p_;
    t_ftmd_reports reports_;
    std::array<std::array<uint8_t, DP_FRAME>, DP_RX_BATCH> rx_buf_{};
    std::array<iovec, DP_RX_BATCH> rx_iov_{};
    std::array<sockaddr_ll, DP_RX_BATCH> rx_addr_{};
    std::array<mmsghdr, DP_RX_BATCH> rx_msg_{};
    std::array<std::array<uint8_t, DP_CTL>, DP_RX_BATCH> rx_ctl_{};
    std::array<std::array<uint8_t, ETH_HLEN>, DP_MAX_TX> tx_hdr_{};
    std::array<std::array<iovec, 2>, DP_MAX_TX> tx_iov_{};
    size_t tx_used_ = 0;
    // Ports with frames waiting to be sent.
    std::vector<t_dp_port *> dirty_;
};

} // namespace

std::unique_ptr<t_ftmd_backend> ftmd_dp_backend_create(event_base *base_p,
                                                       const t_ftmd_reports &reports)
{
    return std::make_unique<t_dp_backend>(base_p, reports);
}
