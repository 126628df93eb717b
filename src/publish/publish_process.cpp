#include "publish/publish_process.h"

#include <deque>
#include <memory>
#include <mutex>

#include "drivers/driver_state.h"
#include "platform/cmdline.h"
#include "platform/process.h"
#include "text/lines.h"

std::string escapeString(const std::string& input) {
    return escapeArgument(input);
}

bool refusedAddress(const std::string& address) {
    if (address.find('\0') == std::string::npos)
        return false;
    printLine("[kro error]publish refused: the address holds a NUL character: " +
              printable(address) + "\n");
    return true;
}

namespace {

// How long a stopping driver lets a running publication end by itself.
constexpr std::chrono::milliseconds kStopGrace{1000};

} // namespace

MessageSpot appendMessage(PubCommand& cmd, const std::string& message) {
    const std::string option = " -m \"" + escapeString(message) + "\"";
    MessageSpot spot{cmd.line.size(), cmd.shown.size(), option.size()};
    cmd.line += option;
    cmd.shown += option;
    return spot;
}

void fitCommandLine(PubCommand& cmd, const MessageSpot& spot, const std::string& message) {
    if (cmd.line.size() <= maxCommandLineLength())
        return;
    cmd.line.replace(spot.line, spot.length, " -s");
    cmd.shown.replace(spot.shown, spot.length, " -s");
    cmd.shown += " (message: " + std::to_string(message.size()) + " bytes on standard input)";
    cmd.input = message;
}

namespace {

class StampedVariable : public kro::IDvcVariable {
public:
    StampedVariable(std::shared_ptr<kro::IDvcVariable> var, int64_t postedMs)
        : m_var(std::move(var)), m_postedMs(postedMs) {}
    std::string getName() override { return m_var->getName(); }
    int getSize() override { return m_var->getSize(); }
    std::string getAddrType() override { return m_var->getAddrType(); }
    std::string getAddr() override { return m_var->getAddr(); }
    std::string getDeviceId() override { return m_var->getDeviceId(); }
    bool setStrValue(const char* text, bool flag) override {
        return m_var->setStrValue(text, flag);
    }
    const char* getStrValue() override { return m_var->getStrValue(); }
    int64_t postedMs() const { return m_postedMs; }

private:
    const std::shared_ptr<kro::IDvcVariable> m_var;
    const int64_t m_postedMs;
};

} // namespace

std::shared_ptr<kro::IDvcVariable> stampPosting(std::shared_ptr<kro::IDvcVariable> var,
                                                int64_t postedMs) {
    if (!var)
        return var;
    return std::make_shared<StampedVariable>(std::move(var), postedMs);
}

int64_t postingStamp(kro::IDvcVariable& var) {
    const auto* stamped = dynamic_cast<const StampedVariable*>(&var);
    return stamped ? stamped->postedMs() : 0;
}

void publishVariable(kro::IDvcVariable& var, const PubCommandBuilder& build,
                     const PublishLimits& limits) {
    if (var.getAddrType() != "PubVariable")
        return;
    const std::string topic = var.getAddr();
    if (refusedAddress(topic))
        return;
    const char* text = var.getStrValue();
    const std::string value = text ? text : "";

    setPubState(101);
    const PubCommand cmd = build(topic, value, postingStamp(var));
    // A NUL would end the command line there: the publisher would run with
    // a shortened credential or without its message.
    if (cmd.line.find('\0') != std::string::npos) {
        printLine("[kro error]publish failed: a setting holds a NUL character: " +
                  printable(topic) + "\n");
        setPubState(0);
        return;
    }
    ProcessOptions options;
    if (!cmd.input.empty())
        options.input = &cmd.input;
    options.limit = limits.timeout;
    if (limits.stop) {
        options.stopRequested = [stop = limits.stop] { return stop->requested(); };
        // A publication about to end is let finish; a hung one is not waited
        // for: the driver's destructor must return soon.
        options.stopGrace = kStopGrace;
    }
    int exitCode = -1;
    const ProcessEnd end = runProcess(cmd.line.c_str(), options, &exitCode);
    std::string report;
    if (cmd.print)
        report += printable(cmd.shown) + "\n";
    const std::string shownTopic = printable(topic);
    switch (end) {
    case ProcessEnd::Exited:
        if (exitCode != 0)
            report += "[kro error]publish failed with exit code " + std::to_string(exitCode) +
                      ": " + shownTopic + "\n";
        break;
    case ProcessEnd::TimedOut:
        report += "[kro error]publish timed out after " + std::to_string(limits.timeout.count()) +
                  " s: " + shownTopic + "\n";
        break;
    case ProcessEnd::Stopped:
        report += "[kro error]publish ended by the driver's stop: " + shownTopic + "\n";
        break;
    case ProcessEnd::NotStarted:
        // The system's reason is on standard error already.
        report +=
            "[kro error]publish failed: the publisher could not be started: " + shownTopic + "\n";
        break;
    }
    printLine(report);
    setPubState(0);
}

void publishQueued(kro::UARTDriverBase& driver, const PubCommandBuilder& build,
                   const StopSignal& stop, std::chrono::seconds timeout) {
    std::deque<std::shared_ptr<kro::IDvcVariable>> batch;
    {
        std::lock_guard<std::mutex> lock(driver.m_postMutex);
        while (!driver.m_postQueue.empty()) {
            batch.push_back(std::move(driver.m_postQueue.front()));
            driver.m_postQueue.pop();
        }
    }
    while (!batch.empty()) {
        if (stop.requested()) {
            std::lock_guard<std::mutex> lock(driver.m_postMutex);
            while (!driver.m_postQueue.empty()) {
                batch.push_back(std::move(driver.m_postQueue.front()));
                driver.m_postQueue.pop();
            }
            for (auto& var : batch)
                driver.m_postQueue.push(std::move(var));
            return;
        }
        std::shared_ptr<kro::IDvcVariable> var = std::move(batch.front());
        batch.pop_front();
        if (var)
            publishVariable(*var, build, PublishLimits{timeout, &stop});
    }
}

void runPublishLoop(kro::UARTDriverBase& driver, StopSignal& stop, const PubCommandBuilder& build,
                    std::chrono::seconds timeout, const std::function<void()>& tick) {
    while (!stop.waitFor(kPublishPoll)) {
        if (tick)
            tick();
        publishQueued(driver, build, stop, timeout);
    }
}
