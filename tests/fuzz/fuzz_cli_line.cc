// kemcli's parsers of outside input, against the project's schema and the
// CLI test module: the first byte chooses what the rest is.
//   0: a command line (splitting, every walk kind, the words that may follow);
//   1: an agent message whose values are placed into both test tables as
//      rows and rendered as text and JSON.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/pb_util.h"
#include "proto/cdb.pb-c.h"
#include "tools/kemcli/cli_parse.h"
#include "tools/kemcli/cli_schema.h"
#include "tools/kemcli/cli_show.h"

namespace
{

t_cli_schema g_schema;

void fuzz_line(const std::string &line)
{
    std::vector<std::string> words;
    std::string err;
    if (!cli_tokenize(line, &words, &err)) {
        return;
    }
    for (e_cli_walk kind : {CLI_WALK_CONFIG, CLI_WALK_DATA, CLI_WALK_ACTION}) {
        for (size_t start = 0; start < 2 && start <= words.size(); start++) {
            t_cli_path path;
            cli_path_walk(&g_schema, kind, words, start, &path, &err);
            cli_path_choices(&g_schema, kind, words, start, nullptr);
        }
    }
    for (const std::string &w : words) {
        std::vector<std::string> again;
        cli_tokenize(cli_quote(w), &again, &err);
        if (again.size() != 1 || again[0] != w) {
            abort();
        }
    }
}

void fuzz_reply(const uint8_t *data, size_t size)
{
    Cdb__CdbMsg *msg = cdb__cdb_msg__unpack(nullptr, size, data);
    if (msg == nullptr) {
        return;
    }
    // As the connection does: a reply with an unknown enumeration value is refused.
    if (!pb_util_enums_valid(&msg->base)) {
        cdb__cdb_msg__free_unpacked(msg, nullptr);
        return;
    }
    if (msg->body_case == CDB__CDB_MSG__BODY_DATA_REPLY) {
        for (const auto &[name, list] : g_schema.callpoints) {
            t_cli_table table;
            cli_show_table_init(&g_schema, list, &table);
            std::vector<std::string> row(table.columns.size());
            cli_show_row_from_values(&g_schema, &table, msg->data_reply->values,
                                     msg->data_reply->n_values, &row);
            table.rows.push_back(row);
            cli_show_text(&table);
            std::string out;
            std::string err;
            cli_show_json(&g_schema, &table, &out, &err);
        }
    }
    cdb__cdb_msg__free_unpacked(msg, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/fuzz_cli_line.XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (dir == nullptr) {
        abort();
    }
    for (const char *src : {KEMD_SOURCE_DIR "/yang", KEMD_SOURCE_DIR "/tests/process/kemcli"}) {
        for (const auto &entry : fs::directory_iterator(src)) {
            if (entry.path().extension() == ".yang") {
                fs::copy_file(entry.path(), fs::path(dir) / entry.path().filename());
            }
        }
    }
    std::string err;
    if (cli_schema_load(&g_schema, dir, &err) != 0) {
        abort();
    }
    fs::remove_all(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    if (data[0] == 0) {
        fuzz_line(std::string(reinterpret_cast<const char *>(data + 1), size - 1));
    } else {
        fuzz_reply(data + 1, size - 1);
    }
    return 0;
}
