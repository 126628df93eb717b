#include "CommonMqttClient.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "client/sub_client.h"
#include "client/sub_client_output.h"
#include "platform/cmdline.h"

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

// Topic mode: only the variables whose filters match the topic are written; a
// message that reaches none is counted, and reported once per topic.
void deliverByTopic(const TopicMatcher& matcher, const std::string& topic,
                    const std::string& message) {
    const std::vector<uint32_t> reached = matcher.reached(topic);
    for (const uint32_t index : reached) {
        const TopicMatcher::Target& target = matcher.targets()[index];
        writeValue(target.var, target.takesTopic ? topic : message);
    }
    if (reached.empty() && matcher.unmatched().note(topic))
        printLine("[kro info]no variable for topic: " + printable(topic) + "\n");
}

// Message callback: every "SubVariable" of the run's device receives the
// payload, every "SubTopic" the topic, unless the run matches topics.
void cpp_callback(const char* str, const char* str1, void* pdev) {
    const std::string topic = str ? str : "";
    const std::string message = str1 ? str1 : "";
    if (!pdev)
        return;
    auto* device = static_cast<kro::IDevice*>(pdev);
    if (std::shared_ptr<const TopicMatcher> matcher = TopicMatchers::find(device)) {
        deliverByTopic(*matcher, topic, message);
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
    if (Util::getValFromJsonc(settings, "SubMatch") == "topic")
        m_unmatched = std::make_shared<UnmatchedTopics>();
    m_session = makePublishSession(settings, deviceId + ".");
    m_format = readPubFormat(settings, deviceId);
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
    return postToDriver(*this, m_session.get(), std::move(var), true, m_format.get());
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

std::vector<std::string> CommonMqttClient::subscribableTopics() {
    std::vector<std::string> topics;
    StringUtil::split(mtopic_sub, "|", topics);
    // One refused filter would fail the whole subscription: it is left out,
    // and the others are subscribed.
    const auto refused = std::stable_partition(topics.begin(), topics.end(), subscribableFilter);
    if (refused != topics.end() && pDev) {
        for (kro::IDvcVariable* var : pDev->getVarList()) {
            if (var->getAddrType() != "SubVariable")
                continue;
            std::vector<std::string> filters;
            StringUtil::split(var->getAddr(), "|", filters);
            for (const std::string& filter : filters) {
                if (subscribableFilter(filter) ||
                    !m_refusedFilters.insert(var->getName() + '\0' + filter).second)
                    continue;
                printLine("[kro error]invalid topic filter \"" + printable(filter) +
                          "\" of variable " + printable(var->getName()) +
                          ": left out of the subscription\n");
            }
        }
    }
    topics.erase(refused, topics.end());
    return topics;
}

std::vector<std::string>
CommonMqttClient::buildSubArgs(const std::vector<std::string>& topics) const {
    std::vector<std::string> args{"mqttclinet_sub", "-h", mhost, "-p", mport};
    auto optional = [&args](const char* option, const std::string& value) {
        if (!value.empty()) {
            args.push_back(option);
            args.push_back(value);
        }
    };
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

void CommonMqttClient::subscriptionLoop() {
    for (;;) {
        if (m_run.waitForStop(kBeforeTopics))
            return;
        mtopic_sub = collectSubTopics(pDev);
        if (m_run.waitForStop(kBeforeSubscribing))
            return;
        const std::vector<std::string> topics = subscribableTopics();
        if (topics.empty() || mhost.empty() || mport.empty()) {
            setSubState(105);
            printLine("[kro info]mqtt subscribe stopped, no topic or host or port.\n");
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
    if (!m_unmatched)
        return runSubscriber(args, pDev);
    SubscriberResult result;
    {
        const TopicMatchers::Registration matching(
            pDev, std::make_shared<const TopicMatcher>(pDev, m_unmatched));
        result = runSubscriber(args, pDev);
    }
    if (const uint64_t count = m_unmatched->takeCount())
        printLine("[kro info]messages with no variable in this run: " + std::to_string(count) +
                  "\n");
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
    if (!mAdditionPubArg.empty()) {
        std::string line = "p";
        for (const std::string& token : splitWithQuotes(mAdditionPubArg, true))
            line += " " + token;
        std::vector<std::string> extra = splitCommandLine(line);
        args.insert(args.end(), extra.begin() + 1, extra.end());
    }
    return args;
}

void CommonMqttClient::publishLoop() {
    if (m_session) {
        checkTlsFiles();
        const std::vector<std::string> args = buildSessionArgs();
        printLine(showArguments(args));
        m_session->run(args, m_run.stopSignal());
        return;
    }
    runPublishLoop(
        *this, m_run.stopSignal(),
        [this](const std::string& topic, const std::string& value, int64_t postedMs) {
            checkPubFiles();
            return buildPubCommand(topic, value, postedMs);
        },
        mpubTimeout);
}
