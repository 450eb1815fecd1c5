// Operational tables by callpoint name: rows are read from the agent one at a
// time (first, then next after the keys of the last), placed into the columns
// the schema gives the callpoint's list, and printed as an aligned text table
// or as RFC 7951 JSON.
#pragma once

#include <string>
#include <vector>

#include "tools/kemcli/cli_conn.h"
#include "tools/kemcli/cli_parse.h"
#include "tools/kemcli/cli_schema.h"

struct t_cli_column {
    const lysc_node *leaf_p = nullptr;
    std::string name;  // relative to the list, "packets/type" inside containers
    std::string xpath; // relative path with module prefixes where they change
};

struct t_cli_table {
    const lysc_node *list_p = nullptr;
    // Key leaves of the enclosing callpoint lists first, then the list's own leaves.
    std::vector<t_cli_column> columns;
    size_t num_parent_keys = 0;
    std::vector<std::vector<std::string>> rows; // "" where a row has no value
};

// Prepares the columns of a callpoint's list.
void cli_show_table_init(const t_cli_schema *schema, const lysc_node *list, t_cli_table *table);

// Fills the table from the agent. False with the reason in err.
bool cli_show_fetch(const t_cli_schema *schema, t_cli_conn *conn, const std::string &callpoint,
                    t_cli_table *table, std::string *err);

// Places one reply's values into a row of the table (after the parent keys).
// The text of each value is taken from the value, typed by its leaf.
void cli_show_row_from_values(const t_cli_schema *schema, const t_cli_table *table,
                              Cdb__Value *const *values, size_t n_values,
                              std::vector<std::string> *row);

// Rows kept by "show <table> <column> <value>...": every named column equal.
struct t_cli_filter {
    size_t column = 0;
    std::string value; // canonical text
};
// Reads column and value pairs from words[start..]. False with the reason.
bool cli_show_filters_parse(const t_cli_schema *schema, const t_cli_table *table,
                            const std::vector<std::string> &words, size_t start,
                            std::vector<t_cli_filter> *filters, std::string *err);
void cli_show_filters_apply(t_cli_table *table, const std::vector<t_cli_filter> &filters);
// What may follow words[start..] of a filter.
std::vector<t_cli_choice> cli_show_filter_choices(const t_cli_table *table,
                                                  const std::vector<std::string> &words,
                                                  size_t start);

std::string cli_show_text(const t_cli_table *table);
// RFC 7951 JSON of the rows, "{}" when there is none. False with the reason
// when a value does not fit its leaf.
bool cli_show_json(const t_cli_schema *schema, const t_cli_table *table, std::string *out,
                   std::string *err);
