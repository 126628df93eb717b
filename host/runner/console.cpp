#include "console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "eventlog.h"

namespace kro::runner {

const char* const kConsoleHelp =
    "Commands (a VALUE in double quotes may hold blanks; \\\" and \\\\ inside stand for \" and "
    "\\):\n"
    "  post DEVICE.VAR VALUE   set the variable to VALUE and post it to its device's driver;\n"
    "                          an unquoted VALUE is everything after the one blank that follows\n"
    "                          the name\n"
    "  set NAME VALUE          set a runtime variable to a text (VALUE as for post)\n"
    "  setint NAME NUMBER      set a runtime variable to a whole number\n"
    "  unset NAME              remove a runtime variable\n"
    "  show                    table of all variables and runtime variables\n"
    "  wait SECONDS            pause the console (scripts)\n"
    "  waitfor NAME VALUE [SECONDS]\n"
    "                          wait until a variable (DEVICE.VAR) or runtime variable has\n"
    "                          VALUE (default 30 s); a time-out ends the run with exit code 1\n"
    "  echo TEXT               print TEXT\n"
    "  help                    this list\n"
    "  quit                    destroy the drivers and exit\n"
    "SECONDS: a number from 0 to 31536000 (one year).\n";

bool parseSeconds(const std::string& text, double& seconds) {
    if (text.empty() || text.find_first_of(" \t\r\n") != std::string::npos)
        return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end || !std::isfinite(v) || v < 0 || v > kMaxSeconds)
        return false;
    seconds = v;
    return true;
}

// The words of one console line. A word in double quotes may hold blanks;
// inside the quotes \" and \\ stand for " and \, any other backslash is itself.
class Words {
public:
    explicit Words(const std::string& line) : m_s(line) {}

    bool atEnd() {
        skipBlanks();
        return m_at >= m_s.size();
    }

    // The next word; false at the end of the line or on a broken quote
    // (then error() says what is wrong).
    bool next(std::string& word) {
        if (atEnd())
            return false;
        if (m_s[m_at] == '"')
            return quotedWord(word);
        const std::size_t begin = m_at;
        while (m_at < m_s.size() && !blank(m_s[m_at]))
            ++m_at;
        word = m_s.substr(begin, m_at - begin);
        return true;
    }

    // The last argument of a line: a quoted word, or else everything after
    // the one blank that follows the previous word, exactly as written.
    bool value(std::string& out) {
        const std::size_t separator = m_at;
        if (!atEnd() && m_s[m_at] == '"')
            return quotedWord(out) && (atEnd() || failWith("text after the closing quote"));
        m_at = separator + (separator < m_s.size() ? 1 : 0);
        out = m_s.substr(m_at);
        m_at = m_s.size();
        return true;
    }

    const std::string& error() const { return m_error; }

private:
    static bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

    void skipBlanks() {
        while (m_at < m_s.size() && blank(m_s[m_at]))
            ++m_at;
    }

    bool failWith(const std::string& what) {
        m_error = what;
        return false;
    }

    bool quotedWord(std::string& word) {
        word.clear();
        for (++m_at; m_at < m_s.size(); ++m_at) {
            const char c = m_s[m_at];
            if (c == '"') {
                ++m_at;
                if (m_at < m_s.size() && !blank(m_s[m_at]))
                    return failWith("text right after a closing quote");
                return true;
            }
            if (c == '\\' && m_at + 1 < m_s.size() &&
                (m_s[m_at + 1] == '"' || m_s[m_at + 1] == '\\'))
                ++m_at;
            word += m_s[m_at];
        }
        return failWith("a double quote is not closed");
    }

    const std::string& m_s;
    std::size_t m_at = 0;
    std::string m_error;
};

