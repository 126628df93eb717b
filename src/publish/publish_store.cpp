#include "publish/publish_store.h"

#include <algorithm>
#include <limits>

#include <sqlite3.h>

#include "platform/clock.h"
#include "platform/file.h"

// The file is never opened here other than through SQLite: on POSIX, closing
// any descriptor of a file drops every lock this process holds on it, which
// would silently free the file of a store open elsewhere in the process.

namespace {

// "KROP" in the file's header (PRAGMA application_id); the table name makes a
// store recognisable to a person with the sqlite3 shell as well.
constexpr int64_t kApplicationId = 0x4B524F50;
constexpr int64_t kSchemaVersion = 1;
constexpr const char* kTable = "kro_publish_values";
// The WAL file is cut back to this size after a checkpoint, so that a burst
// does not leave a large file behind.
constexpr int64_t kWalKeepBytes = 8 << 20;

bool isBusy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}
bool isDamage(int rc) {
    return (rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT;
}

// The first column of the first row of `sql` as a number (0 when no row).
int queryInt(sqlite3* db, const std::string& sql, int64_t* value) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    *value = 0;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            *value = sqlite3_column_int64(s, 0);
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    sqlite3_finalize(s);
    return rc;
}

// True when `sql` gives exactly one row whose first column reads `expected`.
int queryIs(sqlite3* db, const char* sql, const char* expected, bool* is) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    *is = false;
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        *is = text && std::string(reinterpret_cast<const char*>(text)) == expected;
        rc = sqlite3_step(s);
        *is = *is && rc == SQLITE_DONE;
    }
    sqlite3_finalize(s);
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::string blob(sqlite3_stmt* s, int column) {
    const void* data = sqlite3_column_blob(s, column);
    return data ? std::string(static_cast<const char*>(data),
                              static_cast<size_t>(sqlite3_column_bytes(s, column)))
                : std::string();
}

// Renames the damaged file at `path` and its SQLite companions to the first
// free PATH.damaged-STAMP[-N]; *name empty when the file was gone already.
bool moveAside(const std::string& path, std::string* name, std::string* error) {
    struct tm local = {};
    long ms = 0;
    char stamp[32] = "";
    if (local_clock_read(&local, &ms) == 0)
        local_time_format(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".damaged-" + stamp;
    std::string why;
    for (int n = 0; n < 1000; ++n) {
        *name = n ? base + "-" + std::to_string(n) : base;
        const FileMove moved = file_move_no_replace(path, *name, &why);
        if (moved == FileMove::TargetExists)
            continue;
        if (moved == FileMove::NoSource) {
            name->clear();
            return true;
        }
        if (moved == FileMove::Failed) {
            *error = "cannot move damaged " + path + " aside: " + why;
            return false;
        }
        // Its WAL belongs to it and must not be read as the new store's.
        for (const char* companion : {"-wal", "-journal", "-shm"}) {
            const FileMove m = file_move_no_replace(path + companion, *name + companion, &why);
            if (m == FileMove::TargetExists)
                why = "the name is taken";
            if (m == FileMove::TargetExists || m == FileMove::Failed) {
                *error = "moved damaged " + path + " aside to " + *name + " but cannot move " +
                         path + companion + ": " + why;
                return false;
            }
        }
        return true;
    }
    *error = "cannot move damaged " + path + " aside: every name up to " + *name + " is taken";
    return false;
}

} // namespace

void PublishStore::StmtFree::operator()(sqlite3_stmt* s) const {
    sqlite3_finalize(s);
}
void PublishStore::DbClose::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

PublishStore::PublishStore(std::string path, const Limits& limits)
    : m_path(std::move(path)), m_limits(limits) {}

PublishStore::~PublishStore() = default;

std::unique_ptr<PublishStore> PublishStore::open(const std::string& path, const Limits& limits,
                                                 std::string* error, std::string* movedAside) {
    std::string scratch;
    error = error ? error : &scratch;
    if (movedAside)
        movedAside->clear();
    for (int attempt = 0;; ++attempt) {
        std::unique_ptr<PublishStore> store(new PublishStore(path, limits));
        const Found found = store->attach(error);
        if (found == Found::Store) {
            if (store->prepareStatements() && store->loadState())
                return store;
            *error = "cannot open " + path + ": " + sqlite3_errmsg(store->m_db.get());
            return nullptr;
        }
        if (found == Found::Failed)
            return nullptr;
        store.reset(); // the file is closed before it is moved
        if (attempt > 0) {
            *error = "cannot open " + path + ": damaged again after the first was moved aside";
            return nullptr;
        }
        std::string name;
        if (!moveAside(path, &name, error))
            return nullptr;
        if (movedAside)
            *movedAside = name;
    }
}

