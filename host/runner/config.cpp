#include "config.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kro::runner {

using nlohmann::json;

namespace {

// Line and column of a byte offset, for messages about malformed JSON.
std::pair<int, int> lineColumn(const std::string& text, std::size_t offset) {
    int line = 1, column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

struct Checker {
    const std::string& path;
    std::string& error;

    bool fail(const std::string& place, const std::string& what) {
        error = path + ": " + place + ": " + what;
        return false;
    }

    // A string member; absent allowed when `required` is false.
    bool text(const json& obj, const char* key, const std::string& place, std::string& out,
              bool required) {
        auto it = obj.find(key);
        if (it == obj.end()) {
            if (required)
                return fail(place, std::string("missing \"") + key + "\"");
            return true;
        }
        if (!it->is_string())
            return fail(place + "." + key, "must be a string");
        out = it->get<std::string>();
        return true;
    }
};

const std::set<std::string> kAddrTypes = {"SubVariable", "SubTopic", "PubVariable"};

const char* const kCommonFactory = "libTlsMqttDriver_loadDriver";
const char* const kAwsFactory = "libAwsMqttDriver_loadDriver";

std::string factoryFor(const std::string& protocol) {
    if (protocol == "COMMONMQTT")
        return kCommonFactory;
    if (protocol == "AWSMQTT")
        return kAwsFactory;
    return {};
}

// Arrays and objects inside each other deeper than this are refused while
// parsing, so nothing later (the settings' dump) recurses as deep as the input.
constexpr int kMaxDepth = 64;
struct TooDeep {};

// Hands the text to the parser and keeps how far it has read, so that a
// driver's settings object can be passed on as written (a dump would write
// 1e2 as 100.0 and round a 25-digit integer).
class Reading {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;
    Reading(const char* at, const char** read) : at_(at), read_(read) {}
    reference operator*() const { return *at_; }
    Reading& operator++() {
        *read_ = ++at_;
        return *this;
    }
    bool operator==(const Reading& o) const { return at_ == o.at_; }
    bool operator!=(const Reading& o) const { return at_ != o.at_; }

private:
    const char* at_;
    const char** read_;
};

// Where the number the parser has just read begins: it reads one character
// past a number.
std::size_t numberStart(const std::string& text, std::size_t read) {
    auto inNumber = [&](std::size_t i) {
        return std::string_view("0123456789+-.eE").find(text[i]) != std::string_view::npos;
    };
    if (read > 0 && !inNumber(read - 1))
        --read;
    while (read > 0 && inNumber(read - 1))
        --read;
    return read;
}

// The "[json.exception.type_error.302] " nlohmann puts before its message.
std::string withoutPrefix(const std::string& what) {
    auto end = what.find("] ");
    return what[0] == '[' && end != std::string::npos ? what.substr(end + 2) : what;
}

// The settings keys each driver reads. "DeviceId" of an AWS driver is read by
// the runner (the device whose posts go to it).
// clang-format off
const std::vector<std::string> kCommonKeys = {
    "Protocol", "DeviceId", "host", "addr", "port", "clientid", "username", "password", "cafile",
    "cert", "key", "oneConnetTime", "AdditionSubArgs", "AdditionPubArgs", "PubTimeout", "PubMode",
    "PubBuffer", "SubMatch", "PubStore", "PubStoreLimit", "PubStoreMaxAge", "PubReconnectMax",
    "PubFormat", "PubTemplate", "SubPerRequest", "PubRate", "PubByteRate", "PubInflight",
    "PubAckTimeout", "PubMaxBytes", "PubBatch", "PubBatchMs", "PubBatchBytes", "PubBatchTopic",
    "PubBatchTemplate", "PubDeadband", "PubHeartbeat", "SparkplugGroup", "SparkplugNode",
    "SparkplugHost"};
const std::vector<std::string> kAwsKeys = {
    "Protocol", "DeviceId", "PubTimeout", "PubMode", "PubBuffer", "PubStore", "PubStoreLimit",
    "PubStoreMaxAge", "PubReconnectMax", "PubFormat", "PubTemplate", "SubPerRequest",
    "AdditionSubArgs", "AdditionPubArgs", "PubRate", "PubByteRate", "PubInflight", "PubAckTimeout",
    "PubMaxBytes", "PubBatch", "PubBatchMs", "PubBatchBytes", "PubBatchTopic", "PubBatchTemplate",
    "PubDeadband", "PubHeartbeat"};
// clang-format on
const std::vector<std::string> kAwsRuntimeNames = {"cafilePath", "certPath", "keyPath",
                                                   "host",       "port",     "topics"};

// Edit distance (with swapped neighbours as one edit), ignoring case.
std::size_t distance(const std::string& a, const std::string& b) {
    auto low = [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = low(a[i - 1]) == low(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && low(a[i - 1]) == low(b[j - 2]) && low(a[i - 2]) == low(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The candidate nearest to `key`, when it is near enough to be a slip.
std::string closest(const std::string& key, const std::vector<std::string>& candidates) {
    if (key.size() > 64)
        return {};
    const std::size_t limit = key.size() <= 4 ? 1 : key.size() <= 8 ? 2 : 3;
    std::string best;
    std::size_t bestDistance = limit + 1;
    for (const auto& c : candidates) {
        const std::size_t d = distance(key, c);
        if (d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    return best;
}

// A warning for every settings key the driver does not read.
void warnUnknownKeys(const std::string& place, const json& settings, bool common,
                     std::vector<std::string>& warnings) {
    const auto& known = common ? kCommonKeys : kAwsKeys;
    for (auto& item : settings.items()) {
        const std::string& key = item.key();
        if (std::find(known.begin(), known.end(), key) != known.end())
            continue;
        std::string line = place + ": unknown key \"" + key + "\"";
        if (std::string near = closest(key, known); !near.empty()) {
            line += " (did you mean \"" + near + "\"?)";
        } else if (!common) {
            if (std::string name = closest(key, kAwsRuntimeNames); !name.empty())
                line += " (an AWS driver reads \"" + name +
                        "\" from the runtime variables, not from its settings)";
        }
        warnings.push_back(line + "; the driver does not read it");
    }
}

bool readConfig(const std::string& path, const std::string& text, Config& out, std::string& error,
                std::string& where) {
    Checker check{path, error};
    json doc;
    // How far the parser has read, and drivers[i]'s settings object as written.
    const char* read = text.data();
    std::map<std::size_t, std::string> settingsText;
    try {
        using Event = json::parse_event_t;
        bool inDrivers = false;
        std::size_t entries = 0, settingsStart = std::string::npos;
        std::string topKey, driverKey;
        auto onEvent = [&](int depth, Event event, json& parsed) {
            const bool opens = event == Event::object_start || event == Event::array_start;
            const std::size_t at = static_cast<std::size_t>(read - text.data());
            if (opens && depth >= kMaxDepth)
                throw TooDeep{};
            if (event == Event::key && (depth == 1 || depth == 3))
                (depth == 1 ? topKey : driverKey) = parsed.get<std::string>();
            if (depth == 1 && opens) {
                inDrivers = topKey == "drivers" && event == Event::array_start;
                entries = 0;
                settingsText.clear();
            } else if (inDrivers && depth == 2 && (opens || event == Event::value)) {
                ++entries;
                driverKey.clear();
            } else if (inDrivers && depth == 3 && event == Event::object_start &&
                       driverKey == "settings") {
                settingsStart = at - 1;
            } else if (depth == 3 && event == Event::object_end &&
                       settingsStart != std::string::npos) {
                if (text[settingsStart] == '{' && text[at - 1] == '}')
                    settingsText[entries - 1] = text.substr(settingsStart, at - settingsStart);
                settingsStart = std::string::npos;
            }
            return true;
        };
        doc = json::parse(Reading(text.data(), &read), Reading(text.data() + text.size(), &read),
                          onEvent, true, /*ignore_comments=*/true);
    } catch (const json::out_of_range& e) { // a number beyond a double's range
        auto [line, column] =
            lineColumn(text, numberStart(text, static_cast<std::size_t>(read - text.data())));
        error = path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                withoutPrefix(e.what()) + " (beyond the range of a double)";
        return false;
    } catch (const TooDeep&) {
        error = path + ": arrays and objects nested deeper than " + std::to_string(kMaxDepth) +
                " levels";
        return false;
    } catch (const json::parse_error& e) {
        auto [line, column] = lineColumn(text, e.byte == 0 ? 0 : e.byte - 1);
        std::string what = e.what();
        // nlohmann prefixes its own position; keep only the explanation.
        auto colon = what.find(": ");
        if (colon != std::string::npos)
            what = what.substr(colon + 2);
        error = path + ":" + std::to_string(line) + ":" + std::to_string(column) +
                ": malformed JSON: " + what;
        return false;
    }
    if (!doc.is_object())
        return check.fail("top level", "must be a JSON object");

    Config cfg;
    if (!check.text(doc, "plugin", "top level", cfg.plugin, false))
        return false;

    std::set<std::string> deviceIds;
    std::map<std::string, std::string> commonDriverOf; // device id to the driver's label
    if (auto devs = doc.find("devices"); devs != doc.end()) {
        if (!devs->is_array())
            return check.fail("devices", "must be an array");
        for (std::size_t d = 0; d < devs->size(); ++d) {
            const json& dev = (*devs)[d];
            const std::string place = "devices[" + std::to_string(d) + "]";
            where = place;
            if (!dev.is_object())
                return check.fail(place, "must be an object");
            DeviceConfig dc;
            if (!check.text(dev, "id", place, dc.id, true))
                return false;
            if (dc.id.empty())
                return check.fail(place + ".id", "device id is empty");
            if (!deviceIds.insert(dc.id).second)
                return check.fail(place + ".id", "duplicate device id \"" + dc.id + "\"");
            auto vars = dev.find("variables");
            if (vars != dev.end() && !vars->is_array())
                return check.fail(place + ".variables", "must be an array");
            std::set<std::string> names;
            for (std::size_t v = 0; vars != dev.end() && v < vars->size(); ++v) {
                const json& var = (*vars)[v];
                const std::string vplace = place + ".variables[" + std::to_string(v) + "]";
                where = vplace;
                if (!var.is_object())
                    return check.fail(vplace, "must be an object");
                kro::host::VarSpec def;
                if (!check.text(var, "name", vplace, def.name, true) ||
                    !check.text(var, "addrType", vplace, def.addrType, true) ||
                    !check.text(var, "addr", vplace, def.addr, false) ||
                    !check.text(var, "value", vplace, def.value, false))
                    return false;
                if (def.name.empty() || def.name.find_first_of(" \t") != std::string::npos)
                    return check.fail(vplace + ".name", "must be a word without spaces");
                if (!names.insert(def.name).second)
                    return check.fail(vplace + ".name", "duplicate variable \"" + def.name + "\"");
                if (!kAddrTypes.count(def.addrType))
                    return check.fail(vplace + ".addrType",
                                      "unknown address type \"" + def.addrType +
                                          "\" (expected SubVariable, SubTopic or PubVariable)");
                auto size = var.find("size");
                if (size == var.end())
                    return check.fail(vplace, "missing \"size\"");
                // Whole numbers from 0 parse as unsigned (too large ones as
                // floating point): nothing is converted out of its range.
                if (!size->is_number_unsigned() || size->get<std::uint64_t>() > 1 << 24)
                    return check.fail(vplace + ".size",
                                      "must be a whole number from 0 to 16777216");
                def.size = size->get<int>();
                dc.variables.push_back(std::move(def));
            }
            cfg.devices.push_back(std::move(dc));
        }
    }

    if (auto rt = doc.find("runtime"); rt != doc.end()) {
        if (!rt->is_object())
            return check.fail("runtime", "must be an object of names and values");
        for (auto& [name, value] : rt->items()) {
            RuntimeVar r;
            r.name = name;
            where = "runtime." + name;
            if (value.is_number_integer()) {
                // get<int>() would wrap a larger one.
                const bool fits = value.is_number_unsigned()
                                      ? value.get<std::uint64_t>() <= INT_MAX
                                      : value.get<std::int64_t>() >= INT_MIN &&
                                            value.get<std::int64_t>() <= INT_MAX;
                if (!fits)
                    return check.fail(where, "must be a whole number from " +
                                                 std::to_string(INT_MIN) + " to " +
                                                 std::to_string(INT_MAX));
                r.isInt = true;
                r.i = value.get<int>();
            } else if (value.is_string()) {
                r.s = value.get<std::string>();
            } else {
                return check.fail("runtime." + name, "must be a string or a whole number");
            }
            cfg.runtime.push_back(std::move(r));
        }
    }

    auto drivers = doc.find("drivers");
    if (drivers == doc.end() || !drivers->is_array() || drivers->empty())
        return check.fail("drivers", "must be a non-empty array");
    for (std::size_t i = 0; i < drivers->size(); ++i) {
        const json& drv = (*drivers)[i];
        DriverConfig dc;
        dc.label = "drivers[" + std::to_string(i) + "]";
        where = dc.label;
        if (!drv.is_object())
            return check.fail(dc.label, "must be an object");
        auto settings = drv.find("settings");
        if (settings == drv.end() || !settings->is_object())
            return check.fail(dc.label, "missing \"settings\" object");
        std::string protocol;
        if (auto p = settings->find("Protocol"); p != settings->end() && p->is_string())
            protocol = p->get<std::string>();
        dc.factory = factoryFor(protocol);
        if (!check.text(drv, "factory", dc.label, dc.factory, false))
            return false;
        if (drv.contains("factory") && dc.factory != kCommonFactory && dc.factory != kAwsFactory)
            return check.fail(dc.label + ".factory", "unknown factory \"" + dc.factory +
                                                         "\" (expected " + kCommonFactory + " or " +
                                                         kAwsFactory + ")");
        if (dc.factory.empty())
            return check.fail(dc.label + ".settings.Protocol",
                              "unknown protocol \"" + protocol +
                                  "\" (expected COMMONMQTT or AWSMQTT)");
        auto written = settingsText.find(i);
        dc.settings = written != settingsText.end() ? written->second : settings->dump();
        if (auto id = settings->find("DeviceId"); id != settings->end()) {
            if (!id->is_string())
                return check.fail(dc.label + ".settings.DeviceId", "must be a string");
            dc.device = id->get<std::string>();
            if (dc.device.empty())
                return check.fail(dc.label + ".settings.DeviceId", "device id is empty");
        } else if (protocol == "COMMONMQTT") {
            return check.fail(dc.label + ".settings", "missing device id \"DeviceId\"");
        }
        const bool common = dc.factory == kCommonFactory;
        // One device has one subscription context: a second Common driver's
        // runs would all be turned away while the first one's run lasts.
        if (common && !dc.device.empty()) {
            auto [it, fresh] = commonDriverOf.emplace(dc.device, dc.label);
            if (!fresh)
                return check.fail(dc.label + ".settings.DeviceId",
                                  "device \"" + dc.device + "\" already has a Common driver (" +
                                      it->second + ")");
        }
        warnUnknownKeys(path + ": " + dc.label + ".settings", *settings, common, cfg.warnings);
        if (!check.text(drv, "device", dc.label, dc.device, false))
            return false;
        if (!dc.device.empty() && !deviceIds.count(dc.device))
            return check.fail(dc.label, "no device with id \"" + dc.device + "\"");
        cfg.drivers.push_back(std::move(dc));
    }
    out = std::move(cfg);
    return true;
}

} // namespace

bool parseConfig(const std::string& path, const std::string& text, Config& out,
                 std::string& error) {
    // The checks name what they refuse; whatever else the JSON library (or
    // memory) throws is named with the place last reached, never let through.
    std::string where = "top level";
    try {
        return readConfig(path, text, out, error, where);
    } catch (const std::exception& e) {
        error = path + ": " + where + ": " + withoutPrefix(e.what());
    } catch (...) {
        error = path + ": " + where + ": cannot be read";
    }
    return false;
}

bool loadConfig(const std::string& path, Config& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the file";
        return false;
    }
    std::string text;
    try {
        std::stringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    } catch (const std::exception& e) { // e.g. no memory for a huge file
        error = path + ": cannot read the file: " + e.what();
        return false;
    }
    return parseConfig(path, text, out, error);
}

std::string explainState(const std::string& name, int value) {
    const bool sub = name == "substate" ||
                     (name.size() > 9 && name.compare(name.size() - 9, 9, ".substate") == 0);
    if (name == "pubstate") {
        if (value == 101)
            return "publishing";
        if (value == 0)
            return "idle";
        if (value == 102)
            return "publish connection down, values waiting";
        return {};
    }
    if (!sub)
        return {};
    // Codes 1 to 5 and 128 and above are CONNACK refusals; the subscriber's
    // run also ends with 1 when it could not connect at all, and with the
    // libmosquitto error that ended its loop otherwise.
    static const std::map<int, std::string> words = {
        {0, "connected, or a subscriber run ended cleanly (AWS driver)"},
        {100, "driver run begun"},
        {101, "subscriber starting"},
        {105, "subscription parameters missing (host, port or topics)"},
        {1, "refused: unacceptable protocol version, or no connection (broker unreachable, TLS or "
            "set-up error)"},
        {2, "refused: identifier rejected, or the run ended on a protocol error"},
        {3, "refused: server unavailable, or the run ended on an invalid argument"},
        {4, "refused: bad user name or password"},
        {5, "refused: not authorised"},
        {7, "connection lost (the subscriber reconnects by itself), or the run ended with it lost"},
        {8, "the run ended on a TLS error"},
        {14, "the run ended on a system error (e.g. a failed TLS handshake)"},
        {27, "timed out (-W)"},
        {128, "refused: unspecified error (MQTT v5), or the broker denied every subscription"},
        {129, "refused: malformed packet"},
        {130, "refused: protocol error"},
        {131, "refused: implementation specific error"},
        {132, "refused: unsupported protocol version"},
        {133, "refused: client identifier not valid"},
        {134, "refused: bad user name or password"},
        {135, "refused: not authorised"},
        {136, "refused: server unavailable"},
        {137, "refused: server busy"},
        {138, "refused: banned"},
        {140, "refused: bad authentication method"},
    };
    auto it = words.find(value);
    return it == words.end() ? "the subscriber run ended with this libmosquitto error" : it->second;
}

} // namespace kro::runner