namespace {

std::string secondsText(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

} // namespace

bool Console::fail(const std::string& what) {
    eventlog::print(m_where + escapeControls(what));
    if (!m_stopOnError)
        return true;
    m_failed = true;
    return false;
}

bool Console::execute(const std::string& line, const std::string& where) {
    m_where = where;
    Words words(line);
    std::string cmd;
    if (!words.next(cmd)) {
        if (!words.error().empty())
            return fail(words.error()) && !m_stopped();
        return !m_stopped();
    }
    if (cmd[0] == '#')
        return !m_stopped();
    bool go = true;
    if (cmd == "quit" || cmd == "exit") {
        return false;
    } else if (cmd == "help") {
        eventlog::print(kConsoleHelp);
    } else if (cmd == "echo") {
        std::string text = line.substr(line.find(cmd) + cmd.size());
        text.erase(0, text.find_first_not_of(" \t"));
        text.erase(text.find_last_not_of(" \t\r") + 1);
        eventlog::print(escapeControls(text));
    } else if (cmd == "post") {
        go = post(words);
    } else if (cmd == "set") {
        go = setText(words);
    } else if (cmd == "setint") {
        go = setInt(words);
    } else if (cmd == "unset") {
        go = unset(words);
    } else if (cmd == "show") {
        show();
    } else if (cmd == "wait") {
        go = wait(words);
    } else if (cmd == "waitfor") {
        go = waitFor(words);
    } else {
        go = fail("unknown command \"" + cmd + "\"; type help");
    }
    return go && !m_stopped();
}

std::shared_ptr<kro::host::DvcVariable> Console::find(const std::string& qualified) {
    auto dot = qualified.find('.');
    if (dot == std::string::npos)
        return nullptr;
    kro::host::Device* dev = m_dm.device(qualified.substr(0, dot));
    return dev ? dev->variable(qualified.substr(dot + 1)) : nullptr;
}

bool Console::post(Words& words) {
    std::string name, value;
    if (!words.next(name))
        return fail(words.error().empty() ? "usage: post DEVICE.VAR VALUE"
                                          : "post: " + words.error());
    if (!words.value(value))
        return fail("post: " + words.error());
    auto var = find(name);
    if (!var)
        return fail("post: no variable \"" + name + "\" (use DEVICE.VAR; see show)");
    const std::string device = name.substr(0, name.find('.'));
    var->setStrValue(value.c_str(), true);
    int posted = 0;
    for (auto& d : m_drivers) {
        if (d.device == device) {
            d.driver->postData(var);
            ++posted;
        }
    }
    if (posted == 0)
        eventlog::print(
            escapeControls("no driver serves device \"" + device + "\"; nothing posted"));
    return true;
}

bool Console::setText(Words& words) {
    std::string name, value;
    if (!words.next(name))
        return fail(words.error().empty() ? "usage: set NAME VALUE" : "set: " + words.error());
    if (!words.value(value))
        return fail("set: " + words.error());
    kro::host::runtime().vars().setStrVar(name, value, 0);
    return true;
}

bool Console::setInt(Words& words) {
    std::string name, number;
    if (!words.next(name) || !words.next(number) || !words.atEnd())
        return fail("usage: setint NAME NUMBER");
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(number.c_str(), &end, 10);
    if (*end || number.empty() || errno == ERANGE || n < std::numeric_limits<int>::min() ||
        n > std::numeric_limits<int>::max())
        return fail("setint: NUMBER must be a whole number from -2147483648 to 2147483647, not \"" +
                    number + "\"");
    kro::host::runtime().vars().setIntVar(name, static_cast<int>(n), 0);
    return true;
}

bool Console::unset(Words& words) {
    std::string name, ignored;
    if (!words.next(name) || !words.atEnd())
        return fail("usage: unset NAME");
    if (!kro::host::runtime().vars().getStrVar(name, ignored, 0)) {
        eventlog::print(escapeControls("unset: there is no runtime variable " + name));
        return true;
    }
    kro::host::runtime().vars().erase(name);
    eventlog::print(escapeControls("removed runtime variable " + name));
    return true;
}

bool Console::pause(double seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    for (;;) {
        if (m_stopped())
            return false;
        if ((done && done()) || std::chrono::steady_clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Console::wait(Words& words) {
    std::string text;
    double seconds = 0;
    if (!words.next(text) || !words.atEnd())
        return fail("usage: wait SECONDS");
    if (!parseSeconds(text, seconds))
        return fail("wait: SECONDS must be a number from 0 to 31536000 (one year), not \"" + text +
                    "\"");
    return pause(seconds, nullptr);
}

bool Console::current(const std::string& name, std::string& out) {
    if (auto var = find(name)) {
        out = var->value();
        return true;
    }
    return kro::host::runtime().vars().getStrVar(name, out, 0);
}

bool Console::waitFor(Words& words) {
    std::string name, value, text;
    double seconds = 30;
    if (!words.next(name) || !words.next(value))
        return fail(words.error().empty() ? "usage: waitfor NAME VALUE [SECONDS]"
                                          : "waitfor: " + words.error());
    if (words.next(text) && !parseSeconds(text, seconds))
        return fail("waitfor: SECONDS must be a number from 0 to 31536000 (one year), not \"" +
                    text + "\" (a VALUE with blanks goes in double quotes)");
    if (!words.error().empty() || !words.atEnd())
        return fail("waitfor: " + (words.error().empty() ? "too many words (a VALUE with blanks "
                                                           "goes in double quotes)"
                                                         : words.error()));
    std::string now;
    bool matched = false;
    const std::string awaited = "waitfor " + escapeControls(name) + " = " + quoted(value);
    if (!pause(seconds, [&] { return matched = current(name, now) && now == value; }))
        return false;
    if (matched) {
        eventlog::print(awaited + ": done");
        return true;
    }
    const bool set = current(name, now);
    eventlog::print(m_where + awaited + ": timed out after " + secondsText(seconds) + " s; " +
                    escapeControls(name) + (set ? " is " + quoted(now) : " is not set"));
    m_failed = true;
    return false;
}

void Console::show() {
    struct Row {
        std::string name, type, addr;
        int size;
        std::string value;
    };
    std::vector<Row> rows;
    std::size_t nameWidth = 24, addrWidth = 20;
    for (auto* dev : m_dm.devices()) {
        for (auto& v : dev->variables()) {
            rows.push_back({escapeControls(dev->getId() + "." + v->getName()), v->getAddrType(),
                            escapeControls(v->getAddr()), v->getSize(), quoted(v->value())});
            nameWidth = std::max(nameWidth, rows.back().name.size());
            addrWidth = std::max(addrWidth, rows.back().addr.size());
        }
    }
    auto& vars = kro::host::runtime().vars();
    std::vector<std::pair<std::string, std::string>> runtime;
    for (auto& [name, value] : vars.snapshot()) {
        int ignored;
        runtime.emplace_back(escapeControls(name),
                             vars.getIntVar(name, ignored) ? value : quoted(value));
        nameWidth = std::max(nameWidth, runtime.back().first.size());
    }
    auto pad = [](std::string s, std::size_t width) { return s.append(width - s.size(), ' '); };
    std::ostringstream out;
    out << pad("VARIABLE", nameWidth) << " " << pad("TYPE", 12) << " " << pad("ADDRESS", addrWidth)
        << "  SIZE  VALUE\n";
    for (auto& r : rows) {
        char size[16];
        std::snprintf(size, sizeof size, "%6d", r.size);
        out << pad(r.name, nameWidth) << " " << pad(r.type, 12) << " " << pad(r.addr, addrWidth)
            << size << "  " << r.value << "\n";
    }
    out << pad("RUNTIME VARIABLE", nameWidth) << " VALUE\n";
    for (auto& [name, value] : runtime)
        out << pad(name, nameWidth) << " " << value << "\n";
    eventlog::print(out.str());
}

} // namespace kro::runner
