#include "drivers/CommonMqttClient.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>

#include "client/broker_list.h"
#include "client/sub_client.h"
#include "client/sub_client_output.h"
#include "drivers/driver_settings.h"
#include "drivers/driver_state.h"
#include "platform/cmdline.h"
#include "publish/publish_process.h"
#include "text/lines.h"
#include "text/split.h"

using kro::util::StringUtil;
using kro::util::Util;

namespace {

constexpr std::chrono::seconds kBeforeTopics{2};
constexpr std::chrono::seconds kBeforeSubscribing{3};

kro::IVarManager* vars() {
    return kro::getRuntime()->getVarManager();
}

// Writes `value` into `var` unless it is longer than the variable's capacity,
// which is reported and leaves the variable alone.
void writeValue(kro::IDvcVariable* var, const std::string& value) {
    const int size = var->getSize();
    if (size < 0 || static_cast<size_t>(size) < value.size()) {
        printLine("the size of variable " + std::to_string(size) + " is less than result " +
                  std::to_string(value.size()) + "\n");
        return;
    }
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
    std::memcpy(buffer.data(), value.data(), value.size());
    var->setStrValue(buffer.data(), true);
}

// A payload that lacked a variable's field: counted, and reported once per
// topic and variable.
void noteMiss(UnmatchedTopics* misses, bool json, const std::string& topic,
              const TopicMatcher::Target& target, const JsonPointer& pointer) {
    if (!misses || !misses->note((json ? "f" : "j") + topic + '\0' + target.var->getName()))
        return;
    const std::string where = " in the payload of topic " + printable(topic) + " for variable " +
                              printable(target.var->getName());
    printLine(json ? "[kro info]no field " + printable(pointer.text()) + where + "\n"
                   : "[kro info]no JSON" + where + "\n");
}

// A run with a matcher: topic mode, or a device with locations. Each variable
// reached takes the first of its filters that gives it a value: one without a
// location the whole payload, one with a location the field, if the payload
// has it. The payload is parsed once, and only when a location needs it. In
// topic mode a message that reaches no variable is counted, and reported once
// per topic.
void deliver(const TopicMatcher& matcher, const std::string& topic, const std::string& message) {
    const std::vector<TopicMatcher::Route> routes = matcher.routes(topic);
    thread_local JsonDocument document;
    thread_local std::string field;
    enum { Unparsed, Json, NotJson } parsed = Unparsed;
    for (size_t i = 0; i < routes.size();) {
        const TopicMatcher::Target& target = matcher.targets()[routes[i].target];
        const JsonPointer* missed = nullptr;
        bool written = false;
        for (const uint32_t t = routes[i].target; i < routes.size() && routes[i].target == t; ++i) {
            const uint32_t filter = routes[i].filter;
            if (written)
                continue;
            if (filter == TopicMatcher::kNoFilter || !target.pointers[filter]) {
                writeValue(target.var, target.takesTopic ? topic : message);
                written = true;
                continue;
            }
            if (parsed == Unparsed)
                parsed = document.parse(message) ? Json : NotJson;
            if (parsed == Json && document.extract(*target.pointers[filter], field)) {
                writeValue(target.var, field);
                written = true;
            } else if (!missed) {
                missed = &*target.pointers[filter];
            }
        }
        if (!written && missed)
            noteMiss(matcher.misses(), parsed == Json, topic, target, *missed);
    }
    if (routes.empty() && !matcher.everyMessage() && matcher.unmatched().note(topic))
        printLine("[kro info]no variable for topic: " + printable(topic) + "\n");
}

// Message callback: every "SubVariable" of the run's device receives the
// payload, every "SubTopic" the topic, unless the run has a matcher.
void cpp_callback(const char* str, const char* str1, void* pdev) {
    const std::string topic = str ? str : "";
    const std::string message = str1 ? str1 : "";
    if (!pdev)
        return;
    auto* device = static_cast<kro::IDevice*>(pdev);
    if (std::shared_ptr<const TopicMatcher> matcher = TopicMatchers::find(device)) {
        deliver(*matcher, topic, message);
        return;
    }
    for (kro::IDvcVariable* var : device->getVarList()) {
        const std::string type = var->getAddrType();
        if (type == "SubVariable")
            writeValue(var, message);
        else if (type == "SubTopic")
            writeValue(var, topic);
    }
}

// Status callback: every CONNACK result goes to "substate" and, for a run
// with a device, to that device's own state variable.
void cpp_callback1(int state, void* obj) {
    vars()->setIntVar("substate", state, 0);
    if (!obj)
        return;
    const std::string id = static_cast<kro::IDevice*>(obj)->getId();
    vars()->setIntVar(id + ".substate", state, 0);
    if (state == 0) {
        const std::string broker = sub_client_broker_in_use();
        if (!broker.empty())
            noteBrokerInUse(id + ".", broker);
    }
}

} // namespace

