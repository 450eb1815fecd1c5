#include "tools/cdbd/cdbd_store.h"

#include <sqlite3.h>

#include <ctime>

namespace
{

constexpr const char *CDBD_STORE_SCHEMA =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE IF NOT EXISTS running (id INTEGER PRIMARY KEY CHECK (id = 1), config TEXT NOT "
    "NULL, commit_id INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS commits (id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT "
    "NULL, user TEXT NOT NULL, comment TEXT NOT NULL, config TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS notifications (id INTEGER PRIMARY KEY AUTOINCREMENT, time_us "
    "INTEGER NOT NULL, module TEXT NOT NULL, name TEXT NOT NULL, text TEXT NOT NULL);";

// A prepared statement released when the scope ends.
class t_cdbd_stmt
{
  public:
    t_cdbd_stmt(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            stmt_ = nullptr;
        }
    }
    ~t_cdbd_stmt() { sqlite3_finalize(stmt_); }
    t_cdbd_stmt(const t_cdbd_stmt &) = delete;
    t_cdbd_stmt &operator=(const t_cdbd_stmt &) = delete;
    sqlite3_stmt *get() const { return stmt_; }
    bool ok() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

std::string cdbd_col_text(sqlite3_stmt *stmt, int col)
{
    const unsigned char *t = sqlite3_column_text(stmt, col);
    return t == nullptr ? std::string() : std::string(reinterpret_cast<const char *>(t));
}

bool cdbd_exec(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace

int cdbd_store_open(t_cdbd_store *store, const std::string &path, std::string *err)
{
    if (sqlite3_open_v2(path.c_str(), &store->db_p,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *err = "cannot open " + path + ": " +
               (store->db_p != nullptr ? sqlite3_errmsg(store->db_p) : "no memory");
        cdbd_store_close(store);
        return -1;
    }
    char *msg = nullptr;
    if (sqlite3_exec(store->db_p, CDBD_STORE_SCHEMA, nullptr, nullptr, &msg) != SQLITE_OK) {
        *err = "cannot prepare " + path + ": " + (msg != nullptr ? msg : "");
        sqlite3_free(msg);
        cdbd_store_close(store);
        return -1;
    }
    return 0;
}

void cdbd_store_close(t_cdbd_store *store)
{
    if (store->db_p != nullptr) {
        sqlite3_close(store->db_p);
        store->db_p = nullptr;
    }
}

int cdbd_store_running(t_cdbd_store *store, std::string *json)
{
    t_cdbd_stmt stmt(store->db_p, "SELECT config FROM running WHERE id = 1");
    if (!stmt.ok()) {
        return -1;
    }
    json->clear();
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) {
        *json = cdbd_col_text(stmt.get(), 0);
    } else if (rc != SQLITE_DONE) {
        return -1;
    }
    return 0;
}

int cdbd_store_commit(t_cdbd_store *store, const std::string &json, const std::string &user,
                      const std::string &comment, uint64_t *id, std::string *err)
{
    if (!cdbd_exec(store->db_p, "BEGIN IMMEDIATE")) {
        *err = sqlite3_errmsg(store->db_p);
        return -1;
    }
    bool ok = false;
    {
        t_cdbd_stmt ins(store->db_p,
                        "INSERT INTO commits (time, user, comment, config) VALUES (?, ?, ?, ?)");
        t_cdbd_stmt run(store->db_p,
                        "INSERT OR REPLACE INTO running (id, config, commit_id) VALUES (1, ?, ?)");
        t_cdbd_stmt trim(store->db_p, "DELETE FROM commits WHERE id <= ?");
        if (ins.ok() && run.ok() && trim.ok()) {
            sqlite3_bind_int64(ins.get(), 1, static_cast<sqlite3_int64>(time(nullptr)));
            sqlite3_bind_text(ins.get(), 2, user.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(ins.get(), 3, comment.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(ins.get(), 4, json.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(ins.get()) == SQLITE_DONE) {
                *id = static_cast<uint64_t>(sqlite3_last_insert_rowid(store->db_p));
                sqlite3_bind_text(run.get(), 1, json.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int64(run.get(), 2, static_cast<sqlite3_int64>(*id));
                sqlite3_bind_int64(trim.get(), 1,
                                   static_cast<sqlite3_int64>(*id) - store->max_commits);
                ok = sqlite3_step(run.get()) == SQLITE_DONE &&
                     sqlite3_step(trim.get()) == SQLITE_DONE;
            }
        }
        if (!ok) {
            *err = sqlite3_errmsg(store->db_p);
        }
    }
    if (!ok || !cdbd_exec(store->db_p, "COMMIT")) {
        cdbd_exec(store->db_p, "ROLLBACK");
        return -1;
    }
    return 0;
}

int cdbd_store_commit_config(t_cdbd_store *store, uint64_t id, std::string *json)
{
    t_cdbd_stmt stmt(store->db_p, "SELECT config FROM commits WHERE id = ?");
    if (!stmt.ok()) {
        return -1;
    }
    sqlite3_bind_int64(stmt.get(), 1, static_cast<sqlite3_int64>(id));
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        return -1;
    }
    *json = cdbd_col_text(stmt.get(), 0);
    return 0;
}

std::vector<t_cdbd_commit_info> cdbd_store_commits(t_cdbd_store *store, uint32_t max)
{
    std::vector<t_cdbd_commit_info> out;
    t_cdbd_stmt stmt(store->db_p,
                     "SELECT id, time, user, comment FROM commits ORDER BY id DESC LIMIT ?");
    if (!stmt.ok()) {
        return out;
    }
    sqlite3_bind_int64(stmt.get(), 1, max);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        t_cdbd_commit_info info;
        info.id = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 0));
        info.time = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 1));
        info.user = cdbd_col_text(stmt.get(), 2);
        info.comment = cdbd_col_text(stmt.get(), 3);
        out.push_back(std::move(info));
    }
    return out;
}

