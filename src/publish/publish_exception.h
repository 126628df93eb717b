#pragma once

// Report by exception ("PubDeadband", "PubHeartbeat"): decides per variable
// whether a posted value is published, and which quiet variables are due to
// be published again. Sits between a driver's post and its publish path; it
// keeps the latest posted value of each variable, nothing else.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kro/kro.h"

struct ExceptionSettings {
    // Unset: every posted value is published.
    std::optional<double> deadband;
    // Zero: no heartbeat.
    std::chrono::seconds heartbeat{0};
    bool any() const { return deadband || heartbeat.count() > 0; }
};

// The two keys; a refused one is reported on standard output and not used.
ExceptionSettings readExceptionSettings(const std::string& settings);

class ReportByException {
public:
    using Clock = std::chrono::steady_clock;

    // `suffix` (" --retain" for the Common driver, else empty) is not part of
    // the value compared: "21.5 --retain" is the number 21.5, and a value
    // gaining or losing the suffix has changed.
    explicit ReportByException(ExceptionSettings settings, std::string suffix = {});

    // A value posted for the variable `key` at `now`: true when it is to be
    // published (the first of its variable, or changed beyond the deadband
    // from the last one published), false when it is held back and counted.
    // `var` is kept with the latest value for the heartbeat. Any thread.
    bool offer(const std::string& key, const std::string& value, Clock::time_point now,
               std::shared_ptr<kro::IDvcVariable> var = nullptr);

    struct Due {
        std::string key;
        std::string value;
        std::shared_ptr<kro::IDvcVariable> var;
    };
    // The variables not published for a heartbeat until `now`, each with its
    // latest posted value, counted as published at `now`. Any thread.
    std::vector<Due> due(Clock::time_point now);

    // Values held back so far; variables known.
    uint64_t skipped() const;
    size_t variables() const;
    // The count to write to "pubskipped": when it differs from the last one
    // written and a second has passed since that write (the first at once).
    std::optional<uint64_t> skippedToWrite(Clock::time_point now);

    // Whether `value` differs from `published` by the rule (exposed for
    // tests): both JSON numbers by more than the deadband, else in any byte.
    bool changed(const std::string& published, const std::string& value) const;

private:
    struct Entry {
        std::string published;
        std::string latest;
        std::shared_ptr<kro::IDvcVariable> var;
        Clock::time_point publishedAt;
    };

    const ExceptionSettings m_settings;
    const std::string m_suffix;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
    // No variable is due before this (a lower bound: due() scans only then).
    Clock::time_point m_nextDue = Clock::time_point::max();
    uint64_t m_skipped = 0;
    std::optional<uint64_t> m_written;
    Clock::time_point m_writtenAt{};
};

// The unit for a driver's settings; null when neither key is used.
// `retainSuffix`: the Common driver's " --retain" stays out of comparisons.
std::unique_ptr<ReportByException> makeReportByException(const std::string& settings,
                                                         bool retainSuffix);

class PubFormat;
class PublishSession;

// postToDriver (publish_session.h) with report by exception: a "PubVariable"
// value held back by `exception` goes neither to the session nor to the
// queue. Each variable is known by its device, name and address.
bool postToDriver(kro::UARTDriverBase& driver, PublishSession* session,
                  std::shared_ptr<kro::IDvcVariable> var, bool retainSuffix,
                  const PubFormat* format, ReportByException* exception);

// The publish thread's part (the session's tick, or the process loop's poll):
// each due variable is posted again now, and "<counter>" written when due.
// With a session the value is its latest posted text, rendered with the time
// of the heartbeat; without, the variable is queued as the host posts it.
std::function<void()> exceptionTick(kro::UARTDriverBase& driver, PublishSession* session,
                                    ReportByException& exception, bool retainSuffix,
                                    const PubFormat* format, std::string counter);
