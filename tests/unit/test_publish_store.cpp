// The durable publish store against real files in a private directory.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "publish/publish_store.h"

namespace {

namespace fs = std::filesystem;
using Store = std::unique_ptr<PublishStore>;
using Ids = std::vector<int64_t>;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void spit(const std::string& path, const std::string& bytes, std::streamoff at = 0) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!out.is_open())
        out.open(path, std::ios::binary | std::ios::out);
    out.seekp(at) << bytes;
}

// Value i: topic "t/i", payload "vi" and `size` zero bytes, retained when i
// is odd, posted at 1000 + i.
std::vector<StoredValue> values(int n, int first = 0, size_t size = 8) {
    std::vector<StoredValue> out;
    for (int i = first; i < first + n; ++i)
        out.push_back({0, "t/" + std::to_string(i),
                       "v" + std::to_string(i) + std::string(size, '\0'), i % 2 == 1, 1000 + i});
    return out;
}
constexpr uint64_t kOne = 3 + 10 + PublishStore::kValueOverhead; // bytes() of one of them
Ids ids(const std::vector<StoredValue>& vs) {
    Ids out;
    for (const auto& v : vs)
        out.push_back(v.id);
    return out;
}
std::vector<std::string> rows(const std::vector<StoredValue>& vs) {
    std::vector<std::string> out;
    for (const auto& v : vs)
        out.push_back(v.topic + "|" + v.payload + "|" + std::to_string(v.retain) + "|" +
                      std::to_string(v.postedMs));
    return out;
}

class PublishStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kro-store-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/values.db";
    }
    void TearDown() override { fs::remove_all(dir); }
    Store open(PublishStore::Limits limits = {}) {
        std::string error;
        Store s = PublishStore::open(path, limits, &error, &moved);
        EXPECT_TRUE(s) << error;
        return s;
    }
    std::vector<StoredValue> all(PublishStore& s) {
        std::vector<StoredValue> out;
        std::string error;
        EXPECT_TRUE(s.read(0, 1u << 20, &out, &error)) << error;
        return out;
    }
    // The ids given.
    Ids commit(PublishStore& s, std::vector<StoredValue> vs, const Ids& done = {}, int64_t now = 0,
               PublishStore::Drops* drops = nullptr) {
        std::string error;
        EXPECT_TRUE(s.commit(vs, done, now, drops, &error)) << error;
        return ids(vs);
    }
    std::string refused(const std::string& p) {
        std::string error;
        EXPECT_FALSE(PublishStore::open(p, {}, &error, nullptr));
        return error;
    }
    std::string dir, path, moved;
};

TEST_F(PublishStoreTest, RestartKeepsValuesAndTheirOrder) {
    {
        Store s = open();
        EXPECT_EQ(commit(*s, values(3)), (Ids{1, 2, 3}));
        EXPECT_EQ(commit(*s, values(2, 3)), (Ids{4, 5}));
    }
    Store s = open();
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(rows(all(*s)), rows(values(5)));
    EXPECT_EQ(ids(all(*s)), (Ids{1, 2, 3, 4, 5}));
    EXPECT_TRUE(s->count() == 5 && s->oldestMs() == 1000 && s->bytes() == 5 * kOne);
    commit(*s, {}, {1, 2, 3, 4, 5});
    EXPECT_EQ(commit(*s, values(1)), Ids{6}); // ids go on from the highest given
}

TEST_F(PublishStoreTest, DeletesLeaveExactlyTheOthers) {
    const std::vector<std::pair<Ids, Ids>> cases = {// done, left
                                                    {{1, 2, 3}, {4, 5, 6, 7, 8}},
                                                    {{5, 2, 6}, {1, 3, 4, 7, 8}},
                                                    {{3, 3, 99, -1, 0}, {1, 2, 4, 5, 6, 7, 8}},
                                                    {{6, 5, 4, 3, 2, 1}, {7, 8}}};
    for (const auto& [done, left] : cases) {
        fs::remove(path);
        Store s = open();
        commit(*s, values(6));
        commit(*s, values(2, 6), done); // new values in the same commit
        EXPECT_EQ(ids(all(*s)), left);
        EXPECT_TRUE(s->count() == left.size() && s->bytes() == left.size() * kOne &&
                    s->oldestMs() == 999 + left.front());
    }
}

