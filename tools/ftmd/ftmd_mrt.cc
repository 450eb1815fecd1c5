// Kernel data path: the namespace's multicast routing table, driven through a
// raw IGMP socket (MRT_INIT), one VIF per interface in use (at most 32) and
// one MFC entry per forwarding entry. Wrong-interface upcalls are the Assert
// trigger; packet counters come from the kernel.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <event2/event.h>
#include <linux/mroute.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/zul_log.h"
#include "tools/ftmd/ftmd_table.h"

namespace
{

class t_mrt_backend;

struct t_mrt_ns {
    t_mrt_backend *self_p = nullptr;
    int fd = -1;
    event *ev_p = nullptr;
    t_ftmd_ns *ns_p = nullptr;
    // VIF number to interface index (0: free) and references.
    uint32_t vif_if[MAXVIFS] = {};
    int vif_refs[MAXVIFS] = {};
    std::unordered_map<uint64_t, std::vector<int>> held;
};

int mrt_open()
{
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_IGMP);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, IPPROTO_IP, MRT_INIT, &one, sizeof(one)) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

class t_mrt_backend final : public t_ftmd_backend
{
  public:
    t_mrt_backend(event_base *base_p, const t_ftmd_reports &reports)
        : base_p_(base_p), reports_(reports)
    {
    }

    const char *name() const override { return "kernel multicast routing table"; }

    bool ns_open(t_ftmd_ns *ns_p) override
    {
        int fd = -1;
        (void)ftmd_in_ns(ns_p->netns_fd, [&] { fd = mrt_open(); });
        if (fd < 0) {
            ZUL_LOG_PRI(LOG_ERR, "vpn %lu: MRT_INIT: %s", static_cast<unsigned long>(ns_p->vpn_id),
                        strerror(errno));
            return false;
        }
        auto *mns_p = new t_mrt_ns;
        mns_p->fd = fd;
        mns_p->ns_p = ns_p;
        mns_p->self_p = this;
        mns_p->ev_p = event_new(base_p_, fd, EV_READ | EV_PERSIST, upcall_cb, mns_p);
        ns_p->backend_p = mns_p;
        if (mns_p->ev_p != nullptr) {
            (void)event_add(mns_p->ev_p, nullptr);
        }
        return true;
    }

    void ns_close(t_ftmd_ns *ns_p) override
    {
        auto *mns_p = static_cast<t_mrt_ns *>(ns_p->backend_p);
        if (mns_p == nullptr) {
            return;
        }
        if (mns_p->ev_p != nullptr) {
            event_free(mns_p->ev_p);
        }
        // MRT_DONE on close removes every VIF and MFC entry of the socket.
        close(mns_p->fd);
        delete mns_p;
        ns_p->backend_p = nullptr;
    }

    bool entry_set(t_ftmd_ns *ns_p, t_ftmd_entry *e_p) override
    {
        auto *mns_p = static_cast<t_mrt_ns *>(ns_p->backend_p);
        uint64_t key = ftmd_sg_key(e_p->source, e_p->group);
        std::vector<int> vifs;
        mfcctl mfc{};
        mfc.mfcc_origin.s_addr = htonl(e_p->source);
        mfc.mfcc_mcastgrp.s_addr = htonl(e_p->group);
        bool ok = e_p->iif != 0;
        if (ok) {
            int in_vif = vif_ref(mns_p, e_p->iif);
            ok = in_vif >= 0;
            if (ok) {
                vifs.push_back(in_vif);
                mfc.mfcc_parent = static_cast<vifi_t>(in_vif);
            }
            for (uint32_t o : e_p->out) {
                int v = vif_ref(mns_p, o);
                if (v < 0) {
                    ok = false;
                    continue;
                }
                vifs.push_back(v);
                mfc.mfcc_ttls[v] = 1;
            }
        }
        release(mns_p, key);
        mns_p->held[key] = vifs;
        if (ok && setsockopt(mns_p->fd, IPPROTO_IP, MRT_ADD_MFC, &mfc, sizeof(mfc)) != 0) {
            ZUL_LOG_PRI(LOG_ERR, "vpn %lu: MRT_ADD_MFC: %s",
                        static_cast<unsigned long>(ns_p->vpn_id), strerror(errno));
            ok = false;
        }
        return ok;
    }

    void entry_remove(t_ftmd_ns *ns_p, t_ftmd_entry *e_p) override
    {
        auto *mns_p = static_cast<t_mrt_ns *>(ns_p->backend_p);
        mfcctl mfc{};
        mfc.mfcc_origin.s_addr = htonl(e_p->source);
        mfc.mfcc_mcastgrp.s_addr = htonl(e_p->group);
        (void)setsockopt(mns_p->fd, IPPROTO_IP, MRT_DEL_MFC, &mfc, sizeof(mfc));
        release(mns_p, ftmd_sg_key(e_p->source, e_p->group));
    }

