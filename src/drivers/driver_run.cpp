#include "drivers/driver_run.h"

#include <cstdio>

#include "client/sub_client.h"
#include "drivers/driver_settings.h"
#include "kro/Util.h"
#include "platform/cmdline.h"
#include "receive/topic_tree.h"
#include "text/lines.h"
#include "text/split.h"

DriverRun::Scope::Scope(DriverRun& run) : m_run(run) {
    std::lock_guard<std::mutex> lock(m_run.m_mutex);
    ++m_run.m_running;
}

DriverRun::Scope::~Scope() {
    // Notified under the lock: once it is released the destructor may free
    // the driver, this object included.
    std::lock_guard<std::mutex> lock(m_run.m_mutex);
    --m_run.m_running;
    m_run.m_left.notify_all();
}

void DriverRun::setSubscriberThread(std::thread::id id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscriber = id;
}

void DriverRun::stopAndWait(const std::function<void(std::thread::id)>& endSubscriber,
                            std::chrono::milliseconds poll, std::chrono::milliseconds reportAfter) {
    m_stop.request();
    const auto reportAt = std::chrono::steady_clock::now() + reportAfter;
    bool reported = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running > 0) {
        const std::thread::id subscriber = m_subscriber;
        if (subscriber != std::thread::id()) {
            lock.unlock();
            endSubscriber(subscriber);
            lock.lock();
        }
        if (m_left.wait_for(lock, poll, [this] { return m_running == 0; }))
            break;
        if (!reported && std::chrono::steady_clock::now() >= reportAt) {
            reported = true;
            std::fprintf(stderr,
                         "[kro error]driver threads have not ended after %lld ms; still "
                         "waiting\n",
                         static_cast<long long>(reportAfter.count()));
            std::fflush(stderr);
        }
    }
}

void endSubscriberRun(std::thread::id thread) {
    sub_client_stop_thread(thread);
}

WritableArgs::WritableArgs(const std::vector<std::string>& args) {
    m_storage.reserve(args.size());
    m_argv.reserve(args.size() + 1);
    for (const std::string& arg : args) {
        m_storage.emplace_back(arg.begin(), arg.end());
        m_storage.back().push_back('\0');
        m_argv.push_back(m_storage.back().data());
    }
    m_argv.push_back(nullptr);
}

std::string optionWithNul(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i].find('\0') == std::string::npos)
            continue;
        const bool value = i > 1 && args[i - 1].size() > 1 && args[i - 1][0] == '-';
        return value ? args[i - 1] : args[i];
    }
    return "";
}

bool subscribableFilter(const std::string& filter) {
    return !matchedFilter(filter).empty();
}

SubscriberResult runSubscriber(const std::vector<std::string>& args, void* pdev,
                               size_t perRequest) {
    const std::string nul = optionWithNul(args);
    if (!nul.empty()) {
        printLine("[kro error]mqtt subscribe not started: the value of " + printable(nul) +
                  " holds a NUL character\n");
        return SubscriberResult{1, false};
    }
    WritableArgs argv(args);
    sub_run_info info;
    SubscriberResult result;
    result.code = sub_client_run(argv.argc(), argv.argv(), pdev, &info, perRequest);
    result.denied = info.denied;
    return result;
}

size_t readSubPerRequest(const std::string& settings, size_t fallback) {
    const std::string text = kro::util::Util::getValFromJsonc(settings, "SubPerRequest");
    if (text.empty())
        return fallback;
    if (!isWholeNumber(text) || std::stoul(text) < 1) {
        printLine("[kro error]SubPerRequest must be a whole number of filters from 1, not \"" +
                  printable(text) + "\"; using " +
                  (fallback ? std::to_string(fallback) : std::string("no limit")) + "\n");
        return fallback;
    }
    return std::stoul(text);
}

std::vector<std::string> publisherExtraArgs(const std::string& setting) {
    std::string line = "p";
    for (const std::string& token : splitWithQuotes(setting, true))
        line += " " + token;
    std::vector<std::string> args = splitCommandLine(line);
    args.erase(args.begin());
    return args;
}

std::string deniedLine(const std::vector<std::string>& topics) {
    std::string line = "[kro error]mqtt subscription denied by the broker: ";
    for (size_t i = 0; i < topics.size(); ++i)
        line += (i ? "|" : "") + printable(topics[i]);
    return line + "\n";
}

namespace {

// The URL with the password of its user information as ****. -L takes the
// password from the first ":" of the authority to its first "@", so a
// password holding "/" or "@" is misread there; whatever was meant, the text
// from that ":" to the last "@" of the URL is hidden, which may hide a port
// or a piece of the topic too but never a piece of a password.
std::string hideUrlPassword(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t colon = url.find(':', start);
    const size_t at = url.rfind('@');
    if (colon == std::string::npos || at == std::string::npos || at < colon ||
        colon > url.find('/', start))
        return url;
    return url.substr(0, colon + 1) + "****" + url.substr(at);
}

} // namespace

std::vector<std::string> hideSecrets(std::vector<std::string> args) {
    // Judged by the argument before each one, whatever the parser takes that
    // for: an option's value that reads "-P" (a topic, say) may hide a little
    // too much, but never lets a password through.
    std::string previous;
    for (std::string& arg : args) {
        std::string given = arg;
        if (previous == "-P" || previous == "--pw")
            arg = "****";
        else if (previous == "-L" || previous == "--url")
            arg = hideUrlPassword(arg);
        previous = std::move(given);
    }
    return args;
}

std::string showArguments(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : hideSecrets(args))
        line += printable(arg) + ' ';
    line += '\n';
    return line;
}

std::string showCommandArguments(const std::string& text) {
    // Split as the program will split them, so that no quoting trick can
    // slip a password past: a dummy program path comes first.
    std::vector<std::string> args = splitCommandLine("p" + text);
    args.erase(args.begin());
    const std::vector<std::string> shown = hideSecrets(args);
    if (shown == args)
        return text;
    std::string out;
    for (const std::string& arg : shown)
        out += ' ' + quoteArgumentIfNeeded(arg);
    return out;
}

void DriverRun::runThreads(const std::function<void()>& subscription,
                           const std::function<void()>& publish) {
    std::thread sub(subscription);
    setSubscriberThread(sub.get_id());
    std::thread pub(publish);
    sub.join();
    setSubscriberThread(std::thread::id());
    pub.join();
}
