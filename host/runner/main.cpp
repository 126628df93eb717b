// kro-host: runs the plug-in's drivers the way the host does, outside the
// host. It loads the plug-in with dlopen, builds devices and runtime variables
// from a JSON file, creates the drivers through the exported factories, runs
// each threadRun() on a thread of its own, and shows every write to the store.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "console.h"
#include "eventlog.h"
#include "kro_host.h"

namespace fs = std::filesystem;
using namespace kro::runner;

namespace {

std::atomic<bool> g_signalled{false};

extern "C" void onSignal(int) {
    g_signalled = true;
}

void say(const std::string& line) {
    eventlog::print(line);
}

void printEvent(const kro::host::Event& e) {
    std::string line = escapeControls(e.name) + " = ";
    if (e.kind == kro::host::Event::Kind::RuntimeInt) {
        line += e.value;
        std::string words = explainState(e.name, std::stoi(e.value));
        if (!words.empty())
            line += " (" + words + ")";
    } else {
        line += quoted(e.value);
    }
    eventlog::print(line);
}

struct Options {
    std::string config;
    std::string plugin;
    std::string publisher;
    std::string script;
    double forSeconds = -1;
};

const char* kUsage =
    "Usage: kro-host [--plugin PATH] [--publisher PATH] [--for SECONDS] [--script FILE] "
    "CONFIG.json\n"
    "       kro-host --help | --version\n"
    "\n"
    "Runs the drivers of CONFIG.json in a stand-in host and shows every variable write and\n"
    "runtime-variable change. Type 'help' for the console commands.\n"
    "  --plugin PATH     the plug-in to load (default: the configuration's \"plugin\", else the "
    "built one)\n"
    "  --publisher PATH  the publisher program the drivers start (default: the built one)\n"
    "  --for SECONDS     end the run after this many seconds (at most 31536000, one year)\n"
    "  --script FILE     read console commands from FILE instead of standard input\n";

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kro-host: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (a == "--plugin") {
            if (!value(o.plugin))
                return false;
        } else if (a == "--publisher") {
            if (!value(o.publisher))
                return false;
        } else if (a == "--script") {
            if (!value(o.script))
                return false;
        } else if (a == "--for") {
            std::string v;
            if (!value(v))
                return false;
            if (!parseSeconds(v, o.forSeconds)) {
                std::fprintf(stderr,
                             "kro-host: --for needs a number of seconds from 0 to 31536000 (one "
                             "year), not \"%s\"\n",
                             escapeControls(v).c_str());
                return false;
            }
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("kro-host %s\n", KRO_VERSION);
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "kro-host: unknown option %s\n", escapeControls(a).c_str());
            return false;
        } else if (o.config.empty()) {
            o.config = a;
        } else {
            std::fprintf(stderr, "kro-host: only one configuration file, not \"%s\"\n",
                         escapeControls(a).c_str());
            return false;
        }
    }
    if (o.config.empty()) {
        std::fputs(kUsage, stderr);
        return false;
    }
    return true;
}

// The drivers start the publisher from fixed paths relative to the working
// directory. Missing ones are linked to the built program.
bool ensurePublisher(const std::string& publisher) {
    static const char* kPaths[] = {"Debug/mosquitto_pub.exe", "res/other/mosquitto_pub.exe"};
    for (const char* rel : kPaths) {
        std::error_code ec;
        if (fs::exists(rel, ec))
            continue;
        if (publisher.empty() || !fs::exists(publisher, ec)) {
            std::fprintf(
                stderr,
                "kro-host: the publisher program is missing at ./%s (the drivers start it from "
                "the\n"
                "working directory %s). Build it with './run.sh build' and run kro-host with\n"
                "--publisher PATH, or link it there yourself: ln -s PATH ./%s\n",
                rel, fs::current_path().c_str(), rel);
            return false;
        }
        fs::create_directories(fs::path(rel).parent_path(), ec);
        if (fs::is_symlink(fs::symlink_status(rel, ec)))
            fs::remove(rel, ec); // a dangling link from an earlier build
        fs::create_symlink(fs::absolute(publisher), rel, ec);
        if (ec) {
            std::fprintf(stderr, "kro-host: cannot link ./%s to %s: %s\n", rel, publisher.c_str(),
                         ec.message().c_str());
            return false;
        }
        say("linked ./" + std::string(rel) + " -> " +
            escapeControls(fs::absolute(publisher).string()));
    }
    return true;
}

using Factory = kro::IDvcDriver* (*)(kro::IDeviceManager*, std::string);

