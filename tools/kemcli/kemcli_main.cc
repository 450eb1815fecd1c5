// kemcli: the operator's command line to the router. Interactive with history,
// completion and help from the schema; or one-shot, running the lines of -c
// (or of standard input) in one session and stopping at the first failure.
#include <getopt.h>
#include <pwd.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/zul_service.h"
#include "tools/kemcli/cli_cmd.h"

namespace
{

constexpr const char *CLI_HISTORY_FILE = ".kemcli_history";
constexpr int CLI_HISTORY_MAX = 1000;

t_cli_session *g_rl_session_p = nullptr;
std::vector<std::string> g_rl_matches;

void cli_usage(FILE *f)
{
    fprintf(f,
            "usage: kemcli [-s socket] [-y yang-dir] [-u user] [--json] [-c line]...\n"
            "  -c, --command  run this line (repeatable, in order, in one session)\n"
            "  -s, --socket   configuration agent socket (default %s)\n"
            "  -y, --yang     directory of the YANG modules (default %s)\n"
            "  -u, --user     user name recorded with commits\n"
            "      --json     print tables and lists as RFC 7951 JSON\n"
            "Without -c, lines are read from standard input, interactively on a terminal.\n"
            "Exit status: 0 when every line succeeded, 1 when one failed, 2 on bad usage.\n",
            CLI_DEFAULT_SOCKET, zul_util_default_yang_dir().c_str());
}

void cli_sigint(int) { g_cli_interrupted = 1; }

// Words before the one being completed, and that word's start.
std::vector<std::string> cli_rl_words_before(int start)
{
    std::vector<std::string> words;
    std::string err;
    cli_tokenize(std::string(rl_line_buffer, static_cast<size_t>(start)), &words, &err);
    return words;
}

char *cli_rl_generator(const char *, int state)
{
    static size_t next = 0;
    if (state == 0) {
        next = 0;
    }
    return next < g_rl_matches.size() ? strdup(g_rl_matches[next++].c_str()) : nullptr;
}

void cli_rl_print_choices(const std::vector<t_cli_choice> &choices)
{
    size_t width = 0;
    for (const t_cli_choice &c : choices) {
        width = std::max(width, c.word.size());
    }
    fputc('\n', rl_outstream);
    for (const t_cli_choice &c : choices) {
        fprintf(rl_outstream, "  %s%*s  %s\n", c.word.c_str(),
                static_cast<int>(width - c.word.size()), "", c.help.c_str());
    }
    if (choices.empty()) {
        fprintf(rl_outstream, "  <Enter>\n");
    }
    rl_on_new_line();
}

char **cli_rl_complete(const char *text, int start, int)
{
    rl_attempted_completion_over = 1;
    std::vector<t_cli_choice> choices = cli_cmd_choices(g_rl_session_p, cli_rl_words_before(start));
    g_rl_matches.clear();
    std::string prefix = text;
    std::vector<t_cli_choice> hints;
    for (const t_cli_choice &c : choices) {
        if (c.literal && c.word.compare(0, prefix.size(), prefix) == 0) {
            g_rl_matches.push_back(cli_quote(c.word));
        } else if (!c.literal) {
            hints.push_back(c);
        }
    }
    if (g_rl_matches.empty() && !hints.empty() && prefix.empty()) {
        // Nothing to insert: say what is expected instead.
        cli_rl_print_choices(hints);
        return nullptr;
    }
    return rl_completion_matches(text, cli_rl_generator);
}

// '?': what may come at the cursor, with help, then the line again.
int cli_rl_help(int, int)
{
    int start = rl_point;
    while (start > 0 && rl_line_buffer[start - 1] != ' ' && rl_line_buffer[start - 1] != '\t') {
        start--;
    }
    std::string prefix(rl_line_buffer + start, static_cast<size_t>(rl_point - start));
    std::vector<t_cli_choice> shown;
    for (const t_cli_choice &c : cli_cmd_choices(g_rl_session_p, cli_rl_words_before(start))) {
        if (!c.literal || c.word.compare(0, prefix.size(), prefix) == 0) {
            shown.push_back(c);
        }
    }
    cli_rl_print_choices(shown);
    rl_redisplay();
    return 0;
}

int cli_interactive(t_cli_session *session)
{
    g_rl_session_p = session;
    rl_readline_name = "kemcli";
    rl_attempted_completion_function = cli_rl_complete;
    rl_basic_word_break_characters = const_cast<char *>(" \t");
    rl_completer_quote_characters = const_cast<char *>("\"'");
    rl_bind_key('?', cli_rl_help);
    std::string history;
    if (const char *home = getenv("HOME"); home != nullptr) {
        history = std::string(home) + "/" + CLI_HISTORY_FILE;
        read_history(history.c_str());
    }
    stifle_history(CLI_HISTORY_MAX);
    while (!session->quit) {
        std::string prompt = cli_cmd_prompt(session);
        char *line = readline(prompt.c_str());
        if (line == nullptr) {
            if (!session->config_mode) {
                fputc('\n', stdout);
                break;
            }
            cli_cmd_run(session, "exit");
            continue;
        }
        std::string text = line;
        free(line);
        // Completion leaves a blank after the last word; history keeps the command.
        text.erase(text.find_last_not_of(" \t") + 1);
        if (!text.empty()) {
            add_history(text.c_str());
        }
        cli_cmd_run(session, text);
        fflush(stdout);
    }
    if (!history.empty()) {
        write_history(history.c_str());
    }
    return 0;
}

int cli_batch(t_cli_session *session, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines) {
        if (session->quit) {
            break;
        }
        if (cli_cmd_run(session, line) != 0) {
            return 1;
        }
        fflush(stdout);
    }
    return 0;
}

std::string cli_default_user()
{
    if (const passwd *pw = getpwuid(getuid()); pw != nullptr) {
        return pw->pw_name;
    }
    return "uid" + std::to_string(getuid());
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {
        {"command", required_argument, nullptr, 'c'},
        {"socket", required_argument, nullptr, 's'},
        {"yang", required_argument, nullptr, 'y'},
        {"user", required_argument, nullptr, 'u'},
        {"json", no_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    t_cli_session session;
    session.user = cli_default_user();
    std::string yang_dir = zul_util_default_yang_dir();
    std::vector<std::string> lines;
    int opt;
    while ((opt = getopt_long(argc, argv, "c:s:y:u:h", longopts, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            lines.push_back(optarg);
            break;
        case 's':
            session.socket_path = optarg;
            break;
        case 'y':
            yang_dir = optarg;
            break;
        case 'u':
            session.user = optarg;
            break;
        case 'j':
            session.json = true;
            break;
        case 'h':
            cli_usage(stdout);
            return 0;
        default:
            cli_usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        cli_usage(stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {
    };
    sa.sa_handler = cli_sigint;
    sigaction(SIGINT, &sa, nullptr);

    t_cli_schema schema;
    std::string err;
    if (cli_schema_load(&schema, yang_dir, &err) != 0) {
        fprintf(stderr, "Error: %s\n", err.c_str());
        cli_schema_free(&schema);
        return 2;
    }
    session.schema_p = &schema;
    int rc;
    if (!lines.empty()) {
        rc = cli_batch(&session, lines);
    } else if (isatty(STDIN_FILENO)) {
        rc = cli_interactive(&session);
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            lines.push_back(line);
        }
        rc = cli_batch(&session, lines);
    }
    cli_conn_close(&session.conn);
    cli_schema_free(&schema);
    return rc;
}