PublishStore::Found PublishStore::attach(std::string* error) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(m_path.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                       SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                                   nullptr);
    m_db.reset(db);
    const auto cannot = [&](const std::string& why) {
        *error = "cannot open " + m_path + ": " + why;
        return Found::Failed;
    };
    if (rc != SQLITE_OK)
        return cannot(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (sqlite3_db_readonly(db, "main") == 1)
        return cannot("the file is read-only");
    const auto exec = [db](const std::string& sql) {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    };
    // The lock is taken here and held until the connection closes; nothing
    // is written before the file has been recognised as a store (or empty).
    // The size is read before the write transaction, in which an empty file
    // already counts one page.
    int64_t pages = 0, appId = 0, version = 0, tables = 0;
    bool checked = false;
    int step = exec("PRAGMA locking_mode=EXCLUSIVE");
    if (step == SQLITE_OK)
        step = queryInt(db, "PRAGMA page_count", &pages);
    if (step == SQLITE_OK)
        step = exec("BEGIN EXCLUSIVE");
    if (isBusy(step))
        return cannot("in use by another driver or program");
    if (step == SQLITE_OK && pages > 0)
        step = queryInt(db, "PRAGMA application_id", &appId);
    const bool ours = pages > 0 && appId == kApplicationId;
    if (step == SQLITE_OK && ours)
        step = queryInt(db, "PRAGMA user_version", &version);
    const bool current = ours && version == kSchemaVersion;
    if (step == SQLITE_OK && current)
        step = queryInt(db,
                        std::string("SELECT count(*) FROM sqlite_master WHERE name='") + kTable +
                            "' AND type='table'",
                        &tables);
    if (step == SQLITE_OK && current)
        step = queryIs(db, "PRAGMA quick_check", "ok", &checked);
    const std::string why = sqlite3_errmsg(db);
    exec("ROLLBACK");
    if (isDamage(step) ||
        (step == SQLITE_OK && pages > 0 && (!ours || (current && (tables != 1 || !checked))))) {
        // Left exactly as found, its WAL included.
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        return Found::Damaged;
    }
    if (step != SQLITE_OK)
        return cannot(why);
    if (ours && !current)
        return cannot("a store of another version (" + std::to_string(version) + ")");

    // FULL: the WAL is synced at every commit, so a commit survives a power
    // cut. The statements' scratch tables stay in memory.
    step = exec("PRAGMA synchronous=FULL; PRAGMA temp_store=MEMORY; PRAGMA journal_size_limit=" +
                std::to_string(kWalKeepBytes));
    // A new file gets its table before it turns to WAL, in one transaction
    // of the rollback journal: after a crash it is empty or a whole store.
    if (step == SQLITE_OK && pages == 0)
        step = exec(std::string("BEGIN; CREATE TABLE ") + kTable +
                    "(id INTEGER PRIMARY KEY, posted_ms INTEGER NOT NULL, retain INTEGER NOT NULL,"
                    " topic BLOB NOT NULL, payload BLOB NOT NULL);"
                    " PRAGMA application_id=" +
                    std::to_string(kApplicationId) +
                    "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; COMMIT");
    bool wal = false;
    if (step == SQLITE_OK &&
        (step = queryIs(db, "PRAGMA journal_mode=WAL", "wal", &wal)) == SQLITE_OK && !wal)
        return cannot("the file system does not take a WAL journal");
    if (step != SQLITE_OK) {
        const std::string failed = sqlite3_errmsg(db);
        exec("ROLLBACK");
        return cannot(failed);
    }
    return Found::Store;
}

bool PublishStore::prepareStatements() {
    const std::string t = kTable;
    const std::pair<Stmt*, std::string> statements[] = {
        {&m_begin, "BEGIN"},
        {&m_commit, "COMMIT"},
        {&m_insert, "INSERT INTO " + t + " VALUES(?1, ?2, ?3, ?4, ?5)"},
        {&m_measure, "SELECT count(*), sum(length(topic)+length(payload)) FROM " + t +
                         " WHERE id BETWEEN ?1 AND ?2"},
        {&m_delete, "DELETE FROM " + t + " WHERE id BETWEEN ?1 AND ?2"},
        {&m_deleteUpTo, "DELETE FROM " + t + " WHERE id <= ?1"},
        {&m_front,
         "SELECT id, posted_ms, length(topic)+length(payload) FROM " + t + " ORDER BY id"},
        {&m_first, "SELECT id, posted_ms FROM " + t + " ORDER BY id LIMIT 1"},
        {&m_read, "SELECT id, posted_ms, retain, topic, payload FROM " + t +
                      " WHERE id > ?1 ORDER BY id LIMIT ?2"},
    };
    for (const auto& [stmt, sql] : statements) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(m_db.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s,
                               nullptr) != SQLITE_OK)
            return false;
        stmt->reset(s);
    }
    return true;
}

