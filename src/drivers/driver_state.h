#pragma once

// What a driver's threads write to the host's runtime variables, and the stop
// request they all watch. Below every other unit of the plug-in's sides: the
// publish side writes "pubstate" and the broker in use too.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

// A driver's stop request. Its threads sleep through waitFor(), which a
// request cuts short, so a stopping driver never waits out a whole pause.
class StopSignal {
public:
    void request();
    bool requested() const { return m_requested.load(); }
    // Sleeps up to `timeout`; true as soon as a stop has been requested.
    bool waitFor(std::chrono::milliseconds timeout);
    // Also called by request(), for a thread that sleeps on a wait of its
    // own; empty to remove it.
    void setWake(std::function<void()> wake);

private:
    std::atomic<bool> m_requested{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::function<void()> m_wake;
};

// Writes "pubstate".
void setPubState(int value);

// A driver with several brokers shows the one its latest connection (of
// either side) went to: "<prefix>broker" holds "HOST:PORT", and a line tells
// each change.
void noteBrokerInUse(const std::string& varPrefix, const std::string& broker);
