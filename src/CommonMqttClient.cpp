#include "CommonMqttClient.h"

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

bool CommonMqttClient::threadRun() { return true; }
