#include "tools/ftmd/ftmd_show.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "tools/ftmd/ftmd_link.h"

namespace
{

void ftmd_show_list(FILE *f, const std::vector<uint32_t> &list)
{
    fputc('[', f);
    for (size_t i = 0; i < list.size(); i++) {
        fprintf(f, "%s%u", i != 0 ? "," : "", list[i]);
    }
    fputc(']', f);
}

} // namespace

void ftmd_show_write(const std::string &path, const char *backend,
                     const std::map<uint64_t, std::unique_ptr<t_ftmd_ns>> &nss,
                     uint64_t bad_messages)
{
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return;
    }
    fprintf(f, "{\"backend\":\"%s\",\"bad-messages\":%" PRIu64 ",\"vpns\":[", backend,
            bad_messages);
    bool first_ns = true;
    for (const auto &[id, ns] : nss) {
        const t_ftmd_drops &d = ns->drops;
        fprintf(f,
                "%s{\"vpn\":%" PRIu64 ",\"drops\":{\"malformed\":%" PRIu64 ",\"no-entry\":%" PRIu64
                ",\"wrong-iif\":%" PRIu64 ",\"ttl\":%" PRIu64 ",\"own\":%" PRIu64
                ",\"send-fail\":%" PRIu64 "},\"entries\":[",
                first_ns ? "" : ",", id, d.malformed, d.no_entry, d.wrong_iif, d.ttl, d.own,
                d.send_fail);
        first_ns = false;
        std::vector<const t_ftmd_entry *> sorted;
        for (const auto &[key, e] : ns->entries) {
            sorted.push_back(&e);
        }
        std::sort(sorted.begin(), sorted.end(), [](const auto *a, const auto *b) {
            return ftmd_sg_key(a->source, a->group) < ftmd_sg_key(b->source, b->group);
        });
        bool first = true;
        for (const t_ftmd_entry *e : sorted) {
            fprintf(f,
                    "%s{\"source\":\"%s\",\"group\":\"%s\",\"iif\":%u,\"oil\":", first ? "" : ",",
                    ftmd_ip_str(e->source).c_str(), ftmd_ip_str(e->group).c_str(), e->iif);
            ftmd_show_list(f, e->oil);
            fprintf(f, ",\"stale-oil\":");
            ftmd_show_list(f, e->stale_oil);
            fprintf(f,
                    ",\"stale\":%s,\"withdrawn\":%s,\"monitor\":%s,\"threshold\":%u,\"packets\":"
                    "%" PRIu64 ",\"bytes\":%" PRIu64 ",\"wrong-iif\":%" PRIu64
                    ",\"ttl-expired\":%" PRIu64 "}",
                    e->stale ? "true" : "false", e->withdrawn_until_ms != 0 ? "true" : "false",
                    e->monitor ? "true" : "false", e->threshold, e->packets, e->bytes, e->wrong_iif,
                    e->ttl_expired);
            first = false;
        }
        fprintf(f, "]}");
    }
    fprintf(f, "]}\n");
    if (fclose(f) == 0) {
        (void)rename(tmp.c_str(), path.c_str());
    }
}
