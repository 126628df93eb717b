#pragma once

#include <string>

namespace kro::test {

// Captures everything written to standard output or standard error (by this
// process and by threads in it) between construction and take().
class Capture {
public:
    enum class Stream { Out = 1, Err = 2 };
    explicit Capture(Stream stream);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Stops capturing and returns what was written.
    std::string take();
    // What has been written so far; capturing goes on.
    std::string peek() const;

private:
    int m_fd;
    int m_saved = -1;
    std::string m_path;
    bool m_done = false;
};

// Captures both streams at once.
struct CaptureBoth {
    Capture out{Capture::Stream::Out};
    Capture err{Capture::Stream::Err};
};

} // namespace kro::test
