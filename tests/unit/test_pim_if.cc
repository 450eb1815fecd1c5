// Interface tables: index allocation, shared bitmap indexes, table orders,
// lookups and the conditions under which PIM runs.
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon/pim_ns.h"
#include "tests/unit/pim_test_env.h"

namespace
{

using PimIfTest = PimEnvTest;

TEST_F(PimIfTest, IndexesAreHandedOutNextFit)
{
    EXPECT_EQ(pim_if_idx_get(vpn_p), 1u);
    for (uint32_t i = 2; i <= 5; i++) {
        EXPECT_EQ(pim_if_idx_get(vpn_p), i);
    }
    pim_if_idx_release(vpn_p, 2);
    EXPECT_EQ(pim_if_idx_get(vpn_p), 6u) << "a released index waits for the wrap";
    for (uint32_t i = 7; i < PIM_IF_IDX_BITS; i++) {
        ASSERT_EQ(pim_if_idx_get(vpn_p), i);
    }
    EXPECT_EQ(pim_if_idx_get(vpn_p), 2u) << "after the wrap";
    EXPECT_EQ(pim_if_idx_get(vpn_p), 0u) << "all 511 taken";
    pim_if_idx_release(vpn_p, 300);
    EXPECT_EQ(pim_if_idx_get(vpn_p), 300u);

    EXPECT_EQ(pim_if_tunnel_idx_get(vpn_p), 513u);
    EXPECT_EQ(pim_if_tunnel_idx_get(vpn_p), 514u);
    pim_if_tunnel_idx_release(vpn_p, 513);
    EXPECT_EQ(pim_if_tunnel_idx_get(vpn_p), 515u);
}

TEST_F(PimIfTest, LocalAndIgmpShareTheBitmapIndexOfAKernelInterface)
{
    t_pim_if_idx *local = pim_if_idx_find_or_create(vpn_p, 42, PIM_IF_TYPE_LOCAL);
    ASSERT_NE(local, nullptr);
    t_pim_if_idx *igmp = pim_if_idx_find_or_create(vpn_p, 42, PIM_IF_TYPE_IGMP);
    EXPECT_EQ(igmp, local);
    EXPECT_EQ(pim_if_idx_find_or_create(vpn_p, 42, PIM_IF_TYPE_TUNNEL), nullptr);
    uint32_t bidx = static_cast<uint32_t>(local->bitmap_idx);
    EXPECT_EQ(pim_if_bitmap_idx_to_if_idx(vpn_p, bidx), 42u);
    EXPECT_EQ(pim_if_idx_to_if_bitmap_idx(vpn_p, 42), bidx);
    EXPECT_EQ(pim_if_bitmap_idx_to_if_idx(vpn_p, 600), 600u) << "tunnel indexes pass through";

    t_pim_if *lif = pim_if_create(vpn_p, "ge0/0", PIM_IF_TYPE_LOCAL, bidx, nullptr, false, true);
    t_pim_if *iif = pim_if_igmp_find_or_create(vpn_p, "ge0/0", bidx);
    ASSERT_NE(lif, nullptr);
    ASSERT_NE(iif, nullptr);
    EXPECT_EQ(pim_if_find_by_index(vpn_p, bidx, PIM_IF_TYPE_ANY, nullptr), lif) << "lowest type";
    EXPECT_EQ(pim_if_find_by_index(vpn_p, bidx, PIM_IF_TYPE_IGMP, nullptr), iif);
    EXPECT_TRUE(iif->pim_enabled) << "IGMP interfaces need no address";
    EXPECT_EQ(pim_if_igmp_find(vpn_p, "ge0/0"), iif);

    pim_if_find_and_delete(vpn_p, "ge0/0", PIM_IF_TYPE_LOCAL, false, true);
    EXPECT_EQ(pim_if_bitmap_idx_to_if_idx(vpn_p, bidx), 42u) << "IGMP still uses it";
    pim_if_igmp_vpn_delete(vpn_p);
    EXPECT_EQ(pim_if_bitmap_idx_to_if_idx(vpn_p, bidx), 0u);
    EXPECT_EQ(pim_if_get_first(vpn_p), nullptr);
}

TEST_F(PimIfTest, TableOrdersAndWalks)
{
    for (const char *name : {"ge0/10", "ge0/2", "eth1"}) {
        t_pim_if *if_p = pim_if_create(vpn_p, name, PIM_IF_TYPE_LOCAL, 0, nullptr, true, false);
        ASSERT_NE(if_p, nullptr);
        pim_if_config_update(daemon_p, vpn_p, if_p, true);
        EXPECT_FALSE(if_p->pim_enabled) << "no address, not up";
    }
    std::vector<std::string> pim_order, show_order;
    for (auto *p = avl_first<t_pim_if>(&vpn_p->pim_if_db); p; p = avl_next(&vpn_p->pim_if_db, p)) {
        pim_order.emplace_back(p->if_name);
    }
    for (auto *p = avl_first<t_pim_if>(&vpn_p->pim_show_if_db); p;
         p = avl_next(&vpn_p->pim_show_if_db, p)) {
        show_order.emplace_back(p->if_name);
    }
    EXPECT_EQ(pim_order, (std::vector<std::string>{"eth1", "ge0/10", "ge0/2"}));
    EXPECT_EQ(show_order, (std::vector<std::string>{"eth1", "ge0/2", "ge0/10"}));

    EXPECT_STREQ(pim_if_find_next(vpn_p, "nonesuch", true)->if_name, "eth1");
    EXPECT_STREQ(pim_if_find_next(vpn_p, "eth1", true)->if_name, "ge0/10");
    EXPECT_EQ(pim_if_find_next(vpn_p, "ge0/2", true), nullptr);

    t_pim_if *if_p = pim_if_find(vpn_p, "ge0/2", PIM_IF_TYPE_LOCAL, nullptr, true);
    pim_if_config_update(daemon_p, vpn_p, if_p, false);
    EXPECT_EQ(pim_if_find(vpn_p, "ge0/2", PIM_IF_TYPE_LOCAL, nullptr, true), nullptr);
    EXPECT_EQ(pim_if_find(vpn_p, "ge0/2", PIM_IF_TYPE_LOCAL, nullptr, false), if_p);
    EXPECT_EQ(pim_if_disable_pim(vpn_p), PIM_STATUS_OK);
    EXPECT_EQ(avl_numnodes(&vpn_p->pim_if_db), 0u);
    EXPECT_EQ(avl_numnodes(&vpn_p->pim_show_if_db), 0u);

    char buf[16];
    pim_if_index_to_str(vpn_p, 77, buf, sizeof(buf));
    EXPECT_STREQ(buf, "77");
}

TEST_F(PimIfTest, PimRunsOnlyWhenConfiguredUpAndAddressed)
{
    t_pim_if *if_p = pim_if_create(vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, 0, nullptr, true, true);
    pim_if_config_update(daemon_p, vpn_p, if_p, true);
    pim_if_admin_state(if_p, false);
    pim_if_oper_state(if_p, false);
    EXPECT_FALSE(if_p->pim_enabled) << "no address";
    t_ipprefix p{};
    p.addr = v4(0x0a010101);
    p.prefixlen = 24;
    if_p->if_addr = p;
    EXPECT_FALSE(if_p->pim_enabled) << "the primary address alone is not enough";
    EXPECT_EQ(pim_if_addr_update(daemon_p, vpn_p, "nonesuch", PIM_IF_TYPE_LOCAL, &p, false), 1);
    EXPECT_EQ(avl_numnodes(&if_p->if_addr_db), 0u);

    // Withdrawing the only reported address leaves it down; reports come and
    // go with the record of the route table manager.
    pim_if_config_update(daemon_p, vpn_p, if_p, false);
    EXPECT_EQ(pim_if_addr_update(daemon_p, vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, &p, false), 0);
    EXPECT_EQ(avl_numnodes(&if_p->if_addr_db), 1u);
    EXPECT_EQ(pim_if_addr_update(daemon_p, vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, &p, true), 0);
    EXPECT_EQ(avl_numnodes(&if_p->if_addr_db), 0u);

    // The configuration and the report each hold the record.
    pim_if_find_and_delete(vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, true, false);
    ASSERT_EQ(pim_if_find(vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, nullptr, false), if_p);
    EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_DOWN);
    pim_if_find_and_delete(vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, false, true);
    EXPECT_EQ(pim_if_find(vpn_p, "ge0/3", PIM_IF_TYPE_LOCAL, nullptr, false), nullptr);
}

