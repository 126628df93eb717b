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
#include <ctime>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.h"
#include "kro_host.h"

namespace fs = std::filesystem;
using namespace kro::runner;

namespace {

std::atomic<bool> g_signalled{false};

extern "C" void onSignal(int) {
    g_signalled = true;
}

std::mutex g_printMutex;

// Our own lines start with "[kro-host" so they stand apart from the drivers'.
void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::fprintf(stdout, "[kro-host] %s\n", line.c_str());
    std::fflush(stdout);
}

std::string nowText() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

std::string jsonText(const std::string& s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void printEvent(const kro::host::Event& e) {
    std::string line = "[kro-host " + nowText() + "] " + e.name + " = ";
    if (e.kind == kro::host::Event::Kind::RuntimeInt) {
        line += e.value;
        std::string words = explainState(e.name, std::stoi(e.value));
        if (!words.empty())
            line += " (" + words + ")";
    } else {
        line += jsonText(e.value);
    }
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
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
    "\n"
    "Runs the drivers of CONFIG.json in a stand-in host and shows every variable write and\n"
    "runtime-variable change. Type 'help' for the console commands.\n"
    "  --plugin PATH     the plug-in to load (default: the configuration's \"plugin\", else the "
    "built one)\n"
    "  --publisher PATH  the publisher program the drivers start (default: the built one)\n"
    "  --for SECONDS     end the run after this many seconds\n"
    "  --script FILE     read console commands from FILE instead of standard input\n";

const char* kHelp =
    "Commands:\n"
    "  post DEVICE.VAR VALUE   set the variable to VALUE and post it to its device's driver\n"
    "  set NAME VALUE          set a runtime variable to a text\n"
    "  setint NAME NUMBER      set a runtime variable to a whole number\n"
    "  unset NAME              remove a runtime variable\n"
    "  show                    table of all variables and runtime variables\n"
    "  wait SECONDS            pause the console (scripts)\n"
    "  waitfor NAME VALUE [SECONDS]\n"
    "                          wait until a variable (DEVICE.VAR) or runtime variable has\n"
    "                          VALUE (default 30 s); a time-out makes the run exit 1\n"
    "  echo TEXT               print TEXT\n"
    "  help                    this list\n"
    "  quit                    destroy the drivers and exit\n";

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
            char* end = nullptr;
            o.forSeconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || o.forSeconds < 0) {
                std::fprintf(stderr, "kro-host: --for needs a number of seconds, not \"%s\"\n",
                             v.c_str());
                return false;
            }
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "kro-host: unknown option %s\n", a.c_str());
            return false;
        } else if (o.config.empty()) {
            o.config = a;
        } else {
            std::fprintf(stderr, "kro-host: only one configuration file, not \"%s\"\n", a.c_str());
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
        say("linked ./" + std::string(rel) + " -> " + fs::absolute(publisher).string());
    }
    return true;
}

using Factory = kro::IDvcDriver* (*)(kro::IDeviceManager*, std::string);

struct RunningDriver {
    kro::IDvcDriver* driver = nullptr;
    std::string device;
    std::string label;
    std::thread thread;
};

class Console {
public:
    Console(kro::host::DeviceManager& dm, std::vector<RunningDriver>& drivers)
        : m_dm(dm), m_drivers(drivers) {}

    // False when the run is to end.
    bool execute(const std::string& rawLine) {
        std::string line = trim(rawLine);
        if (line.empty() || line[0] == '#')
            return true;
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        std::string rest = trim(line.substr(cmd.size()));
        if (cmd == "quit" || cmd == "exit")
            return false;
        if (cmd == "help") {
            std::lock_guard<std::mutex> lock(g_printMutex);
            std::fputs(kHelp, stdout);
            std::fflush(stdout);
        } else if (cmd == "echo") {
            say(rest);
        } else if (cmd == "post") {
            post(rest);
        } else if (cmd == "set" || cmd == "setint") {
            std::string name = firstWord(rest);
            std::string value = trim(rest.substr(name.size()));
            if (name.empty()) {
                say("usage: " + cmd + " NAME VALUE");
            } else if (cmd == "set") {
                kro::host::runtime().vars().setStrVar(name, value, 0);
            } else {
                char* end = nullptr;
                long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end)
                    say("setint needs a whole number, not \"" + value + "\"");
                else
                    kro::host::runtime().vars().setIntVar(name, static_cast<int>(n), 0);
            }
        } else if (cmd == "unset") {
            kro::host::runtime().vars().erase(rest);
            say("removed runtime variable " + rest);
        } else if (cmd == "show") {
            show();
        } else if (cmd == "wait") {
            char* end = nullptr;
            double s = std::strtod(rest.c_str(), &end);
            if (rest.empty() || *end || s < 0)
                say("wait needs a number of seconds");
            else
                sleepFor(s);
        } else if (cmd == "waitfor") {
            waitFor(rest);
        } else {
            say("unknown command \"" + cmd + "\"; type help");
        }
        return !g_signalled;
    }

    bool failed() const { return m_failed; }

