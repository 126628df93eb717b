// The publisher's message loaders: a file (-f) and standard input (-s), with
// the MQTT payload limit, empty input and read failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "client/client_shared.h"
#include "client/pub_shared.h"
#include "support/capture.h"
#include "support/subprocess.h"

namespace {

using kro::test::Capture;

const size_t kMax = PUB_MAX_PAYLOAD;

class PubInput : public ::testing::Test {
public:
    void SetUp() override {
        m_dir = kro::test::makeTempDir("kro_pub_input");
        init_config(&cfg, CLIENT_PUB);
    }
    void TearDown() override {
        client_config_cleanup(&cfg);
        kro::test::removeTree(m_dir);
    }
    std::string path(const std::string& name) const { return m_dir + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const {
        kro::test::writeFile(path(name), content);
        return path(name);
    }
    // A file of `size` bytes that takes no disk space.
    std::string sparse(const std::string& name, off_t size) const {
        int fd = open(path(name).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path(name);
    }
    std::string message() const { return std::string(cfg.message, cfg.msglen); }

    std::string m_dir;
};

// Puts a file (or anything open()able) on standard input for the scope.
class StdinFrom {
public:
    explicit StdinFrom(const std::string& source, int flags = O_RDONLY) {
        int fd = open(source.c_str(), flags);
        EXPECT_GE(fd, 0) << source;
        m_saved = dup(0);
        dup2(fd, 0);
        close(fd);
        std::clearerr(stdin);
    }
    ~StdinFrom() {
        dup2(m_saved, 0);
        close(m_saved);
        std::clearerr(stdin);
    }

private:
    int m_saved;
};

struct FileCase {
    const char* name;
    std::string content;
};
void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class LoadFile : public PubInput, public ::testing::WithParamInterface<FileCase> {};

TEST_P(LoadFile, LoadsEveryByte) {
    const std::string file = write("msg", GetParam().content);
    Capture err(Capture::Stream::Err);
    ASSERT_EQ(load_file(file.c_str()), 0);
    EXPECT_EQ(err.take(), "");
    EXPECT_EQ(cfg.pub_mode, MSGMODE_FILE);
    EXPECT_EQ(message(), GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadFile,
                         ::testing::Values(FileCase{"text", "hello world"},
                                           FileCase{"binary", std::string("a\0b\r\n\xff", 6)},
                                           FileCase{"larger_than_buffers", std::string(70000, 'z')},
                                           FileCase{"single_byte", "x"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PubInput, EmptyFileGivesZeroLengthMessage) {
    const std::string file = write("empty", "");
    ASSERT_EQ(load_file(file.c_str()), 0);
    EXPECT_EQ(cfg.pub_mode, MSGMODE_FILE);
    EXPECT_EQ(cfg.message, nullptr);
    EXPECT_EQ(cfg.msglen, 0);
}

struct FileFailCase {
    const char* name;
    std::string (*make)(PubInput&);
    std::string message; // %s stands for the path
};
void PrintTo(const FileFailCase& c, std::ostream* os) {
    *os << c.name;
}

class LoadFileFailure : public PubInput, public ::testing::WithParamInterface<FileFailCase> {};

TEST_P(LoadFileFailure, RefusesWithItsMessage) {
    const std::string file = GetParam().make(*this);
    if (file.rfind("/sys/", 0) == 0 && access(file.c_str(), R_OK) != 0)
        GTEST_SKIP() << file << " is not available here";
    std::string expected = GetParam().message;
    size_t at = expected.find("%s");
    if (at != std::string::npos)
        expected.replace(at, 2, file);
    for (bool quiet : {false, true}) {
        cfg.quiet = quiet;
        Capture err(Capture::Stream::Err);
        EXPECT_EQ(load_file(file.c_str()), 1);
        EXPECT_EQ(err.take(), quiet ? "" : expected);
        EXPECT_EQ(cfg.message, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadFileFailure,
    ::testing::Values(
        FileFailCase{"missing", [](PubInput& t) { return t.path("nope"); },
                     "Error: Unable to open file \"%s\".\n"},
        FileFailCase{"one_byte_too_long",
                     [](PubInput& t) { return t.sparse("big", static_cast<off_t>(kMax) + 1); },
                     "Error: File must be less than 268435455 bytes.\n\n"},
        // The size announced is larger than what can be read (sysfs files
        // claim a whole page): nothing half-read may go out, and the read
        // must end.
        FileFailCase{"shorter_than_announced",
                     [](PubInput&) { return std::string("/sys/devices/system/cpu/online"); },
                     "Error: Unable to read file \"%s\".\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PubInput, FileOfExactlyTheLimitIsLoaded) {
    const std::string file = sparse("max", static_cast<off_t>(kMax));
    ASSERT_EQ(load_file(file.c_str()), 0);
    EXPECT_EQ(static_cast<size_t>(cfg.msglen), kMax);
    ASSERT_NE(cfg.message, nullptr);
    EXPECT_EQ(cfg.message[0], 0);
    EXPECT_EQ(cfg.message[kMax - 1], 0);
}

class LoadStdin : public PubInput, public ::testing::WithParamInterface<FileCase> {};

TEST_P(LoadStdin, ReadsAllOfIt) {
    const std::string file = write("in", GetParam().content);
    StdinFrom in(file);
    Capture err(Capture::Stream::Err);
    ASSERT_EQ(load_stdin(), 0);
    EXPECT_EQ(err.take(), "");
    EXPECT_EQ(cfg.pub_mode, MSGMODE_STDIN_FILE);
    EXPECT_EQ(message(), GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadStdin,
                         ::testing::Values(FileCase{"text", "from stdin\n"},
                                           FileCase{"binary", std::string("\0\0x\0", 4)},
                                           FileCase{"exactly_one_chunk", std::string(1024, 'c')},
                                           FileCase{"many_chunks", std::string(100000, 'm')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PubInput, StdinReadAgainAfterAnEarlierEnd) {
    const std::string file = write("in", "again");
    StdinFrom in(file);
    ASSERT_EQ(load_stdin(), 0);
    client_config_cleanup(&cfg);
    init_config(&cfg, CLIENT_PUB);
    // The same descriptor, rewound: a second run must not see the old end.
    lseek(0, 0, SEEK_SET);
    ASSERT_EQ(load_stdin(), 0);
    EXPECT_EQ(message(), "again");
}

struct StdinFailCase {
    const char* name;
    std::string (*make)(PubInput&);
    std::string message;
};
void PrintTo(const StdinFailCase& c, std::ostream* os) {
    *os << c.name;
}

class LoadStdinFailure : public PubInput, public ::testing::WithParamInterface<StdinFailCase> {};

TEST_P(LoadStdinFailure, RefusesWithItsMessage) {
    const std::string source = GetParam().make(*this);
    StdinFrom in(source);
    Capture err(Capture::Stream::Err);
    EXPECT_EQ(load_stdin(), 1);
    EXPECT_EQ(err.take(), GetParam().message);
    EXPECT_EQ(cfg.message, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadStdinFailure,
    ::testing::Values(StdinFailCase{"empty", [](PubInput& t) { return t.write("empty", ""); },
                                    "Error: Zero length input.\n"},
                      StdinFailCase{
                          "one_byte_too_long",
                          [](PubInput& t) { return t.sparse("big", static_cast<off_t>(kMax) + 1); },
                          "Error: Message length must be less than 268435455 bytes.\n\n"},
                      // An endless input is refused once it passes the limit instead of
                      // being buffered until memory runs out.
                      StdinFailCase{"endless", [](PubInput&) { return std::string("/dev/zero"); },
                                    "Error: Message length must be less than 268435455 bytes.\n\n"},
                      // A read error that is not an end of input.
                      StdinFailCase{"read_error", [](PubInput& t) { return t.m_dir; },
                                    "Error: Unable to read from stdin.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PubInput, StdinOfExactlyTheLimitIsLoaded) {
    const std::string file = sparse("max", static_cast<off_t>(kMax));
    StdinFrom in(file);
    ASSERT_EQ(load_stdin(), 0);
    EXPECT_EQ(static_cast<size_t>(cfg.msglen), kMax);
}

} // namespace