CommonMqttClient::CommonMqttClient(kro::IDeviceManager* dm, std::string settings)
    : kro::UARTDriverBase(dm, settings) {
    const std::string deviceId = Util::getValFromJsonc(settings, "DeviceId");
    pDev = dm ? dm->getDevice(deviceId) : nullptr;
    mhost = Util::getValFromJsonc(settings, "host");
    if (mhost.empty())
        mhost = Util::getValFromJsonc(settings, "addr");
    mport = Util::getValFromJsonc(settings, "port");
    mclientid = Util::getValFromJsonc(settings, "clientid");
    musername = Util::getValFromJsonc(settings, "username");
    mpassword = Util::getValFromJsonc(settings, "password");
    mcafile = Util::getValFromJsonc(settings, "cafile");
    mcert = Util::getValFromJsonc(settings, "cert");
    mkey = Util::getValFromJsonc(settings, "key");
    mtopic_sub.clear();
    mAdditionPubArg = Util::getValFromJsonc(settings, "AdditionPubArgs");
    mAdditionSubArg = Util::getValFromJsonc(settings, "AdditionSubArgs");
    mkeepAlive = Util::getValFromJsonc(settings, "oneConnetTime");
    mstateVar = deviceId + ".substate";
    mpubTimeout = readPubTimeout(settings);
    msubPerRequest = readSubPerRequest(settings, 0);
    if (Util::getValFromJsonc(settings, "SubMatch") == "topic")
        m_unmatched = std::make_shared<UnmatchedTopics>();
    m_session = makePublishSession(settings, deviceId + ".");
    m_format = readPubFormat(settings, deviceId);
    const SparkplugSettings sparkplug = readSparkplugSettings(settings);
    if (sparkplug.on() && m_session) {
        m_sparkplug = true;
        if (m_format)
            printLine("[kro error]Sparkplug carries each value as a metric: PubFormat and "
                      "PubTemplate are not used\n");
        m_format.reset();
        PublishSession::SparkplugHooks hooks;
        hooks.variables = [this] { return sparkplugVariables(); };
        hooks.write = [this](const std::string& address, const std::string& text) {
            sparkplugWrite(address, text);
        };
        hooks.subState = [this](int state) { setSubState(state); };
        m_session->setSparkplug(sparkplug, std::move(hooks));
    }
    m_exception = makeReportByException(settings, true);
    if (m_exception)
        m_tick = exceptionTick(*this, m_session.get(), *m_exception, true, m_format.get(),
                               deviceId + ".pubskipped");
    const std::pair<const char*, const std::string*> texts[] = {
        {"host", &mhost},
        {"port", &mport},
        {"clientid", &mclientid},
        {"username", &musername},
        {"password", &mpassword},
        {"cafile", &mcafile},
        {"cert", &mcert},
        {"key", &mkey},
        {"oneConnetTime", &mkeepAlive},
        {"AdditionSubArgs", &mAdditionSubArg},
        {"AdditionPubArgs", &mAdditionPubArg},
    };
    // Cut at the NUL it would be another value: every connection with it is
    // refused, and this says why once.
    for (const auto& [name, value] : texts)
        if (value->find('\0') != std::string::npos)
            printLine(std::string("[kro error]setting \"") + name +
                      "\" holds a NUL character: the driver does not connect with it\n");
}