bool PublishStore::loadState() {
    sqlite3_stmt* s = nullptr;
    const std::string sql = std::string("SELECT count(*), coalesce(sum(length(topic)+"
                                        "length(payload)), 0), coalesce(max(id), 0) FROM ") +
                            kTable;
    if (sqlite3_prepare_v2(m_db.get(), sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        return false;
    Stmt total(s);
    if (sqlite3_step(s) != SQLITE_ROW)
        return false;
    m_count = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
    m_bytes = static_cast<uint64_t>(sqlite3_column_int64(s, 1)) + m_count * kValueOverhead;
    m_nextId = sqlite3_column_int64(s, 2) + 1;
    const int rc = sqlite3_step(m_first.get());
    m_frontMs = rc == SQLITE_ROW ? sqlite3_column_int64(m_first.get(), 1) : 0;
    m_frontId = rc == SQLITE_ROW ? sqlite3_column_int64(m_first.get(), 0) : 0;
    sqlite3_reset(m_first.get());
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool PublishStore::insert(const StoredValue& v) {
    sqlite3_stmt* ins = m_insert.get();
    sqlite3_bind_int64(ins, 1, v.id);
    sqlite3_bind_int64(ins, 2, v.postedMs);
    sqlite3_bind_int64(ins, 3, v.retain ? 1 : 0);
    sqlite3_bind_blob64(ins, 4, v.topic.data(), v.topic.size(), SQLITE_STATIC);
    sqlite3_bind_blob64(ins, 5, v.payload.data(), v.payload.size(), SQLITE_STATIC);
    return run(ins);
}

bool PublishStore::run(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc == SQLITE_DONE;
}

// Measured first, then deleted: cheaper than DELETE ... RETURNING, which
// gathers every deleted row in a scratch table.
bool PublishStore::deleteRange(int64_t first, int64_t last, uint64_t* count, uint64_t* bytes) {
    sqlite3_stmt* m = m_measure.get();
    sqlite3_bind_int64(m, 1, first);
    sqlite3_bind_int64(m, 2, last);
    const int rc = sqlite3_step(m);
    if (rc != SQLITE_ROW) {
        sqlite3_reset(m);
        return false;
    }
    const uint64_t n = static_cast<uint64_t>(sqlite3_column_int64(m, 0));
    *count += n;
    *bytes += static_cast<uint64_t>(sqlite3_column_int64(m, 1)) + n * kValueOverhead;
    sqlite3_reset(m);
    if (n == 0)
        return true;
    sqlite3_bind_int64(m_delete.get(), 1, first);
    sqlite3_bind_int64(m_delete.get(), 2, last);
    return run(m_delete.get());
}

// Finds the oldest values the limits take, given the store's size now, and
// deletes them.
bool PublishStore::scanFront(int64_t nowMs, uint64_t bytesNow, Drops* dropped, uint64_t* count,
                             uint64_t* bytes) {
    sqlite3_stmt* s = m_front.get();
    const int64_t cutoff = nowMs - m_limits.maxAgeMs;
    bool byAge = m_limits.maxAgeMs > 0;
    int64_t last = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const uint64_t size = static_cast<uint64_t>(sqlite3_column_int64(s, 2)) + kValueOverhead;
        byAge = byAge && sqlite3_column_int64(s, 1) < cutoff;
        if (byAge)
            ++dropped->byAge;
        else if (bytesNow - *bytes > m_limits.maxBytes)
            ++dropped->bySize;
        else
            break;
        last = sqlite3_column_int64(s, 0);
        ++*count;
        *bytes += size;
    }
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return false;
    sqlite3_bind_int64(m_deleteUpTo.get(), 1, last);
    return *count == 0 || run(m_deleteUpTo.get());
}

bool PublishStore::fail(const char* what, std::string* error) {
    if (error)
        *error = std::string("cannot ") + what + " " + m_path + ": " + sqlite3_errmsg(m_db.get());
    if (!sqlite3_get_autocommit(m_db.get()))
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool PublishStore::commit(std::vector<StoredValue>& values, const std::vector<int64_t>& done,
                          int64_t nowMs, Drops* drops, std::string* error) {
    const bool aged = m_limits.maxAgeMs > 0 && m_count > 0 && m_frontMs < nowMs - m_limits.maxAgeMs;
    if (values.empty() && done.empty() && !aged && m_bytes <= m_limits.maxBytes)
        return true;
    if (!run(m_begin.get()))
        return fail("write to", error);

    int64_t id = m_nextId;
    uint64_t added = 0;
    for (StoredValue& v : values) {
        v.id = id;
        if (!insert(v))
            break;
        ++id;
        added += v.topic.size() + v.payload.size() + kValueOverhead;
    }
    // The values' own bytes were bound; none stays bound past this call.
    sqlite3_clear_bindings(m_insert.get());
    bool ok = id == m_nextId + static_cast<int64_t>(values.size());

    // Acknowledgements come mostly in order: one range delete per run of
    // consecutive ids.
    uint64_t removed = 0, removedBytes = 0;
    std::vector<int64_t> ids(done);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (size_t i = 0; ok && i < ids.size();) {
        size_t j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1)
            ++j;
        ok = deleteRange(ids[i], ids[j], &removed, &removedBytes);
        i = j + 1;
    }

    Drops dropped;
    uint64_t droppedCount = 0, droppedBytes = 0;
    const uint64_t bytesNow = m_bytes + added - removedBytes;
    const bool wasEmpty = m_count == 0;
    // With an age limit the front is looked at every time: one row when
    // nothing is due.
    if (ok && (m_limits.maxAgeMs > 0 || bytesNow > m_limits.maxBytes))
        ok = scanFront(nowMs, bytesNow, &dropped, &droppedCount, &droppedBytes);
    int64_t frontMs = m_frontMs, frontId = m_frontId;
    if (ok && (removed || droppedCount || wasEmpty)) {
        const int rc = sqlite3_step(m_first.get());
        frontMs = rc == SQLITE_ROW ? sqlite3_column_int64(m_first.get(), 1) : 0;
        frontId = rc == SQLITE_ROW ? sqlite3_column_int64(m_first.get(), 0) : 0;
        sqlite3_reset(m_first.get());
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
    }
    if (!ok || !run(m_commit.get())) {
        for (StoredValue& v : values)
            v.id = 0;
        return fail("write to", error);
    }
    m_nextId = id;
    m_count = m_count + values.size() - removed - droppedCount;
    m_bytes = bytesNow - droppedBytes;
    m_frontMs = frontMs;
    m_frontId = frontId;
    m_uncopied = true;
    if (drops) {
        drops->bySize += dropped.bySize;
        drops->byAge += dropped.byAge;
    }
    return true;
}

bool PublishStore::read(int64_t afterId, size_t max, std::vector<StoredValue>* out,
                        std::string* error) {
    out->clear();
    sqlite3_stmt* s = m_read.get();
    sqlite3_bind_int64(s, 1, afterId);
    sqlite3_bind_int64(s, 2,
                       static_cast<int64_t>(std::min<uint64_t>(
                           max, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))));
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        StoredValue v;
        v.id = sqlite3_column_int64(s, 0);
        v.postedMs = sqlite3_column_int64(s, 1);
        v.retain = sqlite3_column_int64(s, 2) != 0;
        v.topic = blob(s, 3);
        v.payload = blob(s, 4);
        out->push_back(std::move(v));
    }
    sqlite3_reset(s);
    if (rc == SQLITE_DONE)
        return true;
    out->clear();
    return fail("read", error);
}

