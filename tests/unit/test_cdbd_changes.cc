// The agent's translation of configuration differences into row deliveries,
// against the real schema.
#include <gtest/gtest.h>
#include <libyang/libyang.h>

#include <string>
#include <vector>

#include "tools/cdbd/cdbd_changes.h"
#include "zconfd/zconfd.h"

namespace
{

class CdbdChanges : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string err;
        ASSERT_EQ(cdbd_schema_load(&schema_, KEMD_SOURCE_DIR "/yang", &err), 0) << err;
        // The daemon's rows: system, vpn, interface, pim interface.
        add_sub(1, "system", 5, 0);
        add_sub(2, "vpn/vpn-instance", 6, 1);
        add_sub(3, "vpn/vpn-instance/interface", 6, 1);
        add_sub(4, "vpn/vpn-instance/router/pim/interface", 6, 1);
    }
    void TearDown() override
    {
        lyd_free_all(old_);
        lyd_free_all(new_);
        lyd_free_all(diff_);
        cdbd_schema_free(&schema_);
    }

    void add_sub(uint32_t id, const char *path, uint32_t prio, uint32_t del_prio)
    {
        t_cdbd_sub sub;
        sub.id = id;
        sub.path = path;
        sub.priority = prio;
        sub.del_priority = del_prio;
        std::string err;
        ASSERT_TRUE(cdbd_sub_resolve(&schema_, &sub, &err)) << err;
        subs_.push_back(sub);
    }

    void set(lyd_node **tree, const std::string &path, const char *value)
    {
        lyd_node *node = nullptr;
        ASSERT_EQ(
            lyd_new_path(*tree, schema_.ctx_p, path.c_str(), value, LYD_NEW_PATH_UPDATE, &node),
            LY_SUCCESS)
            << path;
        if (*tree == nullptr) {
            while (lyd_parent(node) != nullptr) {
                node = lyd_parent(node);
            }
            *tree = node;
        }
        *tree = lyd_first_sibling(*tree);
    }

    void del(lyd_node **tree, const std::string &path)
    {
        lyd_node *node = nullptr;
        ASSERT_EQ(lyd_find_path(*tree, path.c_str(), 0, &node), LY_SUCCESS) << path;
        if (node == *tree) {
            *tree = node->next;
        }
        lyd_free_tree(node);
    }

    // Validates both trees (adding defaults) and diffs them.
    void diff()
    {
        ASSERT_EQ(lyd_validate_all(&old_, schema_.ctx_p, LYD_VALIDATE_NO_STATE, nullptr),
                  LY_SUCCESS);
        ASSERT_EQ(lyd_validate_all(&new_, schema_.ctx_p, LYD_VALIDATE_NO_STATE, nullptr),
                  LY_SUCCESS);
        lyd_free_all(diff_);
        diff_ = nullptr;
        ASSERT_EQ(lyd_diff_siblings(old_, new_, LYD_DIFF_DEFAULTS, &diff_), LY_SUCCESS);
    }

    // "op keys: values" with node names, e.g. "created 1,ge0-1: ip{ address=10.1.1.1/24 }".
    std::vector<std::string> changes(size_t sub, e_cdbd_filter filter)
    {
        std::vector<std::string> out;
        for (const t_cdbd_change &c : cdbd_changes_for_sub(diff_, subs_[sub], filter, subs_)) {
            std::string line = cdbd_mop_name(c.op);
            for (size_t i = 0; i < c.keys.size(); i++) {
                line += (i == 0 ? " " : ",") + cdbd_val_text(c.keys[i]);
            }
            line += ":";
            for (const t_cdbd_val &v : c.values) {
                const char *name = cdbd_schema_tag_name(&schema_, v.tag);
                if (v.type == ZCONFD_VT_XMLBEGIN) {
                    line += std::string(" ") + name + "{";
                } else if (v.type == ZCONFD_VT_XMLEND) {
                    line += " }";
                } else if (v.type == ZCONFD_VT_NOEXISTS) {
                    line += std::string(" ") + name + "=absent";
                } else {
                    line += std::string(" ") + name + "=" + cdbd_val_text(v);
                }
            }
            out.push_back(line);
        }
        return out;
    }

    void commit()
    {
        lyd_free_all(old_);
        old_ = nullptr;
        lyd_dup_siblings(new_, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &old_);
    }

    t_cdbd_schema schema_;
    std::vector<t_cdbd_sub> subs_;
    lyd_node *old_ = nullptr;
    lyd_node *new_ = nullptr;
    lyd_node *diff_ = nullptr;
};