bool CommonMqttClient::postData(std::shared_ptr<kro::IDvcVariable> var) {
    return postToDriver(*this, m_session.get(), std::move(var), true, m_format.get(),
                        m_exception.get());
}

CommonMqttClient::~CommonMqttClient() {
    // Keyed by the subscription thread rather than by the device: a run with
    // no device, or another driver's run for the same device, stays alone.
    m_run.stopAndWait(endSubscriberRun);
}

void CommonMqttClient::setSubState(int state) const {
    vars()->setIntVar("substate", state, 0);
    vars()->setIntVar(mstateVar, state, 0);
}

bool CommonMqttClient::threadRun() {
    DriverRun::Scope running(m_run);
    setSubState(100);
    register_callback(cpp_callback);
    register_callback1(cpp_callback1);
    m_run.runThreads([this] { subscriptionLoop(); }, [this] { publishLoop(); });
    return true;
}

std::string CommonMqttClient::collectSubTopics(kro::IDevice* device) {
    std::string topics;
    if (!device)
        return topics;
    for (kro::IDvcVariable* var : device->getVarList()) {
        if (var->getAddrType() != "SubVariable")
            continue;
        const std::string addr = var->getAddr();
        if (!addr.empty())
            topics += "|" + addr;
    }
    if (!topics.empty())
        topics.erase(0, 1);
    return topics;
}

namespace {

// What is subscribed for a filter of an address: the filter without its
// location; null when the broker would refuse it or the location is no
// pointer.
std::optional<std::string> subscribedPart(const std::string& filter) {
    FilterLocation split = splitLocation(filter);
    if ((split.hasPointer && !JsonPointer::parse(split.pointer)) ||
        !subscribableFilter(split.filter))
        return std::nullopt;
    return std::move(split.filter);
}

// Why no subscriber can be started, or empty. Without "port" it runs when
// every broker entry names its own; a list the client library refuses is left
// to it, which says why.
std::string whyNotSubscribing(bool topics, const std::string& host, const std::string& port) {
    const std::string stopped = "[kro info]mqtt subscribe stopped, no topic or host or port.\n";
    if (!topics || host.empty())
        return stopped;
    std::vector<broker_addr> brokers;
    std::string error;
    if (!port.empty() || !broker_list_parse(host.c_str(), 0, &brokers, &error))
        return "";
    auto named = [](const broker_addr& b) { return b.port != 0; };
    const auto lacking = std::find_if_not(brokers.begin(), brokers.end(), named);
    if (lacking == brokers.end())
        return "";
    // With some ports given, "no port" alone would read as wrong.
    if (std::none_of(brokers.begin(), brokers.end(), named))
        return stopped;
    return "[kro info]mqtt subscribe stopped: broker entry \"" + printable(lacking->host) +
           "\" names no port and \"port\" is not set\n";
}

} // namespace

std::vector<std::string> CommonMqttClient::subscribableTopics() {
    std::vector<std::string> given;
    StringUtil::split(mtopic_sub, "|", given);
    // One refused filter would fail the whole subscription: it is left out,
    // and the others are subscribed.
    std::vector<std::string> topics;
    bool refused = false;
    for (const std::string& filter : given) {
        if (std::optional<std::string> topic = subscribedPart(filter))
            topics.push_back(std::move(*topic));
        else
            refused = true;
    }
    if (refused && pDev) {
        for (kro::IDvcVariable* var : pDev->getVarList()) {
            if (var->getAddrType() != "SubVariable")
                continue;
            std::vector<std::string> filters;
            StringUtil::split(var->getAddr(), "|", filters);
            for (const std::string& filter : filters) {
                if (subscribedPart(filter) ||
                    !m_refusedFilters.insert(var->getName() + '\0' + filter).second)
                    continue;
                const bool badPointer = subscribableFilter(splitLocation(filter).filter);
                printLine(std::string(badPointer ? "[kro error]invalid field location \""
                                                 : "[kro error]invalid topic filter \"") +
                          printable(filter) + "\" of variable " + printable(var->getName()) +
                          ": left out of the subscription\n");
            }
        }
    }
    return topics;
}

