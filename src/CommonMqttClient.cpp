#include "CommonMqttClient.h"

#include "platform/cmdline.h"

using kro::util::StringUtil;
using kro::util::Util;

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
}

CommonMqttClient::~CommonMqttClient() = default;

bool CommonMqttClient::threadRun() {
    return true;
}

void CommonMqttClient::checkPubFiles() const {
    CHECKFILE(kPublisherPath);
    for (const std::string* file : {&mcafile, &mcert, &mkey})
        if (!file->empty())
            CHECKFILE(*file);
}

PubCommand CommonMqttClient::buildPubCommand(const std::string& topic,
                                             const std::string& value) const {
    static const std::string retainSuffix = " --retain";
    bool retain = StringUtil::endWith(value, retainSuffix);
    const std::string message =
        retain ? value.substr(0, value.size() - retainSuffix.size()) : value;

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
    both(" -m \"" + escapeString(message) + "\"");
    // The user's extra tokens go through as written; their own -r makes ours
    // redundant.
    if (!mAdditionPubArg.empty()) {
        for (const std::string& token : splitWithQuotes(mAdditionPubArg, true)) {
            both(" " + token);
            if (token == "-r")
                retain = false;
        }
    }
    if (retain)
        both(" -r");
    return cmd;
}

void CommonMqttClient::publishLoop() {
    runPublishLoop(*this, m_stop, [this](const std::string& topic, const std::string& value) {
        checkPubFiles();
        return buildPubCommand(topic, value);
    });
}