const std::string VPN1 = "/kem-vpn:vpn/vpn-instance[vpn-id='1']";

TEST_F(CdbdChanges, SchemaPathsTagsAndKeys)
{
    EXPECT_EQ(subs_[0].num_keys, 0);
    EXPECT_EQ(subs_[1].num_keys, 1);
    EXPECT_EQ(subs_[2].num_keys, 2);
    EXPECT_EQ(subs_[3].num_keys, 2);
    t_cdbd_sub bad;
    bad.path = "vpn/vpn-instance/nosuch";
    std::string err;
    EXPECT_FALSE(cdbd_sub_resolve(&schema_, &bad, &err));
    EXPECT_NE(err.find("nosuch"), std::string::npos);
    t_cdbd_sub prefixed;
    prefixed.path = "/kem-vpn:vpn/vpn-instance";
    EXPECT_TRUE(cdbd_sub_resolve(&schema_, &prefixed, &err));
    EXPECT_STREQ(cdbd_schema_tag_name(&schema_, zconfd_tag("hello-interval")), "hello-interval");

    // Keys and parameters typed from text by the schema.
    t_cdbd_val v;
    const lysc_node *vpn_id =
        lys_find_path(schema_.ctx_p, nullptr, "/kem-vpn:vpn/vpn-instance/vpn-id", 0);
    ASSERT_TRUE(cdbd_val_from_text(&schema_, vpn_id, "7", &v, &err)) << err;
    EXPECT_EQ(v.type, ZCONFD_VT_UINT64);
    EXPECT_EQ(v.u, 7u);
    EXPECT_FALSE(cdbd_val_from_text(&schema_, vpn_id, "70000", &v, &err));
    const lysc_node *sel =
        lys_find_path(schema_.ctx_p, nullptr,
                      "/kem-vpn:vpn/vpn-instance/router/pim/replicator/replicator-selection", 0);
    ASSERT_TRUE(cdbd_val_from_text(&schema_, sel, "random", &v, &err)) << err;
    EXPECT_EQ(v.type, ZCONFD_VT_ENUM);
    EXPECT_EQ(v.i, 0);
}

TEST_F(CdbdChanges, CreationCarriesSubtreesWithDefaultsAndLeavesListsToTheirRows)
{
    set(&new_, "/kem-system:system/system-ip", "10.0.0.1");
    set(&new_, VPN1 + "/router/pim/spt-threshold", "100");
    set(&new_, VPN1 + "/vrf-id", "3");
    set(&new_, VPN1 + "/interface[if-name='ge0-1']/ip/address", "10.1.1.1/24");
    set(&new_, VPN1 + "/router/pim/interface[if-name='ge0-1']/dr-priority", "5");
    diff();
    EXPECT_EQ(changes(0, CDBD_FILTER_ALL),
              std::vector<std::string>{"modified: system-ip=10.0.0.1"});
    EXPECT_EQ(changes(1, CDBD_FILTER_ADDS),
              std::vector<std::string>{"created 1: vrf-id=3 router{ pim{ shutdown=false "
                                       "auto-rp=false spt-threshold=100 } }"});
    EXPECT_TRUE(changes(1, CDBD_FILTER_DELS).empty());
    EXPECT_EQ(
        changes(2, CDBD_FILTER_ADDS),
        std::vector<std::string>{"created 1,ge0-1: ip{ address=10.1.1.1/24 } shutdown=false"});
    EXPECT_EQ(changes(3, CDBD_FILTER_ADDS),
              std::vector<std::string>{"created 1,ge0-1: join-prune-interval=60 dr-priority=5 "
                                       "hello-interval=30 max-neighbors=256"});
    // Typed values: the system address is an address, the interface address text.
    auto sys = cdbd_changes_for_sub(diff_, subs_[0], CDBD_FILTER_ALL, subs_);
    ASSERT_EQ(sys.size(), 1u);
    EXPECT_EQ(sys[0].values[0].type, ZCONFD_VT_IPV4);
    auto ifc = cdbd_changes_for_sub(diff_, subs_[2], CDBD_FILTER_ADDS, subs_);
    ASSERT_EQ(ifc.size(), 1u);
    EXPECT_EQ(ifc[0].keys[0].type, ZCONFD_VT_UINT64);
    EXPECT_EQ(ifc[0].keys[1].type, ZCONFD_VT_STR);
    EXPECT_EQ(ifc[0].values[1].type, ZCONFD_VT_STR);
}

