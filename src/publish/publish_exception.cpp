#include "publish/publish_exception.h"

#include <charconv>
#include <cmath>

#include "drivers/driver_settings.h"
#include "kro/Util.h"
#include "publish/publish_format.h"
#include "text/lines.h"

namespace {

// A JSON number's value; from_chars, since the host may have set a locale
// with a decimal comma.
double numberOf(std::string_view text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

constexpr std::chrono::seconds kWriteEvery{1};

} // namespace

ExceptionSettings readExceptionSettings(const std::string& settings) {
    using kro::util::Util;
    ExceptionSettings s;
    const std::string deadband = Util::getValFromJsonc(settings, "PubDeadband");
    if (!deadband.empty()) {
        if (isJsonNumber(deadband) && numberOf(deadband) >= 0)
            s.deadband = numberOf(deadband);
        else
            printLine("[kro error]PubDeadband must be a number from 0, not \"" +
                      printable(deadband) + "\"; every posted value is published\n");
    }
    const std::string heartbeat = Util::getValFromJsonc(settings, "PubHeartbeat");
    if (!heartbeat.empty()) {
        // Beyond a few years a heartbeat is none; the bound keeps time
        // arithmetic from overflowing.
        if (isWholeNumber(heartbeat) && std::stoul(heartbeat) >= 1)
            s.heartbeat = std::chrono::seconds(std::stoul(heartbeat));
        else
            printLine("[kro error]PubHeartbeat must be a whole number of seconds from 1, not \"" +
                      printable(heartbeat) + "\"; no heartbeat\n");
    }
    return s;
}

ReportByException::ReportByException(ExceptionSettings settings, std::string suffix)
    : m_settings(settings), m_suffix(std::move(suffix)) {}

bool ReportByException::changed(const std::string& published, const std::string& value) const {
    if (!m_settings.deadband)
        return true;
    std::string_view a = published, b = value;
    auto cut = [this](std::string_view& text) {
        const bool has = !m_suffix.empty() && text.size() >= m_suffix.size() &&
                         text.substr(text.size() - m_suffix.size()) == m_suffix;
        if (has)
            text.remove_suffix(m_suffix.size());
        return has;
    };
    if (cut(a) != cut(b))
        return true;
    if (isJsonNumber(a) && isJsonNumber(b))
        return std::fabs(numberOf(a) - numberOf(b)) > *m_settings.deadband;
    return a != b;
}

bool ReportByException::offer(const std::string& key, const std::string& value,
                              Clock::time_point now, std::shared_ptr<kro::IDvcVariable> var) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto [it, first] = m_entries.try_emplace(key);
    Entry& entry = it->second;
    entry.latest = value;
    if (var)
        entry.var = std::move(var);
    if (!first && !changed(entry.published, value)) {
        ++m_skipped;
        return false;
    }
    entry.published = value;
    entry.publishedAt = now;
    if (first && m_settings.heartbeat.count() > 0)
        m_nextDue = std::min(m_nextDue, now + m_settings.heartbeat);
    return true;
}

std::vector<ReportByException::Due> ReportByException::due(Clock::time_point now) {
    std::vector<Due> due;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settings.heartbeat.count() == 0 || now < m_nextDue)
        return due;
    m_nextDue = Clock::time_point::max();
    for (auto& [key, entry] : m_entries) {
        if (now - entry.publishedAt >= m_settings.heartbeat) {
            due.push_back({key, entry.latest, entry.var});
            entry.published = entry.latest;
            entry.publishedAt = now;
        }
        m_nextDue = std::min(m_nextDue, entry.publishedAt + m_settings.heartbeat);
    }
    return due;
}

uint64_t ReportByException::skipped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_skipped;
}

size_t ReportByException::variables() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

std::optional<uint64_t> ReportByException::skippedToWrite(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_written == m_skipped || (m_written && now - m_writtenAt < kWriteEvery))
        return std::nullopt;
    m_written = m_skipped;
    m_writtenAt = now;
    return m_skipped;
}
