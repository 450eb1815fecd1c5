// kemcli's pure parts against the project's schema and the CLI test module:
// words, walks to XPath, what may come next, and rows placed into tables.
#include <gtest/gtest.h>
#include <libyang/libyang.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/kemcli/cli_parse.h"
#include "tools/kemcli/cli_schema.h"
#include "tools/kemcli/cli_show.h"
#include "zconfd/zconfd_value.h"

namespace
{

class CliParse : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        namespace fs = std::filesystem;
        char tmpl[] = "/tmp/test_cli_parse.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        for (const char *src : {KEMD_SOURCE_DIR "/yang", KEMD_SOURCE_DIR "/tests/process/kemcli"}) {
            for (const auto &entry : fs::directory_iterator(src)) {
                if (entry.path().extension() == ".yang") {
                    fs::copy_file(entry.path(), fs::path(tmpl) / entry.path().filename());
                }
            }
        }
        std::string err;
        ASSERT_EQ(cli_schema_load(&schema_, tmpl, &err), 0) << err;
        fs::remove_all(tmpl);
    }
    static void TearDownTestSuite() { cli_schema_free(&schema_); }

    static std::vector<std::string> words(const std::string &line)
    {
        std::vector<std::string> out;
        std::string err;
        EXPECT_TRUE(cli_tokenize(line, &out, &err)) << err;
        return out;
    }

    static std::vector<std::string> choices(e_cli_walk kind, const std::string &line)
    {
        std::vector<std::string> out;
        for (const t_cli_choice &c : cli_path_choices(&schema_, kind, words(line), 0, nullptr)) {
            out.push_back(c.word);
        }
        return out;
    }

    static t_cli_schema schema_;
};

t_cli_schema CliParse::schema_;

TEST_F(CliParse, WordsQuotesAndEscapes)
{
    EXPECT_EQ(words("  set a \"b c\" 'd \"e' f\\ g \"\" h\\\"  "),
              (std::vector<std::string>{"set", "a", "b c", "d \"e", "f g", "", "h\""}));
    std::vector<std::string> out;
    std::string err;
    bool open = false;
    EXPECT_FALSE(cli_tokenize("set 'x y", &out, &err, &open));
    EXPECT_TRUE(open);
    EXPECT_EQ(err, "unterminated quote");
    EXPECT_EQ(out.back(), "x y");
    EXPECT_FALSE(cli_tokenize("set x\\", &out, &err));
    EXPECT_EQ(err, "trailing backslash");
    // A fuzzer's line: the NUL in the value once freed the test module's name.
    const char nul_line[] = "set system host-name\tkem-kemcli-test\0\0";
    EXPECT_FALSE(cli_tokenize(std::string(nul_line, sizeof(nul_line) - 1), &out, &err));
    EXPECT_EQ(err, "NUL character in the line");
    for (const std::string w : {"plain", "two words", "it's", "q\"uote", "back\\slash", ""}) {
        ASSERT_TRUE(cli_tokenize(cli_quote(w), &out, &err)) << w;
        EXPECT_EQ(out, std::vector<std::string>{w});
    }
}

TEST_F(CliParse, WalksBecomeXPathsWithKeysAndValues)
{
    t_cli_path path;
    std::string err;
    ASSERT_TRUE(cli_path_walk(&schema_, CLI_WALK_CONFIG,
                              words("vpn vpn-instance 1 router pim interface \"it's1\" "
                                    "dr-priority 10"),
                              0, &path, &err))
        << err;
    EXPECT_EQ(path.xpath, "/kem-vpn:vpn/vpn-instance[vpn-id='1']/router/pim/"
                          "interface[if-name=\"it's1\"]/dr-priority");
    EXPECT_EQ(path.words, "vpn vpn-instance 1 router pim interface \"it's1\" dr-priority");
    EXPECT_TRUE(path.has_value);
    EXPECT_EQ(path.value, "10");
    EXPECT_FALSE(path.keys_missing);

    ASSERT_TRUE(
        cli_path_walk(&schema_, CLI_WALK_CONFIG, words("vpn vpn-instance"), 0, &path, &err));
    EXPECT_TRUE(path.keys_missing);
    EXPECT_EQ(path.missing_key, "vpn-id");

    // State is not configuration; a value ends the walk.
    EXPECT_FALSE(cli_path_walk(&schema_, CLI_WALK_CONFIG, words("widgets"), 0, &path, &err));
    EXPECT_EQ(err, "unknown element 'widgets'");
    EXPECT_FALSE(
        cli_path_walk(&schema_, CLI_WALK_CONFIG, words("system host-name a b"), 0, &path, &err));
    EXPECT_EQ(err, "system host-name: unexpected word 'b'");
    EXPECT_TRUE(cli_path_walk(&schema_, CLI_WALK_DATA, words("widgets widget"), 0, &path, &err));
    EXPECT_EQ(path.xpath, "/kem-kemcli-test:widgets/widget");
}

