// Takes the lines the code under test sends to syslog while a test looks at
// them. It defines syslog() for its whole executable: include it in one
// source file of that executable only.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <syslog.h>
#include <vector>

namespace kemd_sim
{

// While g_sim_syslog_capture is set, lines land in g_sim_syslog instead of the log.
inline std::vector<std::string> g_sim_syslog;
inline bool g_sim_syslog_capture = false;

// The captured lines with the given tag (e.g. "KEMD-5-NTCE-1900005"), the
// text after the tag only; the capture is emptied.
inline std::vector<std::string> sim_syslog_take(const std::string &tag)
{
    std::vector<std::string> out;
    std::string mark = "-" + tag + ": ";
    for (const std::string &line : g_sim_syslog) {
        size_t at = line.find(mark);
        if (line.rfind("%Drovane-", 0) == 0 && at != std::string::npos) {
            out.push_back(line.substr(at + mark.size()));
        }
    }
    g_sim_syslog.clear();
    return out;
}

// True when a captured line contains text.
inline bool sim_syslog_has(const std::string &text)
{
    for (const std::string &line : g_sim_syslog) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace kemd_sim

extern "C" void syslog(int pri, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (kemd_sim::g_sim_syslog_capture) {
        char line[1024];
        vsnprintf(line, sizeof(line), fmt, ap);
        kemd_sim::g_sim_syslog.emplace_back(line);
    } else {
        vsyslog(pri, fmt, ap);
    }
    va_end(ap);
}
