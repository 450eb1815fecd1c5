// The commands of the two modes. Operational mode: show tables, the running
// configuration and the commit history, run actions, follow notifications,
// enter configuration mode. Configuration mode: edit the candidate, compare,
// commit, roll back, load and save whole configurations as RFC 7951 JSON.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kemcli/cli_conn.h"
#include "tools/kemcli/cli_parse.h"
#include "tools/kemcli/cli_schema.h"

inline constexpr const char *CLI_DEFAULT_SOCKET = "/var/run/.cdbd";

// Set by SIGINT: stops monitor.
extern volatile sig_atomic_t g_cli_interrupted;

struct t_cli_session {
    const t_cli_schema *schema_p = nullptr;
    t_cli_conn conn;
    std::string socket_path = CLI_DEFAULT_SOCKET;
    std::string user = "root";
    bool config_mode = false;
    bool dirty = false; // candidate edits not yet committed
    bool json = false;  // every show prints JSON
    bool quit = false;  // exit left the CLI
    FILE *out_p = stdout;
    FILE *err_p = stderr;
};

// Runs one line. 0 on success; 1 after printing "Error: ..." to err_p.
int cli_cmd_run(t_cli_session *session, const std::string &line);

// What may follow the complete words of a line, for completion and '?'.
std::vector<t_cli_choice> cli_cmd_choices(t_cli_session *session,
                                          const std::vector<std::string> &words);

std::string cli_cmd_prompt(const t_cli_session *session);