ino_t net_ns_inode()
{
    struct stat st {
    };
    return stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
}

TEST_F(PimIfTest, NamespacesAreEnteredToOpenSocketsOnly)
{
    // Receiving reads the socket where it is: VPN 7 has no namespace file,
    // and the packet is read (and found malformed) all the same.
    t_pim_if *if_p = running_if("ge0/6", 0x0a060601, 24);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    if_p->sock_fd = pair[0];
    ASSERT_EQ(send(pair[1], "junk", 4, 0), 4);
    EXPECT_EQ(pim_pkt_rx(daemon_p, if_p), PIM_STATUS_OK);
    EXPECT_EQ(if_p->stats.pkt_stats_rx.all_pkts, 1u);
    char buf[8];
    EXPECT_LT(recv(pair[0], buf, sizeof(buf), MSG_DONTWAIT), 0) << "the packet was read";
    if_p->sock_fd = -1;
    close(pair[0]);
    close(pair[1]);
    {
        t_pim_ns_guard ns(7);
        EXPECT_FALSE(ns.entered());
    }

    // The way back leads to the namespace the daemon started in, which need
    // not be process 1's.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a namespace of its own";
    }
    pid_t child = fork();
    if (child == 0) {
        pim_util_ns_destroy();
        if (unshare(CLONE_NEWNET) != 0 || pim_util_ns_init() != PIM_STATUS_OK) {
            _exit(2);
        }
        ino_t home = net_ns_inode();
        // Elsewhere, as if inside a VPN's namespace.
        if (unshare(CLONE_NEWNET) != 0 || net_ns_inode() == home) {
            _exit(3);
        }
        _exit(pim_util_reset_ns(5) == PIM_STATUS_OK && net_ns_inode() == home ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // A return that keeps failing stops the process instead of leaving it in
    // the VPN's namespace (here: VPN 9's file, in a private /run, names the
    // process's own namespace, and the way back is lost while inside).
    child = fork();
    if (child == 0) {
        int fd = -1;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
            mkdir("/run/netns", 0755) != 0 || (fd = creat("/run/netns/9", 0644)) < 0 ||
            close(fd) != 0 ||
            mount("/proc/self/ns/net", "/run/netns/9", nullptr, MS_BIND, nullptr) != 0) {
            _exit(2);
        }
        {
            t_pim_ns_guard ns(9);
            if (!ns.entered()) {
                _exit(3);
            }
            pim_util_ns_destroy();
        }
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFEXITED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
}

TEST_F(PimIfTest, OnlyThePrimaryAddressRestartsPim)
{
    t_pim_if *if_p = running_if("ge0/5", 0x0a030301, 24);
    t_ipaddr peer = v4(0x0a030302);
    ASSERT_NE(pim_nbr_add(if_p, &peer, nullptr, false), nullptr);
    uint32_t genid = if_p->genid;
    uint32_t sent = if_p->stats.pkt_stats_tx.failed_pkts;
    auto report = [&](uint32_t addr, bool withdrawn) {
        t_ipprefix p{};
        p.addr = v4(addr);
        p.prefixlen = 24;
        EXPECT_EQ(pim_if_addr_update(daemon_p, vpn_p, "ge0/5", PIM_IF_TYPE_LOCAL, &p, withdrawn),
                  0);
    };
    // The primary announced again (a reconnecting route table manager), a
    // secondary coming and going, a withdrawal of an unknown one: no goodbye,
    // the neighbor and the generation id stay.
    report(0x0a030301, false);
    report(0x0a040401, false);
    report(0x0a040401, true);
    report(0x0a050501, true);
    EXPECT_TRUE(if_p->pim_enabled);
    EXPECT_EQ(if_p->genid, genid);
    EXPECT_EQ(if_p->stats.pkt_stats_tx.failed_pkts, sent);
    EXPECT_NE(pim_nbr_find(if_p, &peer, nullptr), nullptr);
    EXPECT_EQ(avl_numnodes(&if_p->if_addr_db), 1u);

    // The primary withdrawn: goodbye, neighbors gone.
    report(0x0a040401, false);
    report(0x0a030301, true);
    EXPECT_FALSE(if_p->pim_enabled);
    EXPECT_EQ(last_hello().holdtime, 0);
    EXPECT_EQ(pim_nbr_find(if_p, &peer, nullptr), nullptr);
}

TEST_F(PimIfTest, HelloIntervalSetsHoldtimeAndResendsAtOnce)
{
    t_pim_if *if_p = running_if("ge0/4", 0x0a020201, 24);
    if_p->hello_timer =
        timer_util_create(daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, 30000,
                          pim_if_hello_cb, if_p, "pim-hello");
    timer_reset(if_p->hello_timer, 30000);
    EXPECT_EQ(if_p->config.holdtime, 105000u);
    uint32_t tried = if_p->stats.pkt_stats_tx.failed_pkts;
    pim_if_config_update_hello_interval(daemon_p, vpn_p, if_p, 10000);
    EXPECT_EQ(if_p->config.holdtime, 35000u);
    EXPECT_EQ(if_p->stats.pkt_stats_tx.failed_pkts, tried + 1) << "Hello sent now";
    EXPECT_EQ(last_hello().holdtime, 35);
    EXPECT_EQ(timer_get_ticks_to_expiry(if_p->hello_timer), 10);
    advance(10);
    EXPECT_EQ(if_p->stats.pkt_stats_tx.failed_pkts, tried + 2) << "and every period";

    pim_if_config_update_jp_interval(daemon_p, vpn_p, if_p, 30);
    EXPECT_EQ(if_p->config.join_interval, 30000u);
    EXPECT_EQ(pim_pkt_jp_holdtime(if_p), 105);
    EXPECT_EQ(last_hello().prop_delay, 500);
    EXPECT_EQ(last_hello().override_int, 3000);

    pim_if_config_update_hello_interval(daemon_p, vpn_p, if_p, 0);
    EXPECT_EQ(if_p->config.hello_interval, 1000u) << "never a period the ticks cannot wait";
    EXPECT_EQ(timer_get_ticks_to_expiry(if_p->hello_timer), 1);
    advance(3);
    EXPECT_EQ(if_p->stats.pkt_stats_tx.failed_pkts, tried + 6);
}

} // namespace
