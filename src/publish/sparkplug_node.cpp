#include "publish/sparkplug_node.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "drivers/driver_settings.h"
#include "kro/Util.h"
#include "publish/publish_format.h"
#include "text/lines.h"
#include "text/utf8.h"

using sparkplug::DataType;
using sparkplug::Metric;
using sparkplug::Payload;

namespace {

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";

// Whether a variable declared `declared` can carry a value of the form `form`
// as it is: a whole number goes into a Double, any text into a String.
bool fits(DataType declared, DataType form) {
    return declared == form || declared == DataType::String ||
           (declared == DataType::Double && form == DataType::Int64);
}

// One type that carries both forms: values of one batch share a DDATA.
DataType join(DataType a, DataType b) {
    if (fits(a, b))
        return a;
    return fits(b, a) ? b : DataType::String;
}

// The metric's value for `text` as the variable's declared type holds it; a
// null metric when it does not fit (a Boolean's text in a new Int64).
void setValue(Metric& m, DataType type, const std::string& text) {
    const char* end = text.data() + text.size();
    if (!fits(type, sparkplugTypeOf(text))) {
        m.datatype = static_cast<uint32_t>(type);
        m.isNull = true;
    } else if (type == DataType::Int64) {
        int64_t v = 0;
        std::from_chars(text.data(), end, v);
        m.setInt64(v);
    } else if (type == DataType::Double) {
        double v = 0;
        std::from_chars(text.data(), end, v);
        m.setDouble(v);
    } else if (type == DataType::Boolean) {
        m.setBoolean(text == "true");
    } else {
        m.setString(text);
    }
}

Metric bdSeqMetric(uint8_t bdSeq) {
    Metric m;
    m.name = "bdSeq";
    m.setInt64(bdSeq);
    return m;
}

// Paths are UTF-8 text, as the store's: Windows opens them by their wide form.
std::filesystem::path fsPath(const std::string& text) {
    return std::filesystem::u8path(text);
}

std::string metricRef(const Metric& m) {
    if (m.alias)
        return "alias " + std::to_string(*m.alias);
    if (m.name)
        return "\"" + printable(*m.name) + "\"";
    return "no name nor alias";
}

} // namespace

bool isSparkplugId(std::string_view id) {
    if (id.empty())
        return false;
    for (size_t i = 0; i < id.size();) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        if (c == '/' || c == '+' || c == '#' || c == 0)
            return false;
        const size_t n = c < 0x80 ? 1 : kro::text::utf8Length(id, i);
        if (!n)
            return false;
        i += n;
    }
    return true;
}

DataType sparkplugTypeOf(std::string_view text) {
    if (text == "true" || text == "false")
        return DataType::Boolean;
    if (!isJsonNumber(text))
        return DataType::String;
    const char* end = text.data() + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
        int64_t v = 0;
        const auto r = std::from_chars(text.data(), end, v);
        if (r.ec == std::errc() && r.ptr == end)
            return DataType::Int64;
    }
    double v = 0;
    const auto r = std::from_chars(text.data(), end, v);
    return r.ec == std::errc() && r.ptr == end ? DataType::Double : DataType::String;
}

SparkplugSettings readSparkplugSettings(const std::string& settingsJson) {
    using kro::util::Util;
    SparkplugSettings s;
    s.group = Util::getValFromJsonc(settingsJson, "SparkplugGroup");
    s.node = Util::getValFromJsonc(settingsJson, "SparkplugNode");
    s.host = Util::getValFromJsonc(settingsJson, "SparkplugHost");
    s.device = Util::getValFromJsonc(settingsJson, "DeviceId");
    if (s.group.empty() && s.node.empty()) {
        if (!s.host.empty())
            printLine("[kro error]SparkplugHost needs SparkplugGroup and SparkplugNode: "
                      "Sparkplug is off\n");
        return {};
    }
    const std::string key = s.group.empty() ? "SparkplugNode" : "SparkplugGroup";
    if (Util::getValFromJsonc(settingsJson, "PubMode") != "session") {
        printLine("[kro error]" + key +
                  " needs \"PubMode\": \"session\"; values are published as without it\n");
        return {};
    }
    if (s.group.empty() || s.node.empty()) {
        printLine("[kro error]SparkplugGroup and SparkplugNode go together: only " + key +
                  " is set, Sparkplug is off\n");
        return {};
    }
    bool good = true;
    const std::pair<const char*, const std::string*> ids[] = {{"SparkplugGroup", &s.group},
                                                              {"SparkplugNode", &s.node},
                                                              {"SparkplugHost", &s.host},
                                                              {"DeviceId", &s.device}};
    for (const auto& [name, id] : ids) {
        if (id == &s.host && id->empty())
            continue;
        if (!isSparkplugId(*id)) {
            printLine(std::string("[kro error]") + name + " \"" + printable(*id) +
                      "\" is not a Sparkplug id (UTF-8 text, not empty, without '/', '+', "
                      "'#'): Sparkplug is off\n");
            good = false;
        }
    }
    return good ? s : SparkplugSettings{};
}

