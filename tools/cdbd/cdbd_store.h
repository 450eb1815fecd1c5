// The persistent store: the running configuration, the numbered history of
// commits (each with the whole configuration, for rollback) and the log of
// notifications, in one SQLite database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

struct t_cdbd_commit_info {
    uint64_t id = 0;
    uint64_t time = 0;
    std::string user;
    std::string comment;
};

struct t_cdbd_notif_rec {
    uint64_t id = 0;
    uint64_t time_us = 0;
    std::string module;
    std::string name;
    std::string text;
};

struct t_cdbd_store {
    sqlite3 *db_p = nullptr;
    uint32_t max_commits = 1000;
    uint32_t max_notifs = 1000;
};

int cdbd_store_open(t_cdbd_store *store, const std::string &path, std::string *err);
void cdbd_store_close(t_cdbd_store *store);

// The running configuration as JSON ("" when nothing was ever committed).
int cdbd_store_running(t_cdbd_store *store, std::string *json);
// Records a commit and makes json the running configuration, atomically.
int cdbd_store_commit(t_cdbd_store *store, const std::string &json, const std::string &user,
                      const std::string &comment, uint64_t *id, std::string *err);
int cdbd_store_commit_config(t_cdbd_store *store, uint64_t id, std::string *json);
// Newest first, at most max entries.
std::vector<t_cdbd_commit_info> cdbd_store_commits(t_cdbd_store *store, uint32_t max);

int cdbd_store_notif_add(t_cdbd_store *store, t_cdbd_notif_rec *rec);
// The last count notifications, oldest first.
std::vector<t_cdbd_notif_rec> cdbd_store_notifs(t_cdbd_store *store, uint32_t count);
