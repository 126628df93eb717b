#include "publish/publish_session.h"

#include <algorithm>
#include <cstdint>

#include "kro/Util.h"
#include "publish/publish_exception.h"
#include "publish/publish_process.h"
#include "publish/publish_session_parts.h"
#include "text/lines.h"

using namespace publish_parts;

namespace {

constexpr size_t kDefaultBuffer = 100000;
// The Common driver's mark of a value to be published retained.
const std::string kRetainSuffix = " --retain";

std::string variableKey(kro::IDvcVariable& var) {
    return var.getDeviceId() + '\0' + var.getName() + '\0' + var.getAddr();
}

// A posted text on its way into the session: the suffix taken off for the
// retain flag, then rendered.
void postText(PublishSession& session, std::string topic, std::string text, bool retainSuffix,
              const PubFormat* format) {
    PublishSession::Value value;
    value.topic = std::move(topic);
    value.payload = std::move(text);
    if (retainSuffix && kro::util::StringUtil::endWith(value.payload, kRetainSuffix)) {
        value.payload.resize(value.payload.size() - kRetainSuffix.size());
        value.retain = true;
    }
    if (format)
        value.payload = format->render(value.payload, value.topic, wallMs());
    session.post(std::move(value));
}

// Whether the variable's value as it is now goes on; false for one held back.
bool offered(ReportByException* exception, const std::shared_ptr<kro::IDvcVariable>& var) {
    // An address with a NUL is refused at each publication: not tracked, so
    // that no heartbeat repeats the refusal.
    if (!exception || !var || var->getAddrType() != "PubVariable" ||
        var->getAddr().find('\0') != std::string::npos)
        return true;
    const char* text = var->getStrValue();
    return exception->offer(variableKey(*var), text ? text : "", ReportByException::Clock::now(),
                            var);
}

} // namespace

PubMode readPubMode(const std::string& settings) {
    return kro::util::Util::getValFromJsonc(settings, "PubMode") == "session" ? PubMode::Session
                                                                              : PubMode::Process;
}

size_t readPubBuffer(const std::string& settings) {
    return static_cast<size_t>(
        readWholeSetting(settings, "PubBuffer", kDefaultBuffer, 1, "values"));
}

std::unique_ptr<PublishSession> makePublishSession(const std::string& settings,
                                                   const std::string& varPrefix, bool aws) {
    if (readPubMode(settings) != PubMode::Session) {
        if (!kro::util::Util::getValFromJsonc(settings, "PubStore").empty())
            printLine("[kro error]PubStore needs \"PubMode\": \"session\"; values are published "
                      "without a store\n");
        readBatchSettings(settings, ""); // says that values go one by one
        // A publisher process per value has no lasting connection to pace.
        for (const char* key :
             {"PubRate", "PubByteRate", "PubInflight", "PubAckTimeout", "PubMaxBytes"})
            if (!kro::util::Util::getValFromJsonc(settings, key).empty())
                printLine(std::string("[kro error]") + key +
                          " needs \"PubMode\": \"session\"; values are published one "
                          "publisher process each, without it\n");
        return nullptr;
    }
    SessionSettings session = readSessionSettings(settings, aws);
    session.buffer = readPubBuffer(settings);
    return std::make_unique<PublishSession>(session, varPrefix);
}

bool postToDriver(kro::UARTDriverBase& driver, PublishSession* session,
                  std::shared_ptr<kro::IDvcVariable> var, bool retainSuffix,
                  const PubFormat* format) {
    return postToDriver(driver, session, std::move(var), retainSuffix, format, nullptr);
}

bool postToDriver(kro::UARTDriverBase& driver, PublishSession* session,
                  std::shared_ptr<kro::IDvcVariable> var, bool retainSuffix,
                  const PubFormat* format, ReportByException* exception) {
    if (!session) {
        if (!offered(exception, var))
            return true;
        if (format)
            var = stampPosting(std::move(var), wallMs());
        return driver.kro::UARTDriverBase::postData(std::move(var));
    }
    if (!var || var->getAddrType() != "PubVariable")
        return true;
    std::string topic = var->getAddr();
    if (refusedAddress(topic))
        return true;
    const char* text = var->getStrValue();
    std::string value = text ? text : "";
    if (exception &&
        !exception->offer(variableKey(*var), value, ReportByException::Clock::now(), var))
        return true;
    postText(*session, std::move(topic), std::move(value), retainSuffix, format);
    return true;
}

std::unique_ptr<ReportByException> makeReportByException(const std::string& settings,
                                                         bool retainSuffix) {
    const ExceptionSettings s = readExceptionSettings(settings);
    if (!s.any())
        return nullptr;
    return std::make_unique<ReportByException>(s, retainSuffix ? kRetainSuffix : "");
}

std::function<void()> exceptionTick(kro::UARTDriverBase& driver, PublishSession* session,
                                    ReportByException& exception, bool retainSuffix,
                                    const PubFormat* format, std::string counter) {
    return [&driver, session, &exception, retainSuffix, format, counter = std::move(counter)] {
        const auto now = ReportByException::Clock::now();
        if (const std::optional<uint64_t> skipped = exception.skippedToWrite(now))
            kro::getRuntime()->getVarManager()->setIntVar(
                counter, static_cast<int>(std::min<uint64_t>(*skipped, INT32_MAX)), 0);
        // While more values wait than there are variables (the link is down
        // or behind), repeats would push posted values out of the buffer and
        // fill the store: the heartbeat waits until the session catches up.
        if (session && session->waiting() > exception.variables())
            return;
        for (ReportByException::Due& due : exception.due(now)) {
            if (!due.var)
                continue;
            if (session)
                postText(*session, due.var->getAddr(), std::move(due.value), retainSuffix, format);
            else
                driver.kro::UARTDriverBase::postData(format ? stampPosting(due.var, wallMs())
                                                            : due.var);
        }
    };
}