// Reads one line from fd 0, waking every 100 ms to look at the stop
// conditions. False at end of input.
bool readLine(std::string& line, const std::function<bool()>& stop) {
    static std::string pending;
    line.clear();
    for (;;) {
        auto nl = pending.find('\n');
        if (nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return true;
        }
        if (stop())
            return false;
        pollfd p{0, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!pending.empty()) {
                line.swap(pending);
                return true;
            }
            return false;
        }
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace

int main(int argc, char** argv) {
    // The drivers' lines reach the event log as they are printed, not when
    // a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options opt;
    if (!parseArgs(argc, argv, opt))
        return 2;

    Config config;
    std::string error;
    if (!loadConfig(opt.config, config, error)) {
        std::fprintf(stderr, "kro-host: %s\n", escapeControls(error).c_str());
        return 2;
    }
    std::ifstream script;
    if (!opt.script.empty()) {
        script.open(opt.script);
        if (!script) {
            std::fprintf(stderr, "kro-host: cannot open the script %s\n",
                         escapeControls(opt.script).c_str());
            return 2;
        }
    }

    eventlog::captureStdout();
    struct Release {
        ~Release() { eventlog::releaseStdout(); }
    } release;
    for (auto& w : config.warnings)
        say("warning: " + escapeControls(w));

    std::string plugin = !opt.plugin.empty() ? opt.plugin : config.plugin;
#ifdef KRO_PLUGIN_DEFAULT
    if (plugin.empty())
        plugin = KRO_PLUGIN_DEFAULT;
#endif
    std::string publisher = opt.publisher;
#ifdef KRO_PUBLISHER_DEFAULT
    if (publisher.empty())
        publisher = KRO_PUBLISHER_DEFAULT;
#endif
    if (plugin.empty()) {
        std::fprintf(stderr, "kro-host: no plug-in given (--plugin PATH)\n");
        return 2;
    }
    if (!ensurePublisher(publisher))
        return 2;

    void* handle = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "kro-host: cannot load the plug-in %s: %s\n", plugin.c_str(),
                     dlerror());
        return 2;
    }

    kro::host::DeviceManager dm;
    for (auto& d : config.devices) {
        kro::host::Device* dev = dm.addDevice(d.id);
        for (auto& v : d.variables)
            dev->addVariable(v);
    }
    for (auto& r : config.runtime) {
        if (r.isInt)
            kro::host::runtime().vars().setIntVar(r.name, r.i, 0);
        else
            kro::host::runtime().vars().setStrVar(r.name, r.s, 0);
    }

    // Every driver is made before any runs, so a bad entry starts nothing.
    std::vector<RunningDriver> drivers;
    for (auto& dc : config.drivers) {
        auto factory = reinterpret_cast<Factory>(dlsym(handle, dc.factory.c_str()));
        kro::IDvcDriver* driver = factory ? factory(&dm, dc.settings) : nullptr;
        if (!driver) {
            std::fprintf(stderr, "kro-host: %s: %s: %s\n", escapeControls(opt.config).c_str(),
                         dc.label.c_str(),
                         factory ? ("the factory " + dc.factory + " refused these settings").c_str()
                                 : ("the plug-in has no entry " + dc.factory).c_str());
            for (auto& d : drivers)
                delete d.driver;
            return 2;
        }
        drivers.push_back({driver, dc.device, dc.label, {}});
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    const int observer = kro::host::addObserver(printEvent);
    say("loaded " + escapeControls(plugin) + "; starting " + std::to_string(drivers.size()) +
        " driver(s)");
    std::atomic<int> entered{0};
    int running = 0;
    for (auto& d : drivers) {
        // The host runs every driver through its base class.
        auto* base = dynamic_cast<kro::UARTDriverBase*>(d.driver);
        if (base) {
            ++running;
            d.thread = std::thread([base, &entered] {
                entered++;
                base->threadRun();
            });
        } else {
            say(d.label + ": the driver is not a UARTDriverBase; not run");
        }
    }
    // A driver may only be destroyed once its threadRun() has begun: before
    // that, nothing in the driver can know a call is on its way. Every thread
    // is let reach the call before the console can quit.
    for (int i = 0; i < 250 && entered < running; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto start = std::chrono::steady_clock::now();
    auto stop = [&] {
        if (g_signalled)
            return true;
        if (opt.forSeconds < 0)
            return false;
        return std::chrono::steady_clock::now() - start >=
               std::chrono::milliseconds(static_cast<long>(opt.forSeconds * 1000));
    };

    // A command that fails in a script ends the run; at the console it is
    // only reported.
    Console console(dm, drivers, stop, !opt.script.empty());
    bool more = true;
    std::string line;
    if (!opt.script.empty()) {
        const std::string name = fs::path(opt.script).filename().string();
        for (int number = 1; more && !stop() && std::getline(script, line); ++number) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            more = console.execute(line, name + ":" + std::to_string(number) + ": ");
        }
    } else {
        while (more && readLine(line, stop)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            more = console.execute(line);
        }
    }
    // With --for, the end of the input does not end the run; quit does.
    while (more && opt.forSeconds >= 0 && !stop())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    say(g_signalled ? "signal received; stopping the drivers" : "stopping the drivers");
    for (auto& d : drivers) {
        delete d.driver; // ends the driver's threads and waits for threadRun()
        if (d.thread.joinable())
            d.thread.join();
    }
    kro::host::removeObserver(observer);
    say("all drivers stopped");
    return console.failed() ? 1 : 0;
}
