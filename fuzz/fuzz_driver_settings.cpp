// The Common driver built from an arbitrary settings text, with a stand-in
// device manager, and destroyed at once (its threads never start). The
// settings are also read key by key as the host utility reads them, and the
// publisher command line built from them must hand every value over whole
// and print no password.
//
// Input: settings NUL topic NUL value; missing parts are empty.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/client_shared.h"
#include "drivers/CommonMqttClient.h"
#include "kro/Util.h"
#include "kro_host.h"
#include "platform/cmdline.h"
#include "publish/publish_process.h"
#include "text/split.h"

#include "fuzz_util.h"

namespace {

kro::host::DeviceManager* g_manager = nullptr;

// The arguments the publisher receives before its message, and the message:
// each set field as its option and exactly its value.
std::vector<std::string> expected_head(const CommonMqttClient& d, const std::string& password,
                                       const std::string& topic, const std::string& message) {
    std::vector<std::string> args{CommonMqttClient::kPublisherPath};
    auto add = [&args](const char* option, const std::string& value) {
        if (!value.empty()) {
            args.push_back(option);
            args.push_back(value);
        }
    };
    add("-h", d.mhost);
    add("-p", d.mport);
    add("-u", d.musername);
    add("-P", password);
    add("-i", d.mclientid);
    add("--cafile", d.mcafile);
    add("--cert", d.mcert);
    add("--key", d.mkey);
    add("-t", topic);
    args.push_back("-m");
    args.push_back(message);
    return args;
}

void check_pub_command(const CommonMqttClient& driver, const std::string& topic,
                       const std::string& value) {
    const PubCommand cmd = driver.buildPubCommand(topic, value);
    static const std::string retain = " --retain";
    const bool retained = value.size() >= retain.size() &&
                          value.compare(value.size() - retain.size(), retain.size(), retain) == 0;
    const std::string message = retained ? value.substr(0, value.size() - retain.size()) : value;

    const std::vector<std::string> head = expected_head(driver, driver.mpassword, topic, message);
    const std::vector<std::string> args = splitCommandLine(cmd.line);
    require(args.size() >= head.size());
    require(std::equal(head.begin(), head.end(), args.begin()));
    // The printed form shows the password as ****, and is otherwise the same
    // unless the extra arguments may carry a password of their own.
    const std::vector<std::string> shownHead =
        expected_head(driver, driver.mpassword.empty() ? std::string() : "****", topic, message);
    const std::vector<std::string> shown = splitCommandLine(cmd.shown);
    require(shown.size() >= shownHead.size());
    require(std::equal(shownHead.begin(), shownHead.end(), shown.begin()));
    const std::string& extra = driver.mAdditionPubArg;
    bool mayHoldSecret = false;
    for (const char* option : {"-P", "--pw", "-L", "--url"})
        mayHoldSecret = mayHoldSecret || extra.find(option) != std::string::npos;
    if (!mayHoldSecret) {
        require(shown.size() == args.size());
        require(std::equal(args.begin() + head.size(), args.end(), shown.begin() + head.size()));
    }
    // Whatever password the publisher's own parser reads from the printed
    // line is ****.
    std::vector<std::vector<char>> texts;
    std::vector<char*> argv;
    for (const std::string& arg : shown)
        texts.emplace_back(arg.c_str(), arg.c_str() + arg.size() + 1);
    for (std::vector<char>& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    mosq_config c;
    init_config(&c, CLIENT_PUB);
    client_config_line_proc(&c, CLIENT_PUB, static_cast<int>(texts.size()), argv.data());
    require(!c.password || std::strcmp(c.password, "****") == 0);
    client_config_cleanup(&c);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_manager = new kro::host::DeviceManager();
    kro::host::Device* device = g_manager->addDevice("dev1");
    device->addVariable({"temp", 16, "SubVariable", "sensors/temp", ""});
    device->addVariable({"topic", 64, "SubTopic", "", ""});
    device->addVariable({"out", 16, "PubVariable", "actuators/out", "1"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string settings = take_part(data, size);
    const std::string topic = take_part(data, size);
    const std::string value(reinterpret_cast<const char*>(data), size);

    auto driver = std::make_unique<CommonMqttClient>(g_manager, settings);

    const std::string deviceId = kro::util::Util::getValFromJsonc(settings, "DeviceId");
    require(driver->mstateVar == deviceId + ".substate");
    require(driver->pDev == g_manager->getDevice(deviceId));
    const std::string host = kro::util::Util::getValFromJsonc(settings, "host");
    require(driver->mhost ==
            (host.empty() ? kro::util::Util::getValFromJsonc(settings, "addr") : host));
    require(driver->mport == kro::util::Util::getValFromJsonc(settings, "port"));
    require(driver->mtopic_sub.empty());

    for (const std::string* args : {&driver->mAdditionPubArg, &driver->mAdditionSubArg}) {
        for (bool keep : {false, true}) {
            for (const std::string& token : splitWithQuotes(*args, keep)) {
                require(!token.empty());
                require(keep || token.find('"') == std::string::npos);
            }
        }
    }

    check_pub_command(*driver, topic, value);
    driver.reset();
    return 0;
}