TEST_F(PublishStoreTest, LimitsDropTheOldestAndCountThem) {
    struct {
        PublishStore::Limits limits;
        int64_t now;
        Ids stamps, left;
        uint64_t bySize, byAge;
    } const cases[] = {{{3 * kOne, 0}, 0, {1, 2, 3, 4, 5}, {3, 4, 5}, 2, 0},
                       {{kOne - 1, 0}, 0, {1, 2}, {}, 2, 0},
                       {{2 * kOne + 1, 0}, 0, {1, 2, 3, 4}, {3, 4}, 2, 0},
                       {{1u << 30, 1000}, 2600, {0, 500, 1500, 2000}, {4}, 0, 3},
                       {{kOne, 1000}, 2600, {0, 1700, 1800}, {3}, 1, 1}, // age first, then size
                       // Age goes by posting order: a later stamp shields the values after it.
                       {{1u << 30, 1000}, 2000, {0, 5000, 100}, {2, 3}, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamps.size());
        fs::remove(path);
        Store s = open(c.limits);
        std::vector<StoredValue> vs = values(int(c.stamps.size()));
        for (size_t i = 0; i < vs.size(); ++i)
            vs[i].postedMs = c.stamps[i];
        PublishStore::Drops drops{1, 1}; // added to
        commit(*s, vs, {}, c.now, &drops);
        EXPECT_EQ(ids(all(*s)), c.left);
        EXPECT_TRUE(drops.bySize == c.bySize + 1 && drops.byAge == c.byAge + 1);
        EXPECT_TRUE(s->count() == c.left.size() && s->bytes() == c.left.size() * kOne);
    }
    fs::remove(path);
    Store s = open({1u << 30, 100}); // a commit with nothing new applies the age limit too
    PublishStore::Drops drops;
    commit(*s, values(3), {}, 1000);
    commit(*s, {}, {}, 1101, &drops); // past the first value's limit only
    EXPECT_TRUE(drops.byAge == 1 && s->oldestMs() == 1001);
}

void foreignDb(const std::string& path, bool wal) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE", 0, 0, 0);
    sqlite3_exec(db, "CREATE TABLE mine(x); INSERT INTO mine VALUES('keep me')", 0, 0, 0);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr); // leaves the WAL
    sqlite3_close(db);
}

TEST_F(PublishStoreTest, DamagedOrForeignFileMovedAsideIntactAndAFreshStoreMade) {
    const std::map<std::string, void (*)(const std::string&)> cases = {
        {"garbage", [](const std::string& p) { spit(p, std::string(5000, 'x')); }},
        {"foreign", [](const std::string& p) { foreignDb(p, false); }},
        {"foreign-wal", [](const std::string& p) { foreignDb(p, true); }},
        {"damaged", [](const std::string& p) {
             std::string e;
             std::vector<StoredValue> vs = values(300, 0, 100);
             PublishStore::open(p, {}, &e, nullptr)->commit(vs, {}, 0, nullptr, &e);
             spit(p, std::string(4096, '\xAA'), 3 * 4096); // a page of the table
         }}};
    for (const auto& [name, make] : cases) {
        path = dir + "/" + name + ".db";
        std::map<std::string, std::string> kept;  // moved file: its bytes as found
        for (int round = 0; round < 2; ++round) { // the second move takes another name
            fs::remove(path);
            make(path);
            const std::string before = moved;
            std::map<std::string, std::string> found;
            for (const char* f : {"", "-wal", "-shm"})
                if (fs::exists(path + f))
                    found[f] = slurp(path + f);
            Store s = open();
            ASSERT_TRUE(s && moved != before && moved.rfind(path + ".damaged-", 0) == 0) << moved;
            for (const auto& [f, bytes] : found)
                kept[moved + f] = bytes;
            EXPECT_TRUE(s->count() == 0 && commit(*s, values(1)) == Ids{1});
        }
        EXPECT_EQ(kept.size(), name == "foreign-wal" ? 6u : 2u) << name;
        for (const auto& [file, bytes] : kept)
            EXPECT_EQ(slurp(file), bytes) << file;
    }
}

TEST_F(PublishStoreTest, SecondStoreOnTheFileIsRefusedInThisAndAnotherProcess) {
    const std::string inUse = "cannot open " + path + ": in use by another driver or program";
    Store a = open();
    EXPECT_EQ(refused(path), inUse);
    a.reset();
    int ready[2], done[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(done) == 0);
    const pid_t child = fork();
    if (child == 0) { // holds a store until told, then ends without closing it
        std::string error;
        Store s = PublishStore::open(path, {}, &error, nullptr);
        char c = s ? 'y' : 'n';
        _exit(write(ready[1], &c, 1) == 1 && read(done[0], &c, 1) == 1 ? 0 : 1);
    }
    char c = 0;
    ASSERT_TRUE(read(ready[0], &c, 1) == 1 && c == 'y');
    EXPECT_EQ(refused(path), inUse);
    EXPECT_EQ(write(done[1], &c, 1), 1);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(open()); // the lock ends with the process
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
}