TEST_F(CliParse, ActionsTakeNamedParameters)
{
    t_cli_path path;
    std::string err;
    std::vector<std::string> w = words("widget-commands clear-widgets vpn-id 3 address 10.0.0.1");
    ASSERT_TRUE(cli_path_walk(&schema_, CLI_WALK_ACTION, w, 0, &path, &err)) << err;
    EXPECT_STREQ(cli_schema_ext(path.node_p, "actionpoint"), "widget_clear");
    ASSERT_EQ(path.params.size(), 2u);
    EXPECT_STREQ(path.params[1].leaf_p->name, "address");
    EXPECT_EQ(path.params[1].value, "10.0.0.1");
    EXPECT_EQ(path.params_start, 2u);

    ASSERT_TRUE(
        cli_path_walk(&schema_, CLI_WALK_ACTION, words("dump-widgets detail"), 0, &path, &err));
    ASSERT_EQ(path.params.size(), 1u);
    EXPECT_EQ(path.params[0].value, "");

    EXPECT_FALSE(cli_path_walk(&schema_, CLI_WALK_ACTION,
                               words("widget-commands clear-widgets vpn-id -1"), 0, &path, &err));
    EXPECT_EQ(
        err.rfind("widget-commands clear-widgets: parameter vpn-id: value '-1' out of range", 0),
        0u)
        << err;
}

TEST_F(CliParse, ChoicesFollowTheSchema)
{
    std::vector<std::string> roots = choices(CLI_WALK_CONFIG, "");
    EXPECT_NE(std::find(roots.begin(), roots.end(), "vpn"), roots.end());
    EXPECT_EQ(std::find(roots.begin(), roots.end(), "widgets"), roots.end());
    // Only the ways to actions: the schema's other state and configuration stay out.
    std::vector<std::string> actions = choices(CLI_WALK_ACTION, "");
    EXPECT_NE(std::find(actions.begin(), actions.end(), "widget-commands"), actions.end());
    EXPECT_NE(std::find(actions.begin(), actions.end(), "dump-widgets"), actions.end());
    EXPECT_EQ(std::find(actions.begin(), actions.end(), "widgets"), actions.end());
    EXPECT_EQ(choices(CLI_WALK_CONFIG, "vpn vpn-instance"), std::vector<std::string>{"<vpn-id>"});
    EXPECT_EQ(choices(CLI_WALK_CONFIG, "vpn vpn-instance 1 router pim replicator "
                                       "replicator-selection"),
              (std::vector<std::string>{"random", "sticky"}));
    EXPECT_EQ(choices(CLI_WALK_ACTION, "widget-commands clear-widgets vpn-id 1"),
              std::vector<std::string>{"address"});
    EXPECT_TRUE(choices(CLI_WALK_CONFIG, "vpn bogus").empty());

    const lysc_node *hello = nullptr;
    t_cli_path path;
    std::string err;
    ASSERT_TRUE(cli_path_walk(&schema_, CLI_WALK_CONFIG,
                              words("vpn vpn-instance 1 router pim interface e hello-interval"), 0,
                              &path, &err));
    hello = path.node_p;
    EXPECT_EQ(cli_schema_value_hint(hello), "<uint16 1..65535 seconds>");
}

TEST_F(CliParse, RepliesFillTheTableByNameOrTag)
{
    t_cli_table table;
    cli_show_table_init(&schema_, schema_.callpoints.at("widget-table"), &table);
    std::deque<std::string> texts;
    std::vector<Cdb__Value> vals;
    auto add = [&](const char *name, Cdb__ValueType type, uint64_t u, const char *s) {
        Cdb__Value v = CDB__VALUE__INIT;
        v.tag = zconfd_tag(name);
        v.type = type;
        v.u = u;
        v.i = static_cast<int64_t>(u);
        if (s != nullptr) {
            v.s = const_cast<char *>(texts.emplace_back(s).c_str());
        }
        vals.push_back(v);
    };
    add("vpn-id", CDB__VALUE_TYPE__VT_UINT32, 4, nullptr);
    add("name", CDB__VALUE_TYPE__VT_STR, 0, "w");
    // Values inside a container the table does not know are passed over.
    add("stranger", CDB__VALUE_TYPE__VT_XMLBEGIN, 0, nullptr);
    add("state", CDB__VALUE_TYPE__VT_ENUM, 1, nullptr);
    add("stranger", CDB__VALUE_TYPE__VT_XMLEND, 0, nullptr);
    add("state", CDB__VALUE_TYPE__VT_ENUM, 2, nullptr);
    add("flags", CDB__VALUE_TYPE__VT_BITS, 2, nullptr);
    add("unknown-leaf", CDB__VALUE_TYPE__VT_UINT32, 9, nullptr);
    std::vector<Cdb__Value *> ptrs;
    for (Cdb__Value &v : vals) {
        ptrs.push_back(&v);
    }
    std::vector<std::string> row(table.columns.size());
    cli_show_row_from_values(&schema_, &table, ptrs.data(), ptrs.size(), &row);
    EXPECT_EQ(row, (std::vector<std::string>{"4", "w", "", "up", "winner", ""}));
    table.rows.push_back(row);
    EXPECT_EQ(cli_show_text(&table), "vpn-id  name  address  state  flags   up-time\n"
                                     "4       w     -        up     winner  -\n");
    std::string json;
    std::string err;
    ASSERT_TRUE(cli_show_json(&schema_, &table, &json, &err)) << err;
    EXPECT_NE(json.find("\"flags\": \"winner\""), std::string::npos) << json;
    table.rows[0][3] = "sideways";
    EXPECT_FALSE(cli_show_json(&schema_, &table, &json, &err));
    EXPECT_NE(err.find("state"), std::string::npos) << err;
}

} // namespace
