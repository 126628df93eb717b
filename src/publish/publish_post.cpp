#include "publish/publish_session.h"

#include "kro/Util.h"
#include "publish/publish_process.h"
#include "publish/publish_session_parts.h"
#include "text/lines.h"

using namespace publish_parts;

namespace {

constexpr size_t kDefaultBuffer = 100000;

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
    if (!session) {
        if (format)
            var = stampPosting(std::move(var), wallMs());
        return driver.kro::UARTDriverBase::postData(std::move(var));
    }
    if (!var || var->getAddrType() != "PubVariable")
        return true;
    static const std::string suffix = " --retain";
    PublishSession::Value value;
    value.topic = var->getAddr();
    if (refusedAddress(value.topic))
        return true;
    const char* text = var->getStrValue();
    value.payload = text ? text : "";
    if (retainSuffix && kro::util::StringUtil::endWith(value.payload, suffix)) {
        value.payload.resize(value.payload.size() - suffix.size());
        value.retain = true;
    }
    if (format)
        value.payload = format->render(value.payload, value.topic, wallMs());
    session->post(std::move(value));
    return true;
}