SparkplugNode::SparkplugNode(SparkplugSettings settings, std::vector<Variable> variables,
                             std::string bdSeqPath)
    : m_settings(std::move(settings)), m_bdSeqPath(std::move(bdSeqPath)) {
    setVariables(variables);
    std::error_code ec;
    if (m_bdSeqPath.empty() || !std::filesystem::exists(fsPath(m_bdSeqPath), ec))
        return;
    std::ifstream in(fsPath(m_bdSeqPath), std::ios::binary);
    std::string text;
    std::getline(in, text);
    if (isWholeNumber(text) && std::stoul(text) <= 255 && in.peek() == EOF)
        m_nextBdSeq = static_cast<uint8_t>(std::stoul(text));
    else
        printLine("[kro error]Sparkplug bdSeq file \"" + printable(m_bdSeqPath) +
                  "\" holds no number from 0 to 255: bdSeq starts at 0\n");
}

std::string SparkplugNode::nodeTopic(const char* kind) const {
    return std::string(kNamespace) + "/" + m_settings.group + "/" + kind + "/" + m_settings.node;
}

std::string SparkplugNode::deviceTopic(const char* kind) const {
    return nodeTopic(kind) + "/" + m_settings.device;
}

std::string SparkplugNode::stateTopic() const {
    return m_settings.host.empty() ? "" : std::string(kNamespace) + "/STATE/" + m_settings.host;
}

std::vector<std::string> SparkplugNode::subscriptions() const {
    std::vector<std::string> out{ncmdTopic(), dcmdFilter()};
    if (!m_settings.host.empty())
        out.push_back(stateTopic());
    return out;
}

void SparkplugNode::saveBdSeq(uint8_t next) const {
    if (m_bdSeqPath.empty())
        return;
    // A whole file or the old one: never half a number after a crash.
    const std::filesystem::path temp = fsPath(m_bdSeqPath + ".tmp");
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << static_cast<unsigned>(next) << '\n';
        out.flush();
        if (!out)
            ec = std::make_error_code(std::errc::io_error);
    }
    if (!ec)
        std::filesystem::rename(temp, fsPath(m_bdSeqPath), ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        printLine("[kro error]Sparkplug bdSeq could not be kept in \"" + printable(m_bdSeqPath) +
                  "\" (" + ec.message() + "): a restart may use a bdSeq again\n");
    }
}

SparkplugNode::Message SparkplugNode::connecting(int64_t nowMs) {
    m_bdSeq = m_nextBdSeq;
    m_nextBdSeq = static_cast<uint8_t>(m_bdSeq + 1);
    saveBdSeq(m_nextBdSeq);
    m_born = false;
    m_stateSeen = false;
    return ndeath(nowMs);
}

SparkplugNode::Message SparkplugNode::ndeath(int64_t nowMs) const {
    Payload p;
    p.timestamp = static_cast<uint64_t>(nowMs);
    p.metrics.push_back(bdSeqMetric(m_bdSeq));
    return {ndeathTopic(), sparkplug::encode(p), 1, false};
}

