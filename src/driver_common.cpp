#include "driver_common.h"

#include <cstdio>
#include <deque>
#include <memory>

#include "kro/Util.h"
#include "platform/cmdline.h"
#include "platform/process.h"

std::vector<std::string> splitWithQuotes(const std::string& input, bool keep_quotes) {
    std::vector<std::string> tokens;
    std::string current;
    bool inQuotes = false;
    for (char c : input) {
        if (c == '"') {
            inQuotes = !inQuotes;
            if (keep_quotes)
                current += c;
        } else if (c == ' ' && !inQuotes) {
            if (!current.empty()) {
                tokens.push_back(current);
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty())
        tokens.push_back(current);
    return tokens;
}

void CHECKFILE(std::string filepath) {
    if (!kro::util::FileUtil::fileExists(filepath)) {
        std::printf("[kro error]can't find file: %s\n", filepath.c_str());
        std::fflush(stdout);
    }
}

std::string escapeString(const std::string& input) {
    return escapeArgument(input);
}

void StopSignal::request() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requested = true;
    }
    m_cv.notify_all();
}

bool StopSignal::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_requested.load(); });
}

namespace {

void setPubState(int value) {
    kro::getRuntime()->getVarManager()->setIntVar("pubstate", value, 0);
}

// One write per report so that lines of several drivers never interleave.
void printOut(const std::string& text) {
    if (text.empty())
        return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

void publishVariable(kro::IDvcVariable& var, const PubCommandBuilder& build) {
    if (var.getAddrType() != "PubVariable")
        return;
    const std::string topic = var.getAddr();
    const char* text = var.getStrValue();
    const std::string value = text ? text : "";

    setPubState(101);
    const PubCommand cmd = build(topic, value);
    int exitCode = -1;
    const bool ran = !execoo(cmd.line.c_str(), &exitCode).empty();
    std::string report;
    if (cmd.print)
        report += cmd.shown + "\n";
    // A start failure has already been reported by execoo.
    if (ran && exitCode != 0)
        report += "[kro error]publish failed with exit code " + std::to_string(exitCode) + ": " +
                  topic + "\n";
    printOut(report);
    setPubState(0);
}

void publishQueued(kro::UARTDriverBase& driver, const PubCommandBuilder& build,
                   const StopSignal& stop) {
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
            publishVariable(*var, build);
    }
}

void runPublishLoop(kro::UARTDriverBase& driver, StopSignal& stop, const PubCommandBuilder& build) {
    while (!stop.waitFor(kPublishPoll))
        publishQueued(driver, build, stop);
}
