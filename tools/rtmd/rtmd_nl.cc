#include "tools/rtmd/rtmd_nl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>
#include <sched.h>
#include <syslog.h>

#include "common/zul_log.h"

struct t_rtmd_nl {
    nl_cache_mngr *mngr_p;
    nl_cache *link_cache_p;
    nl_cache *addr_cache_p;
    nl_cache *route_cache_p;
};

namespace
{

bool nl_to_ipaddr(nl_addr *a, int family, t_ipaddr *out)
{
    IPADDR_INIT(out, family == AF_INET6 ? IP_ADDR_V6 : IP_ADDR_V4);
    if (a == nullptr || nl_addr_get_len(a) == 0) {
        return family == AF_INET || family == AF_INET6;
    }
    const auto *bytes = static_cast<const uint8_t *>(nl_addr_get_binary_addr(a));
    if (nl_addr_get_family(a) == AF_INET && nl_addr_get_len(a) == 4) {
        IPADDR_SET_V4(out, (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                               (uint32_t{bytes[2]} << 8) | bytes[3]);
        return true;
    }
    if (nl_addr_get_family(a) == AF_INET6 && nl_addr_get_len(a) == 16) {
        IPADDR_SET_V6(out, bytes);
        return true;
    }
    return false;
}

void on_change(nl_cache *, nl_object *, int, void *) {}

} // namespace

t_rtmd_nl *rtmd_nl_open(int netns_fd, int home_fd)
{
    if (netns_fd >= 0 && setns(netns_fd, CLONE_NEWNET) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to enter namespace: %s", strerror(errno));
        return nullptr;
    }
    auto *nl_p = new t_rtmd_nl{};
    int err = nl_cache_mngr_alloc(nullptr, NETLINK_ROUTE, 0, &nl_p->mngr_p);
    if (err == 0) {
        err =
            nl_cache_mngr_add(nl_p->mngr_p, "route/link", on_change, nullptr, &nl_p->link_cache_p);
    }
    if (err == 0) {
        err =
            nl_cache_mngr_add(nl_p->mngr_p, "route/addr", on_change, nullptr, &nl_p->addr_cache_p);
    }
    if (err == 0) {
        err = nl_cache_mngr_add(nl_p->mngr_p, "route/route", on_change, nullptr,
                                &nl_p->route_cache_p);
    }
    if (netns_fd >= 0 && setns(home_fd, CLONE_NEWNET) != 0) {
        // Staying in the wrong namespace would serve every later VPN wrongly.
        ZUL_LOG_PRI(LOG_CRIT, "Failed to return to the home namespace: %s", strerror(errno));
        abort();
    }
    if (err != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to set up netlink caches: %s", nl_geterror(err));
        rtmd_nl_close(nl_p);
        return nullptr;
    }
    return nl_p;
}

void rtmd_nl_close(t_rtmd_nl *nl_p)
{
    if (nl_p == nullptr) {
        return;
    }
    if (nl_p->mngr_p != nullptr) {
        nl_cache_mngr_free(nl_p->mngr_p);
    }
    delete nl_p;
}

int rtmd_nl_fd(const t_rtmd_nl *nl_p)
{
    return nl_cache_mngr_get_fd(nl_p->mngr_p);
}

bool rtmd_nl_process(t_rtmd_nl *nl_p)
{
    int err = nl_cache_mngr_data_ready(nl_p->mngr_p);
    if (err < 0) {
        ZUL_LOG_PRI(LOG_ERR, "Netlink notifications lost: %s", nl_geterror(err));
        return false;
    }
    return true;
}

void rtmd_nl_view(t_rtmd_nl *nl_p, t_rtmd_view *view_p)
{
    *view_p = t_rtmd_view{};
    for (nl_object *o = nl_cache_get_first(nl_p->link_cache_p); o != nullptr;
         o = nl_cache_get_next(o)) {
        auto *link = reinterpret_cast<rtnl_link *>(o);
        t_rtmd_link l{};
        l.ifindex = static_cast<uint32_t>(rtnl_link_get_ifindex(link));
        const char *name = rtnl_link_get_name(link);
        l.name = name != nullptr ? name : "";
        unsigned flags = rtnl_link_get_flags(link);
        l.active = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
        view_p->links[l.ifindex] = l;
    }
    for (nl_object *o = nl_cache_get_first(nl_p->addr_cache_p); o != nullptr;
         o = nl_cache_get_next(o)) {
        auto *addr = reinterpret_cast<rtnl_addr *>(o);
        t_rtmd_addr a{};
        a.ifindex = static_cast<uint32_t>(rtnl_addr_get_ifindex(addr));
        if (!nl_to_ipaddr(rtnl_addr_get_local(addr), rtnl_addr_get_family(addr), &a.prefix.addr) ||
            IPADDR_IS_ZERO(&a.prefix.addr)) {
            continue;
        }
        a.prefix.prefixlen = static_cast<uint8_t>(rtnl_addr_get_prefixlen(addr));
        view_p->addrs.push_back(a);
    }
    for (nl_object *o = nl_cache_get_first(nl_p->route_cache_p); o != nullptr;
         o = nl_cache_get_next(o)) {
        auto *route = reinterpret_cast<rtnl_route *>(o);
        int family = rtnl_route_get_family(route);
        if (family != AF_INET && family != AF_INET6) {
            continue;
        }
        t_rtmd_route r{};
        nl_addr *dst = rtnl_route_get_dst(route);
        if (!nl_to_ipaddr(dst, family, &r.dst.addr)) {
            continue;
        }
        r.dst.prefixlen = dst != nullptr ? static_cast<uint8_t>(nl_addr_get_prefixlen(dst)) : 0;
        r.table = rtnl_route_get_table(route);
        r.kernel_proto = rtnl_route_get_protocol(route);
        r.type = rtnl_route_get_type(route);
        r.scope = rtnl_route_get_scope(route);
        r.priority = rtnl_route_get_priority(route);
        int n = rtnl_route_get_nnexthops(route);
        for (int i = 0; i < n; i++) {
            rtnl_nexthop *nh = rtnl_route_nexthop_n(route, i);
            t_rtmd_route_nh rnh{};
            rnh.ifindex = static_cast<uint32_t>(rtnl_route_nh_get_ifindex(nh));
            nl_addr *gw = rtnl_route_nh_get_gateway(nh);
            if (!nl_to_ipaddr(gw, family, &rnh.gateway)) {
                IPADDR_INIT(&rnh.gateway, r.dst.addr.addr_type);
            }
            r.nhs.push_back(rnh);
        }
        view_p->routes.push_back(std::move(r));
    }
}