SparkplugNode::Known& SparkplugNode::learn(const std::string& address, bool sub) {
    const auto found = m_index.find(address);
    if (found != m_index.end())
        return m_vars[found->second];
    m_index.emplace(address, m_vars.size());
    Known k;
    k.address = address;
    k.sub = sub;
    k.alias = m_vars.size() + 1;
    m_vars.push_back(std::move(k));
    return m_vars.back();
}

void SparkplugNode::setVariables(const std::vector<Variable>& variables) {
    for (const Variable& v : variables) {
        const size_t before = m_vars.size();
        Known& k = learn(v.address, v.sub);
        m_redeclare |= m_vars.size() != before || k.sub != v.sub;
        k.sub = v.sub;
        if (!v.value)
            continue;
        // A value that does not fit is declared anew by the next birth.
        const DataType form = sparkplugTypeOf(*v.value);
        if (!k.typed || !fits(k.type, form)) {
            m_redeclare |= k.typed || form != DataType::String;
            k.type = form;
        }
        k.typed = true;
        k.value = v.value;
    }
}

uint64_t SparkplugNode::nextSeq() {
    return m_seq++; // wraps 255 to 0 as an unsigned byte
}

bool SparkplugNode::birthsDue() const {
    return !m_born && (m_settings.host.empty() || (m_stateSeen && m_hostOnline));
}

SparkplugNode::Message SparkplugNode::dbirth(int64_t nowMs) {
    m_redeclare = false;
    Payload p;
    p.timestamp = static_cast<uint64_t>(nowMs);
    p.seq = nextSeq();
    for (const Known& k : m_vars) {
        Metric m;
        m.name = k.address;
        m.alias = k.alias;
        if (k.value && k.typed)
            setValue(m, k.type, *k.value);
        else
            m.datatype = static_cast<uint32_t>(k.type), m.isNull = true;
        p.metrics.push_back(std::move(m));
    }
    return {dbirthTopic(), sparkplug::encode(p), 0, false};
}

std::vector<SparkplugNode::Message> SparkplugNode::births(int64_t nowMs) {
    Payload p;
    p.timestamp = static_cast<uint64_t>(nowMs);
    m_seq = 0;
    p.seq = nextSeq();
    p.metrics.push_back(bdSeqMetric(m_bdSeq));
    Metric rebirth;
    rebirth.name = kRebirth;
    rebirth.setBoolean(false);
    p.metrics.push_back(std::move(rebirth));
    m_born = true;
    std::vector<Message> out;
    out.push_back({nbirthTopic(), sparkplug::encode(p), 0, false});
    out.push_back(dbirth(nowMs));
    return out;
}

SparkplugNode::Data SparkplugNode::data(const std::vector<Value>& values, int64_t nowMs) {
    // The one type each address's values of this batch share.
    std::map<size_t, DataType> forms;
    bool declare = m_redeclare;
    for (const Value& v : values) {
        const size_t before = m_vars.size();
        const size_t i = &learn(v.address, false) - m_vars.data();
        declare |= m_vars.size() != before;
        const DataType form = sparkplugTypeOf(v.text);
        const auto [at, added] = forms.emplace(i, form);
        if (!added)
            at->second = join(at->second, form);
    }
    for (const auto& [i, form] : forms) {
        Known& k = m_vars[i];
        // Untyped, a variable is declared a null String: a String value fits.
        if ((!k.typed && form != DataType::String) || (k.typed && !fits(k.type, form))) {
            k.type = form;
            declare = true;
        }
        k.typed = true;
    }
    Data out;
    if (declare)
        out.dbirth = dbirth(nowMs);
    Payload p;
    p.timestamp = static_cast<uint64_t>(nowMs);
    p.seq = nextSeq();
    for (const Value& v : values) {
        Known& k = m_vars[m_index.at(v.address)];
        Metric m;
        m.alias = k.alias;
        m.timestamp = static_cast<uint64_t>(v.postedMs);
        m.isHistorical = v.historical;
        // The datatype stays, though the birth declared it: a decoder that
        // keeps no births (the value's field alone does not tell Int64 from
        // UInt64) reads the value by it.
        setValue(m, k.type, v.text);
        p.metrics.push_back(std::move(m));
        k.value = v.text;
    }
    out.ddata = {ddataTopic(), sparkplug::encode(p), 0, false};
    return out;
}

