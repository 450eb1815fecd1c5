// rtm_probe: a line-oriented client of a route table manager's control socket,
// for tests and diagnosis. Commands on standard input ("hello", "interfaces",
// "register <addr>", "unregister <addr>") become control messages; every
// message received is printed as one line:
//   IF <type> <name> <index> [up|down] [<prefix>]
//   NH <addr> metric <m> distance <d> proto <p> [<nh type>:<gateway|->@<index>]...
// "READY" is printed once connected.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/pb_util.h"
#include "common/rtm_msg.h"
#include "proto/rtm.pb-c.h"

namespace
{

int probe_connect(const char *path, int timeout_ms)
{
    for (int waited = 0;; waited += 100) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0) {
            return fd;
        }
        if (fd >= 0) {
            close(fd);
        }
        if (waited >= timeout_ms) {
            return -1;
        }
        usleep(100 * 1000);
    }
}

bool probe_send(int fd, const MRtmControl &msg)
{
    size_t len = rtm_msg_framed_size(&msg);
    std::vector<uint8_t> buf(len);
    rtm_msg_frame(&msg, buf.data(), len);
    return len != 0 && write(fd, buf.data(), len) == static_cast<ssize_t>(len);
}

bool probe_command(int fd, const std::string &line)
{
    MRtmControl msg = M_RTM_CONTROL__INIT;
    if (line == "hello") {
        MRtmControlHello hello = M_RTM_CONTROL_HELLO__INIT;
        hello.owner = PROTO_TYPE__ROUTE_PIM;
        msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_HELLO;
        msg.hello = &hello;
        return probe_send(fd, msg);
    }
    if (line == "interfaces") {
        MRtmControlInterface intf = M_RTM_CONTROL_INTERFACE__INIT;
        intf.type = E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD;
        msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE;
        msg.interface = &intf;
        return probe_send(fd, msg);
    }
    bool reg = line.rfind("register ", 0) == 0;
    if (reg || line.rfind("unregister ", 0) == 0) {
        std::string text = line.substr(line.find(' ') + 1);
        t_ipaddr addr;
        if (str_to_ip(text.c_str(), &addr) != 1) {
            fprintf(stderr, "bad address %s\n", text.c_str());
            return true;
        }
        char buf[IPADDR_STR_LEN];
        MIpAddress ip = M_IP_ADDRESS__INIT;
        pb_util_from_ipaddr(&addr, &ip, buf, sizeof(buf));
        MRtmControlNhresPrefix pfx = M_RTM_CONTROL_NHRES_PREFIX__INIT;
        pfx.prefix = &ip;
        pfx.has_prefix_len = true;
        pfx.prefix_len = IPADDR_IS_V4(&addr) ? 32 : 128;
        MRtmControlNhresPrefix *pfxs[] = {&pfx};
        MRtmControlNhres nhres = M_RTM_CONTROL_NHRES__INIT;
        nhres.type = reg ? E_RTM_CONTROL_NHRES_TYPE__NHRES_REGISTER
                         : E_RTM_CONTROL_NHRES_TYPE__NHRES_UNREGISTER;
        nhres.n_nhres_prefix = 1;
        nhres.nhres_prefix = pfxs;
        msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES;
        msg.nhres = &nhres;
        return probe_send(fd, msg);
    }
    fprintf(stderr, "unknown command %s\n", line.c_str());
    return true;
}

const char *text_or_dash(const MIpAddress *a)
{
    return a != nullptr && a->address != nullptr ? a->address : "-";
}

void probe_print(const MRtmControl *msg)
{
    if (msg->interface != nullptr) {
        const MRtmControlInterface *i = msg->interface;
        printf("IF %d %s %u", rtm_msg_enum(i->type), i->name != nullptr ? i->name : "-", i->index);
        if (i->status != nullptr && i->status->has_interface_active) {
            printf(" %s", i->status->interface_active != 0 ? "up" : "down");
        }
        if (i->prefix != nullptr) {
            printf(" %s/%u", text_or_dash(i->prefix), i->prefix_len);
        }
        printf("\n");
    } else if (msg->nhres != nullptr && msg->nhres->nhres_resp != nullptr) {
        const MRtmControlNhresNextHop *r = msg->nhres->nhres_resp;
        printf("NH %s metric %u distance %u proto %d", text_or_dash(r->prefix), r->metric,
               r->distance, rtm_msg_enum(r->protocol));
        for (size_t k = 0; k < r->n_next_hop; k++) {
            const MRtmControlNextHop *nh = r->next_hop[k];
            const MRtmControlNhIfIdx *ii = nh->nh_if_idx;
            printf(" %d:%s@%u", rtm_msg_enum(nh->nh_type),
                   ii != nullptr ? text_or_dash(ii->nexthop) : "-", ii != nullptr ? ii->if_idx : 0);
        }
        printf("\n");
    } else {
        printf("MSG %d\n", rtm_msg_enum(msg->type));
    }
    fflush(stdout);
}

// Prints every whole message in rx and keeps the remainder.
bool probe_drain(std::vector<uint8_t> &rx)
{
    while (rx.size() >= RTM_MSG_HDR_LEN) {
        t_pb_quagga_msg_hdr hdr = rtm_msg_read_hdr(rx.data());
        if (hdr.msg_len < RTM_MSG_HDR_LEN) {
            fprintf(stderr, "bad length %u\n", hdr.msg_len);
            return false;
        }
        if (rx.size() < hdr.msg_len) {
            return true;
        }
        MRtmControl *msg = nullptr;
        if (rtm_msg_parse(rx.data(), hdr.msg_len, &msg, nullptr) == RTM_MSG_OK) {
            probe_print(msg);
            m_rtm_control__free_unpacked(msg, nullptr);
        } else {
            printf("BAD\n");
        }
        rx.erase(rx.begin(), rx.begin() + hdr.msg_len);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <socket path>\n", argv[0]);
        return 2;
    }
    int fd = probe_connect(argv[1], 10000);
    if (fd < 0) {
        fprintf(stderr, "cannot connect to %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    std::vector<uint8_t> rx;
    std::string line;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
    while (poll(fds, 2, -1) > 0) {
        if (fds[1].revents != 0) {
            uint8_t buf[4096];
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0) {
                printf("CLOSED\n");
                return 0;
            }
            rx.insert(rx.end(), buf, buf + n);
            if (!probe_drain(rx)) {
                return 1;
            }
        }
        if (fds[0].revents != 0) {
            char c;
            ssize_t n = read(STDIN_FILENO, &c, 1);
            if (n <= 0) {
                return 0;
            }
            if (c != '\n') {
                line += c;
            } else if (!line.empty()) {
                if (!probe_command(fd, line)) {
                    return 1;
                }
                line.clear();
            }
        }
    }
    return 0;
}
