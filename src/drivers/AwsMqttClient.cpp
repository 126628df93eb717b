#include "drivers/AwsMqttClient.h"

#include <algorithm>
#include <thread>

#include "client/sub_client.h"
#include "client/sub_client_output.h"
#include "drivers/driver_settings.h"
#include "drivers/driver_state.h"
#include "platform/cmdline.h"
#include "publish/publish_process.h"
#include "text/lines.h"
#include "text/split.h"

using kro::util::StringUtil;

namespace {

constexpr std::chrono::seconds kBeforeSubscribing{3};

kro::IVarManager* vars() {
    return kro::getRuntime()->getVarManager();
}

void setSubState(int state) {
    vars()->setIntVar("substate", state, 0);
}

// Message callback: the latest message of any run in the process, whatever
// its device context.
void cpp_callback(const char* str, const char* str1, void* pdev) {
    (void)pdev;
    const std::string topic = str ? str : "";
    const std::string message = str1 ? str1 : "";
    vars()->setStrVar("Recive-topic", topic, 0);
    vars()->setStrVar("Recive-message", message, 0);
}

// Status callback: every CONNACK result of any run goes to "substate".
void cpp_callback1(int state, void* obj) {
    (void)obj;
    setSubState(state);
    if (state == 0) {
        const std::string broker = sub_client_broker_in_use();
        if (!broker.empty())
            noteBrokerInUse("", broker);
    }
}

} // namespace

AwsMqttClient::AwsMqttClient(kro::IDeviceManager* manager, std::string settings)
    : kro::UARTDriverBase(manager, settings), m_pubTimeout(readPubTimeout(settings)),
      m_subPerRequest(readSubPerRequest(settings, 8)),
      m_extraSub(kro::util::Util::getValFromJsonc(settings, "AdditionSubArgs")),
      m_extraPub(kro::util::Util::getValFromJsonc(settings, "AdditionPubArgs")),
      m_session(makePublishSession(settings, "", true)), m_format(readPubFormat(settings, "")),
      m_exception(makeReportByException(settings, false)) {
    if (m_exception)
        m_tick = exceptionTick(*this, m_session.get(), *m_exception, false, m_format.get(),
                               "pubskipped");
}

bool AwsMqttClient::postData(std::shared_ptr<kro::IDvcVariable> var) {
    return postToDriver(*this, m_session.get(), std::move(var), false, m_format.get(),
                        m_exception.get());
}

AwsMqttClient::~AwsMqttClient() {
    // The run has no device context, so it is ended by its thread: a stop by
    // context would reach every other context-less run in the process.
    m_run.stopAndWait(endSubscriberRun);
}

bool AwsMqttClient::threadRun() {
    DriverRun::Scope running(m_run);
    setSubState(100);
    register_callback(cpp_callback);
    register_callback1(cpp_callback1);
    m_run.runThreads([this] { subscriptionLoop(); }, [this] { publishLoop(); });
    return true;
}

bool AwsMqttClient::readSettings(Settings& settings, bool stopAtMissing) {
    kro::IVarManager* store = vars();
    const std::pair<const char*, std::string*> order[] = {
        {"cafilePath", &settings.cafile}, {"certPath", &settings.cert},
        {"keyPath", &settings.key},       {"host", &settings.host},
        {"port", &settings.port},         {"topics", &settings.topics},
    };
    bool all = true;
    for (const auto& [name, value] : order) {
        if (!store->getStrVar(name, *value, 0)) {
            value->clear();
            all = false;
            if (stopAtMissing)
                return false;
        }
    }
    return all;
}

namespace {

// What the subscriber and the session share: host, port, TLS files.
std::vector<std::string> connectionArgs(const char* program,
                                        const AwsMqttClient::Settings& settings) {
    std::vector<std::string> args{program, "-h", settings.host};
    // Without a port the client takes the TLS default.
    if (!settings.port.empty()) {
        args.push_back("-p");
        args.push_back(settings.port);
    }
    args.insert(args.end(),
                {"--cafile", settings.cafile, "--cert", settings.cert, "--key", settings.key});
    return args;
}

} // namespace