std::vector<std::string>
CommonMqttClient::buildSubArgs(const std::vector<std::string>& topics) const {
    std::vector<std::string> args{"mqttclinet_sub", "-h", mhost};
    auto optional = [&args](const char* option, const std::string& value) {
        if (!value.empty()) {
            args.push_back(option);
            args.push_back(value);
        }
    };
    // Empty only when every broker entry names its port.
    optional("-p", mport);
    optional("-u", musername);
    optional("-P", mpassword);
    optional("-i", mclientid);
    optional("-k", mkeepAlive);
    optional("--cafile", mcafile);
    optional("--cert", mcert);
    optional("--key", mkey);
    for (const std::string& topic : topics) {
        args.push_back("-t");
        args.push_back(topic);
    }
    if (!mAdditionSubArg.empty()) {
        for (std::string& token : splitWithQuotes(mAdditionSubArg, true))
            args.push_back(std::move(token));
    }
    return args;
}

std::vector<SparkplugNode::Variable> CommonMqttClient::sparkplugVariables() const {
    std::vector<SparkplugNode::Variable> variables;
    if (!pDev)
        return variables;
    for (kro::IDvcVariable* var : pDev->getVarList()) {
        const std::string type = var->getAddrType();
        const std::string address = var->getAddr();
        if ((type != "PubVariable" && type != "SubVariable") || address.empty())
            continue;
        const char* text = var->getStrValue();
        std::optional<std::string> value;
        if (text && *text)
            value = std::string(text);
        variables.push_back({address, type == "SubVariable", std::move(value)});
    }
    return variables;
}

void CommonMqttClient::sparkplugWrite(const std::string& address, const std::string& text) const {
    if (!pDev)
        return;
    for (kro::IDvcVariable* var : pDev->getVarList())
        if (var->getAddrType() == "SubVariable" && var->getAddr() == address)
            writeValue(var, text);
}

void CommonMqttClient::subscriptionLoop() {
    // A node's commands come on its session.
    if (m_sparkplug)
        return;
    for (;;) {
        if (m_run.waitForStop(kBeforeTopics))
            return;
        mtopic_sub = collectSubTopics(pDev);
        if (m_run.waitForStop(kBeforeSubscribing))
            return;
        const std::vector<std::string> topics = subscribableTopics();
        const std::string why = whyNotSubscribing(!topics.empty(), mhost, mport);
        if (!why.empty()) {
            setSubState(105);
            printLine(why);
            continue;
        }
        setSubState(101);
        checkTlsFiles();
        const std::vector<std::string> args = buildSubArgs(topics);
        printLine(showArguments(args));

        const SubscriberResult result = runSubscriberMatching(args);
        // A run ended by the stop is no result of the subscriber's.
        if (m_run.stopping())
            return;
        // Nothing would ever arrive: a failure, tried again like any other.
        if (result.denied) {
            setSubState(kSubscriptionDenied);
            printLine(deniedLine(topics));
            continue;
        }
        if (result.code == 0) {
            printLine("[kro info]mqtt subscribe started.\n");
            return;
        }
        setSubState(result.code);
    }
}

SubscriberResult CommonMqttClient::runSubscriberMatching(const std::vector<std::string>& args) {
    // Without topic mode a matcher only serves the locations: a device
    // without any is delivered to as it always was.
    auto matcher = std::make_shared<const TopicMatcher>(pDev, m_unmatched, !m_unmatched, m_misses);
    if (!m_unmatched && !matcher->hasPointers())
        return runSubscriber(args, pDev, msubPerRequest);
    SubscriberResult result;
    {
        const TopicMatchers::Registration matching(pDev, std::move(matcher));
        result = runSubscriber(args, pDev, msubPerRequest);
    }
    if (const uint64_t count = m_unmatched ? m_unmatched->takeCount() : 0)
        printLine("[kro info]messages with no variable in this run: " + std::to_string(count) +
                  "\n");
    if (const uint64_t count = m_misses->takeCount())
        printLine("[kro info]payloads without a variable's field in this run: " +
                  std::to_string(count) + "\n");
    return result;
}