bool PublishStore::checkpoint(std::string* error) {
    if (!m_uncopied)
        return true;
    int logFrames = 0, copied = 0;
    if (sqlite3_wal_checkpoint_v2(m_db.get(), "main", SQLITE_CHECKPOINT_PASSIVE, &logFrames,
                                  &copied) != SQLITE_OK)
        return fail("checkpoint", error);
    // The lock is exclusive: no reader holds a frame back.
    m_uncopied = copied < logFrames;
    return true;
}

bool PublishStore::moved() const {
    int moved = 0;
    return sqlite3_file_control(m_db.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved != 0;
}

bool PublishStore::take(PublishStore& from, std::string* error) {
    if (m_count > 0) {
        *error = "cannot make a new store at " + m_path + ": another store with values is there";
        return false;
    }
    if (!run(m_begin.get()))
        return fail("write to", error);
    uint64_t count = 0, bytes = 0;
    int64_t frontMs = 0, frontId = 0;
    std::vector<StoredValue> window;
    // A window at a time: memory stays bounded whatever the store holds.
    for (int64_t after = 0;; after = window.back().id) {
        if (!from.read(after, 10000, &window, error)) {
            sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        if (window.empty())
            break;
        if (count == 0) {
            frontMs = window.front().postedMs;
            frontId = window.front().id;
        }
        for (const StoredValue& v : window) {
            if (!insert(v)) {
                sqlite3_clear_bindings(m_insert.get());
                return fail("write to", error);
            }
            ++count;
            bytes += v.topic.size() + v.payload.size() + kValueOverhead;
        }
        sqlite3_clear_bindings(m_insert.get());
    }
    if (!run(m_commit.get()))
        return fail("write to", error);
    m_count = count;
    m_bytes = bytes;
    m_nextId = std::max(m_nextId, from.m_nextId);
    m_frontMs = frontMs;
    m_frontId = frontId;
    m_uncopied = true;
    sqlite3_db_config(from.m_db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return true;
}