// Killed after a checkpoint, then its -wal file lost: what came before it is
// there. Closed, nothing is left only in the -wal file.
TEST_F(PublishStoreTest, CheckpointedValuesOutliveALostLog) {
    const pid_t child = fork();
    if (child == 0) { // ends without closing the store, as when killed
        std::string e;
        Store s = PublishStore::open(path, {}, &e, nullptr);
        std::vector<StoredValue> a = values(3), b = values(2, 3);
        const bool ok = s && s->commit(a, {}, 0, nullptr, &e) && s->checkpoint(&e);
        _exit(ok && s->commit(b, {}, 0, nullptr, &e) ? 0 : 1);
    }
    int status = -1;
    ASSERT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0);
    ASSERT_TRUE(fs::remove(path + "-wal"));
    Store s = open();
    EXPECT_EQ(rows(all(*s)), rows(values(3)));
    commit(*s, values(1, 3));
    s.reset();
    fs::remove(path + "-wal");
    EXPECT_EQ(rows(all(*open())), rows(values(4)));
}

// Its file removed while open: noticed, and a new store at the path takes
// every value with its id, the old one closing without touching its files.
TEST_F(PublishStoreTest, RemovedStoreIsNoticedAndANewOneTakesItsValues) {
    Store old = open();
    commit(*old, values(5), {2});
    EXPECT_FALSE(old->moved());
    fs::remove(path);
    EXPECT_TRUE(old->moved());
    Store fresh = open();
    std::string error;
    ASSERT_TRUE(fresh->take(*old, &error)) << error;
    EXPECT_FALSE(old->take(*fresh, &error)); // one with values takes none
    old.reset();
    EXPECT_FALSE(fresh->moved());
    EXPECT_EQ(ids(all(*fresh)), (Ids{1, 3, 4, 5}));
    EXPECT_TRUE(fresh->count() == 4 && fresh->bytes() == 4 * kOne && fresh->oldestMs() == 1000);
    EXPECT_EQ(commit(*fresh, values(1)), Ids{6});
}

TEST_F(PublishStoreTest, UnusablePathsAreRefusedWithTheReason) {
    spit(dir + "/file", "x");
    fs::create_directory(dir + "/ro");
    fs::permissions(dir + "/ro", fs::perms::owner_read | fs::perms::owner_exec);
    std::vector<std::string> paths = {dir + "/file/x.db", dir + "/none/x.db", dir};
    if (geteuid() != 0) // permission bits do not stop root
        paths.push_back(dir + "/ro/x.db");
    for (const std::string& p : paths)
        EXPECT_EQ(refused(p), "cannot open " + p + ": unable to open database file");
}

TEST_F(PublishStoreTest, ReadGivesBoundedWindowsInOrder) {
    Store s = open();
    commit(*s, values(250));
    std::vector<StoredValue> window;
    std::string error;
    Ids seen;
    while (s->read(seen.empty() ? 0 : seen.back(), 100, &window, &error) && !window.empty()) {
        EXPECT_LE(window.size(), 100u);
        for (const auto& v : window)
            seen.push_back(v.id);
    }
    EXPECT_TRUE(seen == ids(all(*s)) && seen.size() == 250);
    EXPECT_TRUE(s->read(0, 0, &window, &error) && window.empty());
}

TEST_F(PublishStoreTest, FailedCommitKeepsNothingOfItAndTheStoreGoesOn) {
    Store s = open();
    commit(*s, values(10));
    // Writes past the file size limit fail (EFBIG) as on a full disk.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small = {256 << 10, old.rlim_max};
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    std::vector<StoredValue> big = values(1, 10, 1 << 20);
    std::string error;
    const bool ok = s->commit(big, {1, 2}, 0, nullptr, &error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "cannot write to " + path + ": disk I/O error");
    EXPECT_TRUE(big[0].id == 0 && s->count() == 10);
    EXPECT_EQ(rows(all(*s)), rows(values(10)));
    EXPECT_EQ(commit(*s, values(1, 10), {1}), Ids{11});
    s.reset();
    EXPECT_EQ(all(*open()).size(), 10u);
}

} // namespace
