#pragma once

// The host runner's configuration file: devices with their variables, runtime
// variables, and the drivers to create.

#include <string>
#include <utility>
#include <vector>

#include "kro_host.h"

namespace kro::runner {

struct DeviceConfig {
    std::string id;
    std::vector<kro::host::VarSpec> variables;
};

struct RuntimeVar {
    std::string name;
    bool isInt = false;
    int i = 0;
    std::string s;
};

struct DriverConfig {
    std::string factory;  // exported factory name
    std::string settings; // the settings object as JSON text
    std::string device;   // the device whose posts go to this driver (may be empty)
    std::string label;    // for messages: "drivers[0]"
};

struct Config {
    std::string plugin; // empty: the built plug-in
    std::vector<DeviceConfig> devices;
    std::vector<RuntimeVar> runtime;
    std::vector<DriverConfig> drivers;
    // Lines for the user that do not stop the run (unknown settings keys).
    std::vector<std::string> warnings;
};

// Reads and checks a configuration file. On failure returns false with a
// message naming the file, the place and what is wrong.
bool loadConfig(const std::string& path, Config& out, std::string& error);

// The same for configuration text (path is used in messages only).
bool parseConfig(const std::string& path, const std::string& text, Config& out, std::string& error);

// The words for a state value written to "substate", "<dev>.substate" or
// "pubstate"; empty for other names.
std::string explainState(const std::string& name, int value);

} // namespace kro::runner