SparkplugNode::Message SparkplugNode::ddeath(int64_t nowMs) {
    Payload p;
    p.timestamp = static_cast<uint64_t>(nowMs);
    p.seq = nextSeq();
    return {ddeathTopic(), sparkplug::encode(p), 0, false};
}

std::vector<SparkplugNode::Action> SparkplugNode::receive(const std::string& topic,
                                                          std::string_view payload) {
    std::vector<Action> actions;
    const std::string dcmd = nodeTopic("DCMD") + "/";
    if (topic == ncmdTopic())
        command(false, topic, payload, actions);
    else if (topic.compare(0, dcmd.size(), dcmd) == 0)
        command(true, topic, payload, actions);
    else if (!m_settings.host.empty() && topic == stateTopic())
        state(payload, actions);
    return actions;
}

void SparkplugNode::command(bool device, const std::string& topic, std::string_view payload,
                            std::vector<Action>& actions) {
    const std::string where = "[kro error]Sparkplug " + std::string(device ? "DCMD" : "NCMD");
    if (device) {
        const std::string id = topic.substr(nodeTopic("DCMD").size() + 1);
        if (id != m_settings.device) {
            printLine(where + " for device \"" + printable(id) + "\", not this node's \"" +
                      printable(m_settings.device) + "\": ignored\n");
            return;
        }
    }
    Payload p;
    std::string error;
    if (!sparkplug::decode(payload, &p, &error)) {
        printLine(where + " on " + printable(topic) + " is no Sparkplug B payload (" +
                  printable(error) + "): ignored\n");
        return;
    }
    for (const Metric& m : p.metrics) {
        if (!device) {
            if (m.name == kRebirth) {
                // Before the births of this connection, they are on their way anyway.
                if (m.field == sparkplug::Field::Boolean && m.boolean && m_born)
                    actions.push_back({Action::Kind::Births, "", ""});
            } else {
                printLine(where + " metric " + metricRef(m) +
                          " is not one this node takes: " + "ignored\n");
            }
            continue;
        }
        const Known* k = nullptr;
        if (m.alias) {
            if (*m.alias >= 1 && *m.alias <= m_vars.size())
                k = &m_vars[*m.alias - 1];
        } else if (m.name) {
            const auto found = m_index.find(*m.name);
            if (found != m_index.end())
                k = &m_vars[found->second];
        }
        const std::optional<std::string> text = sparkplug::valueText(m);
        if (!k)
            printLine(where + " names no variable of device \"" + printable(m_settings.device) +
                      "\" (" + metricRef(m) + "): ignored\n");
        else if (!k->sub)
            printLine(where + " names \"" + printable(k->address) +
                      "\", which is no SubVariable: ignored\n");
        else if (!text)
            printLine(where + " for \"" + printable(k->address) +
                      "\" carries no value to write: ignored\n");
        else {
            actions.push_back({Action::Kind::Write, k->address, *text});
            // What the variable holds from now on: the next DBIRTH declares it.
            setVariables({{k->address, true, *text}});
        }
    }
}

void SparkplugNode::state(std::string_view payload, std::vector<Action>& actions) {
    const nlohmann::json j = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
    const auto online = j.is_object() ? j.find("online") : j.end();
    const auto time = j.is_object() ? j.find("timestamp") : j.end();
    if (online == j.end() || time == j.end() || !online->is_boolean() ||
        !time->is_number_integer()) {
        printLine("[kro error]Sparkplug STATE of host \"" + printable(m_settings.host) +
                  "\" is not {\"online\": true|false, \"timestamp\": MS}: ignored\n");
        return;
    }
    m_stateSeen = true;
    const int64_t ms = time->get<int64_t>();
    // An older one is a stale retained message, from another broker maybe.
    if (!m_stateTime || ms >= *m_stateTime) {
        m_stateTime = ms;
        m_hostOnline = online->get<bool>();
        if (!m_hostOnline && m_born) {
            m_born = false;
            actions.push_back({Action::Kind::Reconnect, "", ""});
            return;
        }
    }
    if (birthsDue())
        actions.push_back({Action::Kind::Births, "", ""});
}
