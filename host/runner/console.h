#pragma once

// kro-host's console: the commands read from standard input or a script.

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kro_host.h"

namespace kro::runner {

struct RunningDriver {
    kro::IDvcDriver* driver = nullptr;
    std::string device;
    std::string label;
    std::thread thread;
};

// The longest time a --for, wait or waitfor takes: one year.
constexpr double kMaxSeconds = 365.0 * 24 * 60 * 60;

// A number of seconds from 0 to kMaxSeconds; false for anything else.
bool parseSeconds(const std::string& text, double& seconds);

extern const char* const kConsoleHelp;

class Words;

class Console {
public:
    // `stopped` tells when the run is to end (a signal, the --for deadline);
    // with `stopOnError` (scripts) a command that fails ends the run too.
    Console(kro::host::DeviceManager& dm, std::vector<RunningDriver>& drivers,
            std::function<bool()> stopped, bool stopOnError)
        : m_dm(dm), m_drivers(drivers), m_stopped(std::move(stopped)), m_stopOnError(stopOnError) {}

    // Runs one line; `where` ("demo.script:3: ") starts its error lines.
    // False when the run is to end.
    bool execute(const std::string& line, const std::string& where = "");

    // True once a waitfor timed out or (scripts) a command failed.
    bool failed() const { return m_failed; }

private:
    bool fail(const std::string& what);
    bool post(Words& words);
    bool setText(Words& words);
    bool setInt(Words& words);
    bool unset(Words& words);
    bool wait(Words& words);
    bool waitFor(Words& words);
    void show();
    bool current(const std::string& name, std::string& out);
    std::shared_ptr<kro::host::DvcVariable> find(const std::string& qualified);
    // Sleeps until the deadline or the end of the run; false at the end of the run.
    bool pause(double seconds, const std::function<bool()>& done);

    kro::host::DeviceManager& m_dm;
    std::vector<RunningDriver>& m_drivers;
    std::function<bool()> m_stopped;
    bool m_stopOnError;
    std::string m_where;
    bool m_failed = false;
};

} // namespace kro::runner
