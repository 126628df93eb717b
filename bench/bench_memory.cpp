// Memory: the resident size (VmRSS) of the host runner (kro-host) with 1 and
// with 16 Common drivers connected and idle, and the growth per driver. The
// reference is a process of plain libmosquitto clients, each with a network
// thread of its own, connected and subscribed, with 1 and with 16 clients.
// Rounds interleave the four; medians are reported.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

using namespace kro::bench;

// kro-host with `drivers` Common drivers, each on a device of its own with one
// "SubVariable"; the script waits until every device is connected, says so,
// and idles for a while before it quits.
long hostResident(int port, int drivers, const std::string& dir) {
    std::string devices, settings, script;
    for (int i = 0; i < drivers; ++i) {
        const std::string id = "d" + std::to_string(i);
        devices += std::string(i ? "," : "") + "{\"id\":\"" + id +
                   "\",\"variables\":[{\"name\":\"v\",\"size\":32,\"addrType\":\"SubVariable\","
                   "\"addr\":\"bench/mem/" +
                   id + "\"}]}";
        settings += std::string(i ? "," : "") +
                    "{\"settings\":{\"Protocol\":\"COMMONMQTT\",\"DeviceId\":\"" + id +
                    "\",\"host\":\"127.0.0.1\",\"port\":\"" + std::to_string(port) + "\"}}";
        script += "waitfor " + id + ".substate 0 60\n";
    }
    script += "echo idle\nwait 4\nquit\n";
    writeFile(dir + "/host.json", "{\"devices\":[" + devices + "],\"drivers\":[" + settings + "]}");
    writeFile(dir + "/host.script", script);
    const std::string out = dir + "/host.out";
    // kro-host links the publisher into its working directory.
    const std::string cwd = dir + "/run" + std::to_string(drivers);
    std::vector<std::string> argv = {"/bin/sh",
                                     "-c",
                                     "mkdir -p \"$1\" && cd \"$1\" && exec \"$2\" --script \"$3\" "
                                     "\"$4\"",
                                     "sh",
                                     cwd,
                                     KRO_HOST_PROGRAM,
                                     dir + "/host.script",
                                     dir + "/host.json"};
    const pid_t pid = spawn(argv, out);
    long kb = -1;
    // Every event line starts with "[kro-host HH:MM:SS.mmm] ".
    if (waitUntil([&] { return readFile(out).find("] idle\n") != std::string::npos; },
                  std::chrono::seconds(90), 50)) {
        sleepMs(1000);
        kb = residentKb(pid);
    } else {
        std::fprintf(stderr, "kro-host with %d drivers did not connect:\n%s\n", drivers,
                     readFile(out).c_str());
    }
    waitChild(pid, std::chrono::seconds(30));
    return kb;
}

long referenceResident(int port, int clients, const std::string& dir) {
    const std::string result = dir + "/reference.result";
    writeFile(result, "");
    const pid_t pid = spawn({KRO_BENCH_SUB_REFERENCE, "--port", std::to_string(port), "--clients",
                             std::to_string(clients), "--timeout-s", "6", "--result", result});
    long kb = -1;
    if (waitUntil([&] { return readFile(result) == "ready\n"; }, std::chrono::seconds(30), 20)) {
        sleepMs(1000);
        kb = residentKb(pid);
    }
    waitChild(pid, std::chrono::seconds(30));
    return kb;
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"port", "rounds", "drivers"});
    const int rounds = static_cast<int>(o.number("rounds", 5));
    const int many = static_cast<int>(o.number("drivers", 16));
    std::unique_ptr<PrivateBroker> own;
    int port = static_cast<int>(o.number("port", 0));
    if (port == 0) {
        own = std::make_unique<PrivateBroker>();
        port = own->port();
    }
    const std::string dir = makeTempDir("kro-bench-memory");

    printHeading("Memory: VmRSS with 1 and " + std::to_string(many) + " connected idle drivers, " +
                 std::to_string(rounds) + " interleaved rounds, medians");
    std::vector<double> ref1, refN, host1, hostN;
    for (int r = 0; r < rounds; ++r) {
        ref1.push_back(static_cast<double>(referenceResident(port, 1, dir)));
        host1.push_back(static_cast<double>(hostResident(port, 1, dir)));
        refN.push_back(static_cast<double>(referenceResident(port, many, dir)));
        hostN.push_back(static_cast<double>(hostResident(port, many, dir)));
        std::fprintf(stderr, "  round %d  reference %.0f/%.0f KiB  kro-host %.0f/%.0f KiB\n", r + 1,
                     ref1.back(), refN.back(), host1.back(), hostN.back());
    }
    removeTree(dir);

    const double h1 = median(host1), hN = median(hostN), r1 = median(ref1), rN = median(refN);
    const double hostGrowth = (hN - h1) / (many - 1), refGrowth = (rN - r1) / (many - 1);
    printRatio("kro-host, 1 driver", h1, r1, "KiB");
    printRatio("kro-host, " + std::to_string(many) + " drivers", hN, rN, "KiB");
    printRatio("growth per driver", hostGrowth, refGrowth, "KiB");
    printNote("reference: a process of plain libmosquitto clients, one network thread each");
    const bool measured = h1 > 0 && hN > 0 && r1 > 0 && rN > 0;
    return measured ? 0 : 1;
}