void CommonMqttClient::checkTlsFiles() const {
    for (const std::string* file : {&mcafile, &mcert, &mkey})
        if (!file->empty())
            CHECKFILE(*file);
}

void CommonMqttClient::checkPubFiles() const {
    CHECKFILE(kPublisherPath);
    checkTlsFiles();
}

PubCommand CommonMqttClient::buildPubCommand(const std::string& topic, const std::string& value,
                                             int64_t postedMs) const {
    static const std::string retainSuffix = " --retain";
    bool retain = StringUtil::endWith(value, retainSuffix);
    std::string message = retain ? value.substr(0, value.size() - retainSuffix.size()) : value;
    if (m_format)
        message = m_format->render(message, topic, postedMs);

    PubCommand cmd;
    auto both = [&cmd](const std::string& text) {
        cmd.line += text;
        cmd.shown += text;
    };
    // Host, port, paths and topic stay readable; identities are always quoted.
    auto plain = [&both](const char* option, const std::string& v) {
        if (!v.empty())
            both(option + quoteArgumentIfNeeded(v));
    };
    auto quoted = [&both](const char* option, const std::string& v) {
        if (!v.empty())
            both(option + quoteArgument(v));
    };

    both(kPublisherPath);
    plain(" -h ", mhost);
    plain(" -p ", mport);
    quoted(" -u ", musername);
    if (!mpassword.empty()) {
        cmd.line += " -P " + quoteArgument(mpassword);
        cmd.shown += " -P " + quoteArgument("****");
    }
    quoted(" -i ", mclientid);
    plain(" --cafile ", mcafile);
    plain(" --cert ", mcert);
    plain(" --key ", mkey);
    plain(" -t ", topic);
    const MessageSpot spot = appendMessage(cmd, message);
    // The user's extra tokens go through as written; their own -r makes ours
    // redundant.
    if (!mAdditionPubArg.empty()) {
        std::string extra;
        for (const std::string& token : splitWithQuotes(mAdditionPubArg, true)) {
            extra += " " + token;
            if (token == "-r")
                retain = false;
        }
        cmd.line += extra;
        cmd.shown += showCommandArguments(extra);
    }
    if (retain)
        both(" -r");
    fitCommandLine(cmd, spot, message);
    return cmd;
}

std::vector<std::string> CommonMqttClient::buildSessionArgs() const {
    std::vector<std::string> args{"mqttclinet_pub"};
    auto optional = [&args](const char* option, const std::string& value) {
        if (!value.empty())
            args.insert(args.end(), {option, value});
    };
    optional("-h", mhost);
    optional("-p", mport);
    optional("-u", musername);
    optional("-P", mpassword);
    optional("-i", mclientid.empty() ? mclientid : mclientid + "-pub");
    optional("--cafile", mcafile);
    optional("--cert", mcert);
    optional("--key", mkey);
    // The extra tokens reach the session as the publisher program would read
    // them from its command line.
    const std::vector<std::string> extra = publisherExtraArgs(mAdditionPubArg);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void CommonMqttClient::publishLoop() {
    if (m_session) {
        checkTlsFiles();
        const std::vector<std::string> args = buildSessionArgs();
        printLine(showArguments(args));
        if (m_tick)
            m_session->setTick(m_tick);
        m_session->run(args, m_run.stopSignal());
        return;
    }
    runPublishLoop(
        *this, m_run.stopSignal(),
        [this](const std::string& topic, const std::string& value, int64_t postedMs) {
            checkPubFiles();
            return buildPubCommand(topic, value, postedMs);
        },
        mpubTimeout, m_tick);
}
