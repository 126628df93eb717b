// The plug-in's factories: the host calls them with its device manager and
// the driver's settings text.

#include "drivers/AwsMqttClient.h"
#include "drivers/CommonMqttClient.h"
#include "platform/export.h"

KRO_EXPORT kro::IDvcDriver* libTlsMqttDriver_loadDriver(kro::IDeviceManager* dm, std::string argv) {
    if (kro::util::Util::getValFromJsonc(argv, "Protocol") != "COMMONMQTT")
        return nullptr;
    kro::IDvcDriver* driver = new CommonMqttClient(dm, argv);
    return driver;
}

KRO_EXPORT kro::IDvcDriver* libAwsMqttDriver_loadDriver(kro::IDeviceManager* dm, std::string argv) {
    if (kro::util::Util::getValFromJsonc(argv, "Protocol") != "AWSMQTT")
        return nullptr;
    kro::IDvcDriver* driver = new AwsMqttClient(dm, argv);
    return driver;
}