std::vector<std::string> AwsMqttClient::buildSubArgs(const Settings& settings,
                                                     const std::vector<std::string>& topics) {
    std::vector<std::string> args = connectionArgs("mqttclinet_sub", settings);
    for (const std::string& topic : topics) {
        args.push_back("-t");
        args.push_back(topic);
    }
    for (std::string& token : splitWithQuotes(settings.extraSub, true))
        args.push_back(std::move(token));
    return args;
}

PubCommand AwsMqttClient::buildPubCommand(const Settings& settings, const std::string& topic,
                                          const std::string& value, const PubFormat* format,
                                          int64_t postedMs) {
    // Every option is always there, so an empty value must still be one
    // argument: quoteArgumentIfNeeded writes it as "".
    PubCommand cmd;
    cmd.line = std::string(kPublisherPath) + " -h " + quoteArgumentIfNeeded(settings.host) +
               " -p " + quoteArgumentIfNeeded(settings.port) + " --cafile " +
               quoteArgumentIfNeeded(settings.cafile) + " --cert " +
               quoteArgumentIfNeeded(settings.cert) + " --key " +
               quoteArgumentIfNeeded(settings.key) + " -t " + quoteArgumentIfNeeded(topic);
    cmd.shown = cmd.line;
    const std::string message = format ? format->render(value, topic, postedMs) : value;
    const MessageSpot spot = appendMessage(cmd, message);
    std::string extra;
    for (const std::string& token : splitWithQuotes(settings.extraPub, true))
        extra += " " + token;
    cmd.line += extra;
    cmd.shown += showCommandArguments(extra);
    fitCommandLine(cmd, spot, message);
    cmd.print = false;
    return cmd;
}

void AwsMqttClient::subscriptionLoop() {
    for (;;) {
        if (m_run.waitForStop(kBeforeSubscribing))
            return;
        Settings settings;
        if (!readSettings(settings, true)) {
            // Final: the publish side goes on without it.
            setSubState(105);
            return;
        }
        setSubState(101);
        std::vector<std::string> topics;
        StringUtil::split(settings.topics, "|", topics);
        // One refused filter would fail the whole subscription.
        topics.erase(std::remove_if(topics.begin(), topics.end(),
                                    [this](const std::string& topic) {
                                        if (subscribableFilter(topic))
                                            return false;
                                        if (m_refusedFilters.insert(topic).second)
                                            printLine("[kro error]invalid topic filter \"" +
                                                      printable(topic) +
                                                      "\" in topics: left out of the "
                                                      "subscription\n");
                                        return true;
                                    }),
                     topics.end());
        settings.extraSub = m_extraSub;
        const SubscriberResult result =
            runSubscriber(buildSubArgs(settings, topics), nullptr, m_subPerRequest);
        // A run ended by the stop is no result of the subscriber's.
        if (m_run.stopping())
            return;
        if (result.denied) {
            setSubState(kSubscriptionDenied);
            printLine(deniedLine(topics));
            continue;
        }
        setSubState(result.code);
    }
}

std::vector<std::string> AwsMqttClient::buildSessionArgs(const Settings& settings) {
    std::vector<std::string> args = connectionArgs("mqttclinet_pub", settings);
    const std::vector<std::string> extra = publisherExtraArgs(settings.extraPub);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void AwsMqttClient::publishLoop() {
    // Read once: later changes of the variables do not reach this side.
    Settings settings;
    readSettings(settings, false);
    settings.extraPub = m_extraPub;
    if (m_session) {
        if (m_tick)
            m_session->setTick(m_tick);
        m_session->run(buildSessionArgs(settings), m_run.stopSignal());
        return;
    }
    runPublishLoop(
        *this, m_run.stopSignal(),
        [this, &settings](const std::string& topic, const std::string& value, int64_t postedMs) {
            return buildPubCommand(settings, topic, value, m_format.get(), postedMs);
        },
        m_pubTimeout, m_tick);
}