private:
    static std::string trim(const std::string& s) {
        auto b = s.find_first_not_of(" \t\r\n");
        if (b == std::string::npos)
            return {};
        auto e = s.find_last_not_of(" \t\r\n");
        return s.substr(b, e - b + 1);
    }

    static std::string firstWord(const std::string& s) {
        auto e = s.find_first_of(" \t");
        return s.substr(0, e);
    }

    // "DEVICE.VAR" to the variable, or null.
    std::shared_ptr<kro::host::DvcVariable> find(const std::string& qualified) {
        auto dot = qualified.find('.');
        if (dot == std::string::npos)
            return nullptr;
        kro::host::Device* dev = m_dm.device(qualified.substr(0, dot));
        return dev ? dev->variable(qualified.substr(dot + 1)) : nullptr;
    }

    void post(const std::string& args) {
        std::string name = firstWord(args);
        std::string value = trim(args.substr(name.size()));
        auto var = find(name);
        if (!var) {
            say("no variable \"" + name + "\" (use DEVICE.VAR; see show)");
            return;
        }
        const std::string device = name.substr(0, name.find('.'));
        var->setStrValue(value.c_str(), true);
        int posted = 0;
        for (auto& d : m_drivers) {
            if (d.device == device) {
                d.driver->postData(var);
                ++posted;
            }
        }
        if (posted == 0)
            say("no driver serves device \"" + device + "\"; nothing posted");
    }

    // Current value of "DEVICE.VAR" or of a runtime variable.
    bool current(const std::string& name, std::string& out) {
        if (auto var = find(name)) {
            out = var->value();
            return true;
        }
        return kro::host::runtime().vars().getStrVar(name, out, 0);
    }

    void waitFor(const std::string& args) {
        std::istringstream in(args);
        std::string name, value;
        double timeout = 30;
        in >> name >> value;
        if (name.empty() || value.empty()) {
            say("usage: waitfor NAME VALUE [SECONDS]");
            return;
        }
        if (!(in >> timeout))
            timeout = 30;
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<long>(timeout * 1000));
        std::string now;
        while (!g_signalled && std::chrono::steady_clock::now() < deadline) {
            if (current(name, now) && now == value) {
                say("waitfor " + name + " = " + value + ": done");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (g_signalled)
            return;
        say("waitfor " + name + " = " + value + ": timed out after " + std::to_string(timeout) +
            " s (now " + (current(name, now) ? jsonText(now) : std::string("unset")) + ")");
        m_failed = true;
    }

    static void sleepFor(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        while (!g_signalled && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    void show() {
        std::ostringstream out;
        char row[512];
        std::snprintf(row, sizeof row, "%-24s %-12s %-20s %5s  %s\n", "VARIABLE", "TYPE", "ADDRESS",
                      "SIZE", "VALUE");
        out << row;
        for (auto* dev : m_dm.devices()) {
            for (auto& v : dev->variables()) {
                std::snprintf(row, sizeof row, "%-24s %-12s %-20s %5d  %s\n",
                              (dev->getId() + "." + v->getName()).c_str(), v->getAddrType().c_str(),
                              v->getAddr().c_str(), v->getSize(), jsonText(v->value()).c_str());
                out << row;
            }
        }
        std::snprintf(row, sizeof row, "%-24s %s\n", "RUNTIME VARIABLE", "VALUE");
        out << row;
        for (auto& [name, value] : kro::host::runtime().vars().snapshot()) {
            std::snprintf(row, sizeof row, "%-24s %s\n", name.c_str(), value.c_str());
            out << row;
        }
        std::lock_guard<std::mutex> lock(g_printMutex);
        std::fputs(out.str().c_str(), stdout);
        std::fflush(stdout);
    }

    kro::host::DeviceManager& m_dm;
    std::vector<RunningDriver>& m_drivers;
    bool m_failed = false;
};

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
    Options opt;
    if (!parseArgs(argc, argv, opt))
        return 2;

    Config config;
    std::string error;
    if (!loadConfig(opt.config, config, error)) {
        std::fprintf(stderr, "kro-host: %s\n", error.c_str());
        return 2;
    }

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
            std::fprintf(stderr, "kro-host: %s: %s: %s\n", opt.config.c_str(), dc.label.c_str(),
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
    say("loaded " + plugin + "; starting " + std::to_string(drivers.size()) + " driver(s)");
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

    Console console(dm, drivers);
    if (!opt.script.empty()) {
        std::ifstream script(opt.script);
        if (!script)
            say("cannot open the script " + opt.script);
        std::string line;
        while (!stop() && std::getline(script, line)) {
            if (!console.execute(line))
                break;
        }
        if (opt.forSeconds >= 0)
            while (!stop())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } else {
        std::string line;
        bool more = true;
        while (more && readLine(line, stop))
            more = console.execute(line);
        // With --for, the end of input does not end the run.
        while (more && opt.forSeconds >= 0 && !stop())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

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
