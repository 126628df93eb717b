#pragma once

// Durable publishing's store: the values a publish session cannot hand to the
// broker yet, kept in one SQLite file until the broker has them. It knows
// nothing of MQTT. Only one thread uses a store.
//
// The file is in WAL mode with synchronous=FULL: a commit that returned true
// survives a crash or a power cut; what checkpoint() has copied into the main
// file survives the loss of the -wal file too. The connection holds the file's lock
// (locking_mode=EXCLUSIVE) from open to destruction, so a second store on the
// same file, in this process or another, is refused. Values keep their
// posting order: ids increase with it, and values leave by the limits oldest
// first, so what the store holds is always a run of the posted values with
// the acknowledged ones taken out.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct StoredValue {
    int64_t id = 0; // given by commit
    std::string topic, payload;
    bool retain = false;
    int64_t postedMs = 0; // wall clock (ms since 1970), as the session stamps it
};

class PublishStore {
public:
    // What bytes() counts per value on top of its topic and payload: about
    // what SQLite spends on a row (ids, lengths, the time stamp, the cell).
    static constexpr uint64_t kValueOverhead = 32;

    struct Limits {
        // Bound on bytes(); the file itself is larger by SQLite's pages and
        // keeps its largest size (freed pages are reused, not given back).
        uint64_t maxBytes = 1024ull << 20;
        int64_t maxAgeMs = 0; // 0: no age limit
    };
    struct Drops {
        uint64_t bySize = 0, byAge = 0;
    };

    // Opens or creates the store at `path` (UTF-8). Null with *error set
    // when it cannot be used, e.g. "cannot open /x/y.db: unable to open
    // database file", "cannot open /x/y.db: in use by another driver or
    // program". A file that is not a store (not SQLite, another program's
    // database) or is damaged is renamed to PATH.damaged-YYYYMMDD-HHMMSS (then
    // -1, -2, ...: never over an existing file) with its -wal, -journal and
    // -shm files beside it, *movedAside (when given) is set to that name, and
    // a fresh store is made at `path`. Nothing is deleted, and nothing written
    // into a file that is not a store (but SQLite, like any program opening
    // it, first rolls back a transaction a crashed program left in a
    // rollback journal).
    static std::unique_ptr<PublishStore> open(const std::string& path, const Limits& limits,
                                              std::string* error, std::string* movedAside);
    ~PublishStore();
    PublishStore(const PublishStore&) = delete;
    PublishStore& operator=(const PublishStore&) = delete;

    // One transaction, synced to disk: appends `values` in order, giving each
    // its id (increasing in posting order), deletes the ids in `done` (any
    // set; ids not stored are ignored), then applies the limits, adding to
    // *drops: while bytes() is over maxBytes the oldest values go (bySize);
    // with an age limit the oldest values go while they were posted before
    // nowMs - maxAgeMs (byAge; age goes by posting order: a value stamped
    // earlier than one posted before it, after a clock was set back, leaves
    // with or after that one). False with *error on failure (full disk, I/O
    // error): nothing of the call is kept, the ids in `values` are 0 again,
    // and what was stored before stays as it was.
    bool commit(std::vector<StoredValue>& values, const std::vector<int64_t>& done, int64_t nowMs,
                Drops* drops, std::string* error);

    // Replaces *out with up to `max` stored values with id > afterId, in id
    // order: a window, so memory stays bounded whatever the store holds.
    // False with *error (and *out empty) when the file cannot be read.
    bool read(int64_t afterId, size_t max, std::vector<StoredValue>* out, std::string* error);

    // Copies what was committed since the last call from the WAL into the
    // main file, synced (PASSIVE: the WAL keeps its size, so that the commits
    // after it overwrite it rather than grow it). False with *error.
    bool checkpoint(std::string* error);
    // True when the path no longer names the open file (removed, renamed, or
    // replaced by another file); never on a system where an open file cannot
    // be removed.
    bool moved() const;
    // Copies every value of `from` into this store, which holds none, with
    // their ids (a session knows its values by them), in one transaction.
    // `from` is then left to be closed as it is: its WAL is neither
    // checkpointed nor deleted (by its name, which may be this store's by
    // now). False with *error, nothing copied.
    bool take(PublishStore& from, std::string* error);

    uint64_t count() const { return m_count; }                   // values stored
    int64_t oldestMs() const { return m_count ? m_frontMs : 0; } // postedMs of the oldest
    int64_t oldestId() const { return m_count ? m_frontId : 0; } // id of the oldest
    int64_t lastId() const { return m_nextId - 1; }              // the last id given, 0 before any
    // Topic bytes + payload bytes + kValueOverhead per value, over all stored
    // values: the measure maxBytes bounds. Kept up to date in memory.
    uint64_t bytes() const { return m_bytes; }

private:
    struct StmtFree {
        void operator()(sqlite3_stmt* s) const;
    };
    struct DbClose {
        void operator()(sqlite3* db) const;
    };
    using Stmt = std::unique_ptr<sqlite3_stmt, StmtFree>;
    enum class Found { Store, Damaged, Failed };

    PublishStore(std::string path, const Limits& limits);
    Found attach(std::string* error);
    bool prepareStatements();
    bool loadState();
    bool run(sqlite3_stmt* s);
    bool insert(const StoredValue& v);
    bool scanFront(int64_t nowMs, uint64_t bytesNow, Drops* dropped, uint64_t* count,
                   uint64_t* bytes);
    bool deleteRange(int64_t first, int64_t last, uint64_t* count, uint64_t* bytes);
    bool fail(const char* what, std::string* error);

    const std::string m_path;
    const Limits m_limits;
    // Declared before the statements, so that they are finalized first.
    std::unique_ptr<sqlite3, DbClose> m_db;
    Stmt m_begin, m_commit, m_insert, m_measure, m_delete, m_deleteUpTo, m_front, m_first, m_read;
    uint64_t m_count = 0;
    uint64_t m_bytes = 0;
    int64_t m_nextId = 1;
    int64_t m_frontMs = 0;
    int64_t m_frontId = 0;
    bool m_uncopied = false; // committed since the last checkpoint
};
