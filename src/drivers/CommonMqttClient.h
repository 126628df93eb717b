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
#include "receive/topic_match.h"

// Driver for protocol "COMMONMQTT": bridges one host device's variables and an
// MQTT broker, with the connection settings taken from the driver's JSON.
class CommonMqttClient : public kro::UARTDriverBase {
public:
    CommonMqttClient(kro::IDeviceManager* dm, std::string settings);
    // Ends a running driver: its subscriber run, both loops, and waits until
    // threadRun() has returned.
    ~CommonMqttClient() override;

    // State 100, registers the callbacks, then runs the subscription and the
    // publish thread until a stop.
    bool threadRun() override;

    // The subscription thread's body: one subscriber attempt after another,
    // until a run ends with 0 or the driver stops.
    void subscriptionLoop();
    // The device's "SubVariable" addresses joined by "|", in list order
    // (empty addresses skipped; none without a device).
    static std::string collectSubTopics(kro::IDevice* device);
    // The filters of mtopic_sub the subscriber takes, in order, without their
    // locations ("#/pointer"). Each one it would refuse, and each whose
    // location is no pointer, is left out, with a line naming it and its
    // variable once per run of the driver.
    std::vector<std::string> subscribableTopics();
    // The subscriber's argument vector for the given topics. Checks no files.
    std::vector<std::string> buildSubArgs(const std::vector<std::string>& topics) const;

    // The publisher program, resolved against the host's current directory.
    static constexpr const char* kPublisherPath = "./Debug/mosquitto_pub.exe";

    // In session mode ("PubMode": "session") a posted "PubVariable" is queued
    // on the session with the value it holds now; otherwise as the base does,
    // and its value is read when it is published.
    bool postData(std::shared_ptr<kro::IDvcVariable> var) override;

    // The publish thread's body until requestStop(): in process mode every
    // 30 ms publishes the posted "PubVariable" variables, one publisher run
    // each; in session mode runs the session.
    void publishLoop();
    // The session's argument vector: the options of the publisher command
    // line without topic and message, the client id (when set) with "-pub"
    // appended so that the subscriber's session is left alone.
    std::vector<std::string> buildSessionArgs() const;
    // The publisher run for one variable: every value reaches the publisher as
    // one argument with exactly its bytes; a value ending in " --retain" is
    // published retained without that suffix; one too long for a command line
    // goes on the publisher's standard input. Checks no files.
    // With "PubFormat" or "PubTemplate" the message is the value (the suffix
    // removed) rendered with the posting time `postedMs`.
    PubCommand buildPubCommand(const std::string& topic, const std::string& value,
                               int64_t postedMs = 0) const;

    // Ends the driver's loops; each notices within one of its pauses.
    void requestStop() { m_run.stopSignal().request(); }
    // Sleeps up to `timeout`, cut short by requestStop(); true once stopping.
    bool waitForStop(std::chrono::milliseconds timeout) { return m_run.waitForStop(timeout); }

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
    // How long one publication may take ("PubTimeout"; zero: no limit).
    std::chrono::seconds mpubTimeout;
    // The most filters in one SUBSCRIBE ("SubPerRequest"; zero: no limit).
    size_t msubPerRequest = 0;

private:
    // Warns about a TLS file that does not exist (each set one is checked).
    void checkTlsFiles() const;
    // Warns about a missing publisher program or TLS file before each run.
    void checkPubFiles() const;
    // Writes a subscription state to "substate", then to mstateVar.
    void setSubState(int state) const;
    // One subscriber run; in topic mode, or when a SubVariable filter has a
    // location, with the device's matcher registered for the run's length,
    // and its unmatched messages and missed fields counted after it.
    SubscriberResult runSubscriberMatching(const std::vector<std::string>& args);

    // Set in topic mode ("SubMatch": "topic") only: the messages that reached
    // no variable, across all the driver's runs.
    std::shared_ptr<UnmatchedTopics> m_unmatched;
    // The payloads that lacked a variable's field, across all the driver's
    // runs.
    std::shared_ptr<UnmatchedTopics> m_misses = std::make_shared<UnmatchedTopics>();

    // Variable and filter (NUL between) of every refused filter reported.
    std::set<std::string> m_refusedFilters;

    DriverRun m_run;
    // Report by exception ("PubDeadband", "PubHeartbeat"); null without it.
    // Before the session: its tick uses it until the session's run ends.
    std::unique_ptr<ReportByException> m_exception;
    std::function<void()> m_tick;
    // Set in session mode.
    std::unique_ptr<PublishSession> m_session;
    // The shape of published values; null: as they are.
    std::unique_ptr<const PubFormat> m_format;
    // The session is a Sparkplug B edge node, its device the node's device:
    // SubVariables are written by DCMD, no subscriber runs.
    bool m_sparkplug = false;
    // The device's variables as a node declares them.
    std::vector<SparkplugNode::Variable> sparkplugVariables() const;
    void sparkplugWrite(const std::string& address, const std::string& text) const;
};