    void tick(t_ftmd_ns *ns_p) override
    {
        auto *mns_p = static_cast<t_mrt_ns *>(ns_p->backend_p);
        for (auto &[key, e] : ns_p->entries) {
            sioc_sg_req req{};
            req.src.s_addr = htonl(e.source);
            req.grp.s_addr = htonl(e.group);
            if (ioctl(mns_p->fd, SIOCGETSGCNT, &req) != 0) {
                continue;
            }
            uint64_t added = req.bytecnt >= e.bytes ? req.bytecnt - e.bytes : 0;
            e.packets = req.pktcnt;
            e.bytes = req.bytecnt;
            // The kernel counts a (*,G) entry as a whole, not per source: only
            // (S,G) entries can be watched for the SPT threshold here.
            if (e.monitor && e.source != 0) {
                t_ftmd_flow &flow = ns_p->flows[key];
                flow.bytes += added;
                flow.threshold = e.threshold;
                flow.seen = added > 0;
            }
        }
    }

  private:
    int vif_ref(t_mrt_ns *mns_p, uint32_t if_index)
    {
        int free_vif = -1;
        for (int v = 0; v < MAXVIFS; v++) {
            if (mns_p->vif_if[v] == if_index) {
                mns_p->vif_refs[v]++;
                return v;
            }
            if (mns_p->vif_if[v] == 0 && free_vif < 0) {
                free_vif = v;
            }
        }
        if (free_vif < 0) {
            ZUL_LOG_PRI(LOG_ERR, "vpn %lu: no VIF left for interface index %u (limit %d)",
                        static_cast<unsigned long>(mns_p->ns_p->vpn_id), if_index, MAXVIFS);
            return -1;
        }
        vifctl vc{};
        vc.vifc_vifi = static_cast<vifi_t>(free_vif);
        vc.vifc_flags = VIFF_USE_IFINDEX;
        vc.vifc_threshold = 1;
        vc.vifc_lcl_ifindex = static_cast<int>(if_index);
        if (setsockopt(mns_p->fd, IPPROTO_IP, MRT_ADD_VIF, &vc, sizeof(vc)) != 0) {
            ZUL_LOG_PRI(LOG_ERR, "vpn %lu: MRT_ADD_VIF for interface index %u: %s",
                        static_cast<unsigned long>(mns_p->ns_p->vpn_id), if_index, strerror(errno));
            return -1;
        }
        mns_p->vif_if[free_vif] = if_index;
        mns_p->vif_refs[free_vif] = 1;
        return free_vif;
    }

    void release(t_mrt_ns *mns_p, uint64_t key)
    {
        auto it = mns_p->held.find(key);
        if (it == mns_p->held.end()) {
            return;
        }
        for (int v : it->second) {
            if (--mns_p->vif_refs[v] > 0) {
                continue;
            }
            vifctl vc{};
            vc.vifc_vifi = static_cast<vifi_t>(v);
            (void)setsockopt(mns_p->fd, IPPROTO_IP, MRT_DEL_VIF, &vc, sizeof(vc));
            mns_p->vif_if[v] = 0;
        }
        mns_p->held.erase(it);
    }

    static void upcall_cb(int fd, short, void *arg)
    {
        auto *mns_p = static_cast<t_mrt_ns *>(arg);
        uint8_t buf[2048];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < static_cast<ssize_t>(sizeof(igmpmsg))) {
                return;
            }
            igmpmsg msg;
            memcpy(&msg, buf, sizeof(msg));
            if (msg.im_mbz != 0 && msg.im_msgtype == IGMPMSG_WRONGVIF) {
                mns_p->self_p->wrong_vif(mns_p, msg);
            }
        }
    }

    void wrong_vif(t_mrt_ns *mns_p, const igmpmsg &msg)
    {
        t_ftmd_ns *ns_p = mns_p->ns_p;
        uint32_t if_index = msg.im_vif < MAXVIFS ? mns_p->vif_if[msg.im_vif] : 0;
        uint32_t src = ntohl(msg.im_src.s_addr);
        uint32_t grp = ntohl(msg.im_dst.s_addr);
        auto it = ns_p->entries.find(ftmd_sg_key(src, grp));
        if (it == ns_p->entries.end()) {
            it = ns_p->entries.find(ftmd_sg_key(0, grp));
        }
        if (it != ns_p->entries.end() && if_index != 0) {
            it->second.wrong_iif++;
            reports_.dup_traffic(ns_p, &it->second, if_index);
        }
    }

    event_base *base_p_;
    t_ftmd_reports reports_;
};

} // namespace

std::unique_ptr<t_ftmd_backend> ftmd_mrt_backend_create(event_base *base_p,
                                                        const t_ftmd_reports &reports)
{
    int fd = mrt_open();
    if (fd < 0) {
        return nullptr;
    }
    close(fd);
    return std::make_unique<t_mrt_backend>(base_p, reports);
}
