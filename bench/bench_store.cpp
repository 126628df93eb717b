// Durable publish store: values through PublishStore in the shape a publish
// session commits them (groups of 256, acknowledgements deleted by id), against
// the floor of durability measured in the same run, interleaved: the same
// bytes appended to a plain file with one fdatasync per group.
//   steady   100000 values; each commit appends a group and deletes the group
//            before it (acknowledged meanwhile), so the store holds ~512
//   backlog  100000 values appended in groups (an outage), then read back in
//            windows of 1000 and deleted in groups (the drain); the
//            reference reads its file back and appends a synced 8-byte
//            "acknowledged up to" mark per group
// and the time to open the store holding the 100000 (its quick_check).
// Options: --dir DIR (default /tmp) for the files, --group N (default 256);
// --port is accepted and ignored (./run.sh bench passes it to every benchmark).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "publish/publish_store.h"

namespace {

using namespace kro::bench;

constexpr int kValues = 100000;
int kGroup = 256; // --group
constexpr int kWindow = 1000;
constexpr int kRounds = 5;

StoredValue value(int i) {
    return {0, "bench/session", "seq:" + std::to_string(i) + "-0123456789", false, 1000 + i};
}

std::vector<StoredValue> group(int first) {
    std::vector<StoredValue> out;
    for (int i = first; i < first + kGroup && i < kValues; ++i)
        out.push_back(value(i));
    return out;
}

std::vector<int64_t> idsOf(const std::vector<StoredValue>& vs) {
    std::vector<int64_t> out;
    for (const auto& v : vs)
        out.push_back(v.id);
    return out;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_store: %s\n", what.c_str());
    std::exit(1);
}

std::unique_ptr<PublishStore> openStore(const std::string& path) {
    std::string error;
    auto store = PublishStore::open(path, {}, &error, nullptr);
    if (!store)
        die(error);
    return store;
}

void commit(PublishStore& store, std::vector<StoredValue>& values,
            const std::vector<int64_t>& done) {
    std::string error;
    if (!store.commit(values, done, 0, nullptr, &error))
        die(error);
}

// Values/s of the steady part through the store.
double storeSteady(const std::string& path) {
    auto store = openStore(path);
    const int64_t start = nowNs();
    std::vector<int64_t> acked;
    for (int i = 0; i < kValues; i += kGroup) {
        std::vector<StoredValue> g = group(i);
        commit(*store, g, acked);
        acked = idsOf(g);
    }
    std::vector<StoredValue> none;
    commit(*store, none, acked);
    return kValues / ((nowNs() - start) / 1e9);
}

// Values/s of the backlog part through the store; *openMs: opening it full.
double storeBacklog(const std::string& path, double* openMs) {
    auto store = openStore(path);
    const int64_t start = nowNs();
    for (int i = 0; i < kValues; i += kGroup) {
        std::vector<StoredValue> g = group(i);
        commit(*store, g, {});
    }
    int64_t paused = nowNs();
    store.reset();
    store = openStore(path);
    *openMs = (nowNs() - paused) / 1e6;
    const int64_t resumed = nowNs();
    std::vector<StoredValue> window, none;
    std::string error;
    int64_t after = 0;
    while (store->read(after, kWindow, &window, &error) && !window.empty()) {
        for (size_t i = 0; i < window.size(); i += kGroup) {
            std::vector<int64_t> done;
            for (size_t j = i; j < i + kGroup && j < window.size(); ++j)
                done.push_back(window[j].id);
            commit(*store, none, done);
        }
        after = window.back().id;
    }
    if (!error.empty() || store->count() != 0)
        die("backlog not drained: " + error);
    return kValues / ((paused - start + nowNs() - resumed) / 1e9);
}

// The reference: length-prefixed records appended to a file, synced per group.
struct Log {
    explicit Log(const std::string& path)
        : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644)) {
        if (fd < 0)
            die("cannot open " + path);
    }
    ~Log() { ::close(fd); }
    void append(const std::vector<StoredValue>& values) {
        std::string buf;
        for (const auto& v : values) {
            const uint32_t sizes[2] = {uint32_t(v.topic.size()), uint32_t(v.payload.size())};
            buf.append(reinterpret_cast<const char*>(sizes), sizeof(sizes));
            buf += v.topic;
            buf += v.payload;
        }
        write(buf);
    }
    void write(const std::string& buf) {
        if (::write(fd, buf.data(), buf.size()) != ssize_t(buf.size()) || fdatasync(fd) != 0)
            die("reference write failed");
    }
    int fd;
};

double refSteady(const std::string& path) {
    Log log(path);
    const int64_t start = nowNs();
    for (int i = 0; i < kValues; i += kGroup)
        log.append(group(i));
    return kValues / ((nowNs() - start) / 1e9);
}

double refBacklog(const std::string& path) {
    const int64_t start = nowNs();
    {
        Log log(path);
        for (int i = 0; i < kValues; i += kGroup)
            log.append(group(i));
    }
    // Read back whole (the floor), one synced mark per group of records.
    Log marks(path + ".acked");
    const std::string data = readFile(path);
    int64_t records = 0;
    for (size_t at = 0; at + 8 <= data.size();) {
        uint32_t sizes[2];
        std::memcpy(sizes, data.data() + at, sizeof(sizes));
        at += sizeof(sizes) + sizes[0] + sizes[1];
        if (++records % kGroup == 0 || at >= data.size())
            marks.write(std::string(reinterpret_cast<const char*>(&records), sizeof(records)));
    }
    return kValues / ((nowNs() - start) / 1e9);
}

} // namespace

int main(int argc, char** argv) {
    Options options(argc, argv, {"dir", "group", "port"});
    kGroup = int(options.number("group", kGroup));
    const std::string dir = makeTempDir(options.text("dir", "/tmp") + "/kro-bench-store");
    std::vector<double> steady, steadyRef, backlog, backlogRef, openMs;
    for (int round = 0; round < kRounds; ++round) {
        const std::string base = dir + "/r" + std::to_string(round);
        steadyRef.push_back(refSteady(base + "-ref-steady"));
        steady.push_back(storeSteady(base + "-steady.db"));
        backlogRef.push_back(refBacklog(base + "-ref-backlog"));
        double ms = 0;
        backlog.push_back(storeBacklog(base + "-backlog.db", &ms));
        openMs.push_back(ms);
        std::fprintf(stderr, "round %d: steady %.0f (ref %.0f), backlog %.0f (ref %.0f) values/s\n",
                     round, steady.back(), steadyRef.back(), backlog.back(), backlogRef.back());
    }
    removeTree(dir);
    printHeading("Durable store: " + std::to_string(kValues) + " values of 29 bytes in groups of " +
                 std::to_string(kGroup) + ", " + std::to_string(kRounds) +
                 " interleaved rounds, medians");
    printRatio("steady: append + delete acked", median(steady), median(steadyRef), "val/s");
    printRatio("backlog: fill, then read + delete", median(backlog), median(backlogRef), "val/s");
    printFigure("open with 100000 stored (quick_check)", median(openMs), "ms");
    printNote("reference: the same records appended to a plain file, one fdatasync per group");
    return 0;
}
