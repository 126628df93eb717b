#pragma once
// Helpers for the client configuration tests: writable argument vectors, a
// record that cleans up after itself, and parsing with standard error captured.

#include <cstring>
#include <string>
#include <vector>

#include "client/client_shared.h"
#include "support/capture.h"

namespace kro::test {

// A writable argv whose entry 0 is a program name, as the clients receive it.
class Args {
public:
    Args(std::initializer_list<std::string> args) : Args(std::vector<std::string>(args)) {}
    explicit Args(const std::vector<std::string>& args) {
        m_storage.push_back(text("prog"));
        for (const std::string& a : args)
            m_storage.push_back(text(a));
        for (std::vector<char>& s : m_storage)
            m_argv.push_back(s.data());
        m_argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_storage.size()); }
    char** argv() { return m_argv.data(); }

private:
    static std::vector<char> text(const std::string& s) {
        std::vector<char> v(s.begin(), s.end());
        v.push_back('\0');
        return v;
    }
    std::vector<std::vector<char>> m_storage;
    std::vector<char*> m_argv;
};

// A record initialised for one client kind and released at the end of scope.
struct Record {
    explicit Record(int kind) { init_config(&c, kind); }
    ~Record() { client_config_cleanup(&c); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    mosq_config c;
};

struct Outcome {
    int rc;
    std::string err;
};

// client_config_line_proc over `args` with standard error captured.
inline Outcome parse(mosq_config& c, int kind, const std::vector<std::string>& args) {
    Args a(args);
    Capture err(Capture::Stream::Err);
    int rc = client_config_line_proc(&c, kind, a.argc(), a.argv());
    return {rc, err.take()};
}

// client_config_load over `args` with standard error captured.
inline Outcome load(mosq_config& c, int kind, const std::vector<std::string>& args) {
    Args a(args);
    Capture err(Capture::Stream::Err);
    int rc = client_config_load(&c, kind, a.argc(), a.argv());
    return {rc, err.take()};
}

// A short printable form of an argument list, for test names and failures.
// Test names pass through CMake, which must not see backslashes, semicolons,
// brackets, quotes or dollar signs.
inline std::string joined(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) {
        if (!out.empty())
            out += ' ';
        for (unsigned char ch : a.substr(0, 40)) {
            if (ch == '\\')
                out += "BS";
            else if (ch < 0x20 || ch >= 0x7f || std::strchr(";[]{}\"$", ch))
                out += '?';
            else
                out += static_cast<char>(ch);
        }
        if (a.size() > 40)
            out += "...";
    }
    return out.empty() ? "(none)" : out;
}

inline std::string str(const char* s) {
    return s ? s : "<null>";
}

inline std::vector<std::string> list(char** items, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; i++)
        out.push_back(items[i]);
    return out;
}

} // namespace kro::test
