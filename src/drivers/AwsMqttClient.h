#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "drivers/driver_run.h"
#include "kro/kro.h"
#include "publish/publish_exception.h"
#include "publish/publish_process.h"
#include "publish/publish_session.h"

// Driver for protocol "AWSMQTT": a cloud IoT broker reached over TLS with a
// client certificate. It reads its connection parameters from named runtime
// variables, not from its settings, and leaves what it receives in the
// runtime variables "Recive-topic" and "Recive-message".
class AwsMqttClient : public kro::UARTDriverBase {
public:
    AwsMqttClient(kro::IDeviceManager* manager, std::string settings);
    // Ends a running driver: its subscriber run, both loops, and waits until
    // threadRun() has returned.
    ~AwsMqttClient() override;

    // State 100, registers the callbacks, then runs the subscription and the
    // publish thread until a stop.
    bool threadRun() override;

    // The publisher program, resolved against the host's current directory.
    static constexpr const char* kPublisherPath = "./res/other/mosquitto_pub.exe";

    // The connection parameters, as the runtime variables hold them, and the
    // extra options of the settings JSON ("AdditionSubArgs",
    // "AdditionPubArgs"), which readSettings leaves alone.
    struct Settings {
        std::string cafile, cert, key, host, port, topics;
        std::string extraSub = {}, extraPub = {};
    };
    // Reads "cafilePath", "certPath", "keyPath", "host", "port" and "topics"
    // in this order. With `stopAtMissing`, stops at the first variable that
    // does not exist and returns false; otherwise a missing one stays empty.
    // An existing empty value is accepted.
    static bool readSettings(Settings& settings, bool stopAtMissing);

    // The subscriber's argument vector: host, port (when not empty), CA file,
    // certificate, key, one -t per topic, then the extra subscriber tokens
    // (split as the Common driver splits them). Every value is kept whole.
    static std::vector<std::string> buildSubArgs(const Settings& settings,
                                                 const std::vector<std::string>& topics);
    // The publisher run for one variable. Every option is present; every value
    // reaches the publisher as one argument with exactly its bytes (a message
    // too long for a command line on its standard input); the extra publisher
    // tokens follow the message as written. Not printed. With a
    // `format` the message is the value rendered with the posting time.
    static PubCommand buildPubCommand(const Settings& settings, const std::string& topic,
                                      const std::string& value, const PubFormat* format = nullptr,
                                      int64_t postedMs = 0);

    // The session's argument vector ("PubMode": "session"): the options of the
    // publisher command line without topic and message, the extra tokens as
    // the publisher reads them; like the subscriber's, no -p when the port is
    // empty.
    static std::vector<std::string> buildSessionArgs(const Settings& settings);

    // In session mode a posted "PubVariable" is queued on the session with
    // the value it holds now; otherwise as the base does.
    bool postData(std::shared_ptr<kro::IDvcVariable> var) override;

    // The thread bodies threadRun() starts.
    void subscriptionLoop();
    void publishLoop();

private:
    // Every refused filter of "topics" reported.
    std::set<std::string> m_refusedFilters;
    DriverRun m_run;
    // How long one publication may take ("PubTimeout"; zero: no limit).
    std::chrono::seconds m_pubTimeout;
    // The most filters in one SUBSCRIBE ("SubPerRequest", 8 by default: AWS
    // IoT Core refuses a bigger request whole).
    size_t m_subPerRequest;
    // "AdditionSubArgs" and "AdditionPubArgs" as the settings give them.
    std::string m_extraSub, m_extraPub;
    // Set in session mode.
    std::unique_ptr<PublishSession> m_session;
    // The shape of published values (${device} is empty); null: as they are.
    std::unique_ptr<const PubFormat> m_format;
    // Report by exception ("PubDeadband", "PubHeartbeat"); null without it.
    std::unique_ptr<ReportByException> m_exception;
    std::function<void()> m_tick;
};
