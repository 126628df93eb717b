// Arbitrary per-user configuration files: the input is written as the
// subscriber's, the publisher's and the request/response client's file in a
// private home directory, and each client kind loads its record with a
// minimal argument vector. The three names are hard links to one file, so one
// write per input serves all three; the directory is in memory where possible
// (a disk-backed one is ten times slower).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "client/client_shared.h"

#include "fuzz_util.h"

namespace {

std::string g_home;

const char* const kFiles[] = {"mosquitto_pub.conf", "mosquitto_sub.conf", "mosquitto_rr.conf"};

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    require(fp != nullptr);
    if (size)
        require(std::fwrite(data, 1, size, fp) == size);
    require(std::fclose(fp) == 0);
}

void remove_home() {
    for (const char* name : kFiles)
        std::remove((g_home + "/" + name).c_str());
    rmdir(g_home.c_str());
}

int load(int kind, std::vector<std::string> entries) {
    std::vector<char*> argv;
    for (std::string& e : entries)
        argv.push_back(e.data());
    argv.push_back(nullptr);
    mosq_config c;
    int rc = client_config_load(&c, kind, static_cast<int>(entries.size()), argv.data());
    if (rc == 0)
        require(c.host != nullptr && (kind != CLIENT_SUB || c.topic_count > 0));
    client_config_cleanup(&c);
    return rc;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    if (!tmp || !*tmp)
        tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(tmp) + "/kro-fuzz-home-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    require(mkdtemp(buf.data()) != nullptr);
    g_home = buf.data();
    std::atexit(remove_home);
    write_file(g_home + "/" + kFiles[0], nullptr, 0);
    for (const char* name : {kFiles[1], kFiles[2]})
        require(link((g_home + "/" + kFiles[0]).c_str(), (g_home + "/" + name).c_str()) == 0);
    // USERPROFILE would win over HOME.
    unsetenv("USERPROFILE");
    setenv("HOME", g_home.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Rewritten in place: the other two names see the same contents.
    write_file(g_home + "/" + kFiles[0], data, size);

    for (int kind : {CLIENT_PUB, CLIENT_RR}) {
        int rc = load(kind, {"prog"});
        require(rc >= 0 && rc <= 3);
    }
    // The subscriber needs a topic; one on the command line lets a file
    // without -t reach the final checks too.
    int rc = load(CLIENT_SUB, {"prog", "-t", "fuzz/#"});
    require(rc >= 0 && rc <= 3);
    return 0;
}
