#include "support/capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace kro::test {

Capture::Capture(Stream stream) : m_fd(static_cast<int>(stream)) {
    char path[] = "/tmp/kro_capture_XXXXXX";
    int tmp = mkstemp(path);
    if (tmp < 0)
        throw std::runtime_error("mkstemp failed");
    m_path = path;
    std::fflush(m_fd == 1 ? stdout : stderr);
    m_saved = dup(m_fd);
    dup2(tmp, m_fd);
    close(tmp);
}

std::string Capture::take() {
    if (m_done)
        return {};
    m_done = true;
    std::fflush(m_fd == 1 ? stdout : stderr);
    dup2(m_saved, m_fd);
    close(m_saved);
    std::ifstream in(m_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(m_path.c_str());
    return ss.str();
}

std::string Capture::peek() const {
    std::ifstream in(m_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Capture::~Capture() {
    take();
}

} // namespace kro::test
