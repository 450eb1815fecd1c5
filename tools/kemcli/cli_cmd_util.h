// Shared by the command files: replies, the agent link, and the commands of
// the two modes.
#pragma once

#include <string>
#include <vector>

#include "tools/kemcli/cli_cmd.h"

inline constexpr const char *CLI_JSON_FLAG = "--json";

// Prints "Error: what" and returns 1.
int cli_fail(t_cli_session *s, const std::string &what);
// Opens the agent link unless open. False with the reason.
bool cli_connect(t_cli_session *s, std::string *err);
// Sends a request answered by a Result; prints the agent's refusal as it is.
int cli_result_cmd(t_cli_session *s, Cdb__CdbMsg *msg, t_cli_result *res);
void cli_print(t_cli_session *s, const std::string &text);
// Removes --json from the words; tells whether it was there.
bool cli_take_json(std::vector<std::string> *words);
// A JSON string literal of text.
std::string cli_json_str(const std::string &text);
std::string cli_time_text(uint64_t secs);
// Existing keys of configuration lists, from the candidate or the running configuration.
f_cli_key_lookup cli_key_lookup(t_cli_session *s);
// The tables served from below a node, " a b ...", empty when none.
std::string cli_tables_below(const t_cli_session *s, const lysc_node *node);

// Operational mode.
int cli_op_show(t_cli_session *s, const std::vector<std::string> &words);
int cli_op_configure(t_cli_session *s, const std::vector<std::string> &words);
int cli_op_monitor(t_cli_session *s, const std::vector<std::string> &words);
int cli_run_action(t_cli_session *s, const std::vector<std::string> &words);
// Saves the candidate in configuration mode, the running configuration otherwise.
int cli_save(t_cli_session *s, const std::vector<std::string> &words);
int cli_show_config(t_cli_session *s, const std::vector<std::string> &words, size_t start,
                    bool candidate);
int cli_show_commits(t_cli_session *s, bool json);

// Configuration mode.
int cli_cfg_set(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_delete(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_show(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_compare(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_commit(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_rollback(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_load(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_discard(t_cli_session *s, const std::vector<std::string> &words);
int cli_cfg_exit(t_cli_session *s, const std::vector<std::string> &words);