TEST_F(CdbdChanges, ModificationsDeletionsAndDefaults)
{
    set(&old_, "/kem-system:system/system-ip", "10.0.0.1");
    set(&old_, VPN1 + "/router/pim/replicator/replicator-local", "true");
    set(&old_, VPN1 + "/router/pim/interface[if-name='ge0-1']/hello-interval", "10");
    set(&old_, VPN1 + "/interface[if-name='ge0-1']/shutdown", "true");
    set(&old_, "/kem-vpn:vpn/vpn-instance[vpn-id='2']/interface[if-name='ge0-2']/shutdown", "true");
    lyd_dup_siblings(old_, nullptr, LYD_DUP_RECURSIVE, &new_);

    // A nested list change leaves the VPN row alone; an explicit value
    // removed falls back to its default, which is delivered as a value.
    del(&new_, VPN1 + "/router/pim/interface[if-name='ge0-1']/hello-interval");
    set(&new_, VPN1 + "/router/pim/shutdown", "true");
    diff();
    EXPECT_EQ(changes(1, CDBD_FILTER_ADDS),
              std::vector<std::string>{"modified 1: router{ pim{ shutdown=true } }"});
    EXPECT_EQ(changes(3, CDBD_FILTER_ADDS),
              std::vector<std::string>{"modified 1,ge0-1: hello-interval=30"});
    EXPECT_TRUE(changes(2, CDBD_FILTER_ALL).empty());
    commit();

    // Emptying the replicator container and removing PIM's presence:
    // deletions only in the delete subscription; the PIM interfaces go with
    // their container.
    del(&new_, VPN1 + "/router/pim/replicator");
    diff();
    EXPECT_EQ(changes(1, CDBD_FILTER_DELS),
              std::vector<std::string>{
                  "modified 1: router{ pim{ replicator{ replicator-local=absent } } }"});
    EXPECT_TRUE(changes(1, CDBD_FILTER_ADDS).empty());
    commit();
    del(&new_, VPN1 + "/router/pim");
    diff();
    EXPECT_EQ(changes(1, CDBD_FILTER_DELS),
              std::vector<std::string>{"modified 1: router{ pim=absent }"});
    EXPECT_EQ(changes(3, CDBD_FILTER_DELS), std::vector<std::string>{"deleted 1,ge0-1:"});
    commit();

    // Deleting a VPN: its interfaces are the VPN row's business.
    del(&new_, "/kem-vpn:vpn/vpn-instance[vpn-id='2']");
    diff();
    EXPECT_EQ(changes(1, CDBD_FILTER_DELS), std::vector<std::string>{"deleted 2:"});
    EXPECT_TRUE(changes(2, CDBD_FILTER_DELS).empty());
    commit();

    // The system container disappearing shows as its leaves going away.
    del(&new_, "/kem-system:system/system-ip");
    diff();
    EXPECT_EQ(changes(0, CDBD_FILTER_ALL), std::vector<std::string>{"modified: system-ip=absent"});
}

TEST_F(CdbdChanges, ReverseOfADiffUndoesIt)
{
    set(&old_, VPN1 + "/router/pim/auto-rp", "true");
    lyd_dup_siblings(old_, nullptr, LYD_DUP_RECURSIVE, &new_);
    set(&new_, VPN1 + "/router/pim/auto-rp", "false");
    set(&new_, VPN1 + "/interface[if-name='ge0-9']/shutdown", "false");
    diff();
    lyd_node *reverse = nullptr;
    ASSERT_EQ(lyd_diff_reverse_all(diff_, &reverse), LY_SUCCESS);
    std::swap(reverse, diff_);
    lyd_free_all(reverse);
    EXPECT_EQ(changes(1, CDBD_FILTER_ADDS),
              std::vector<std::string>{"modified 1: router{ pim{ auto-rp=true } }"});
    EXPECT_EQ(changes(2, CDBD_FILTER_DELS), std::vector<std::string>{"deleted 1,ge0-9:"});
}

} // namespace