int cdbd_store_notif_add(t_cdbd_store *store, t_cdbd_notif_rec *rec)
{
    t_cdbd_stmt ins(store->db_p,
                    "INSERT INTO notifications (time_us, module, name, text) VALUES (?, ?, ?, ?)");
    t_cdbd_stmt trim(store->db_p, "DELETE FROM notifications WHERE id <= ?");
    if (!ins.ok() || !trim.ok()) {
        return -1;
    }
    sqlite3_bind_int64(ins.get(), 1, static_cast<sqlite3_int64>(rec->time_us));
    sqlite3_bind_text(ins.get(), 2, rec->module.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 3, rec->name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 4, rec->text.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(ins.get()) != SQLITE_DONE) {
        return -1;
    }
    rec->id = static_cast<uint64_t>(sqlite3_last_insert_rowid(store->db_p));
    sqlite3_bind_int64(trim.get(), 1, static_cast<sqlite3_int64>(rec->id) - store->max_notifs);
    return sqlite3_step(trim.get()) == SQLITE_DONE ? 0 : -1;
}

std::vector<t_cdbd_notif_rec> cdbd_store_notifs(t_cdbd_store *store, uint32_t count)
{
    std::vector<t_cdbd_notif_rec> out;
    t_cdbd_stmt stmt(store->db_p, "SELECT id, time_us, module, name, text FROM notifications "
                                  "ORDER BY id DESC LIMIT ?");
    if (!stmt.ok()) {
        return out;
    }
    sqlite3_bind_int64(stmt.get(), 1, count);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        t_cdbd_notif_rec rec;
        rec.id = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 0));
        rec.time_us = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 1));
        rec.module = cdbd_col_text(stmt.get(), 2);
        rec.name = cdbd_col_text(stmt.get(), 3);
        rec.text = cdbd_col_text(stmt.get(), 4);
        out.insert(out.begin(), std::move(rec));
    }
    return out;
}
