#pragma once

// The process path of the publish side: one run of the publisher program per
// posted value, its command line built by the driver.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "drivers/driver_state.h"
#include "kro/kro.h"

// A value escaped to stand between double quotes on the publisher's command
// line, so that the publisher gets back exactly its bytes as one argument.
// Tabs and line feeds stay as they are.
std::string escapeString(const std::string& input);

// True, after a line saying so, for a "PubVariable" address that holds a NUL:
// it would reach the broker shortened, so it is not published.
bool refusedAddress(const std::string& address);

// One run of the publisher program.
struct PubCommand {
    std::string line;  // what is started
    std::string shown; // what is printed for it: the line with the password hidden
    bool print = true; // whether `shown` is printed after the run
    std::string input; // the message, when it goes on standard input (-s)
};

// Where the message option stands in a PubCommand's two texts.
struct MessageSpot {
    size_t line = 0, shown = 0, length = 0;
};

// Appends the message option (" -m", then the value quoted and escaped) to
// both texts of `cmd`.
MessageSpot appendMessage(PubCommand& cmd, const std::string& message);

// A command line too long for the system gets " -s" in place of the message
// option, and the message goes to the publisher's standard input instead; the
// shown line says so, without the message. A line that fits is left alone.
void fitCommandLine(PubCommand& cmd, const MessageSpot& spot, const std::string& message);

// Builds the publisher run for a variable's topic and value (the value as the
// variable holds it) and its posting time (milliseconds since 1970; 0 when it
// was not stamped). Each driver passes its own.
using PubCommandBuilder =
    std::function<PubCommand(const std::string& topic, const std::string& value, int64_t postedMs)>;

// The variable as the host posted it, stamped with the posting time: process
// mode reads the value when it publishes, the time it must keep from the post.
std::shared_ptr<kro::IDvcVariable> stampPosting(std::shared_ptr<kro::IDvcVariable> var,
                                                int64_t postedMs);
// The stamp of a variable stampPosting() made; 0 for any other.
int64_t postingStamp(kro::IDvcVariable& var);

// How often a publish loop looks at the queue of posted variables.
constexpr std::chrono::milliseconds kPublishPoll{30};

// How long one publication may take (zero: no limit), and the stop that cuts
// it short.
struct PublishLimits {
    std::chrono::seconds timeout{0};
    const StopSignal* stop = nullptr;
};

// Publishes one posted variable when its address type is "PubVariable" (any
// other is dropped without a trace): "pubstate" 101, build, run the publisher
// to its end (terminated at the time-out or the stop), print, report a
// non-zero exit code, a time-out or a stop, "pubstate" 0.
void publishVariable(kro::IDvcVariable& var, const PubCommandBuilder& build,
                     const PublishLimits& limits = {});

// Takes everything queued on the driver (holding m_postMutex only while moving
// it out) and publishes it in posting order, each within `timeout`. When a
// stop is requested, the running publication is terminated and the variables
// not yet published go back to the front of the queue, so nothing posted is
// silently lost.
void publishQueued(kro::UARTDriverBase& driver, const PubCommandBuilder& build,
                   const StopSignal& stop, std::chrono::seconds timeout = {});

// A publish thread's body: every poll period `tick` (when set), then
// publishQueued(), until a stop is requested. Without a request it never ends.
void runPublishLoop(kro::UARTDriverBase& driver, StopSignal& stop, const PubCommandBuilder& build,
                    std::chrono::seconds timeout = {}, const std::function<void()>& tick = {});
