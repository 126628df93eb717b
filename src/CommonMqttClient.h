#pragma once

#include <string>

#include "kro/kro.h"

// Driver for protocol "COMMONMQTT": bridges one host device's variables and an
// MQTT broker, with the connection settings taken from the driver's JSON.
class CommonMqttClient : public kro::UARTDriverBase {
public:
    CommonMqttClient(kro::IDeviceManager* dm, std::string settings);
    ~CommonMqttClient() override;

    bool threadRun() override;

    // Settings exactly as the JSON gives them; empty means "not set".
    std::string mhost;
    std::string mport;
    std::string mclientid;
    std::string musername;
    std::string mpassword;
    std::string mcafile;
    std::string mcert;
    std::string mkey;
    std::string mtopic_sub;
    kro::IDevice* pDev = nullptr;
    std::string mAdditionPubArg;
    std::string mAdditionSubArg;
    std::string mkeepAlive;
    std::string mstateVar;
};
