#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// Small process and file helpers shared by the broker fixture and the certificate generator.
namespace kro::test {

// Full path of a program found in PATH (or the name itself when it already holds a '/');
// empty when not found.
std::string findProgram(const std::string& name);

// Starts argv[0] directly (fork/exec, no shell, no PATH search) with standard input on
// /dev/null and standard output and error appended to logPath. The child is killed when the
// thread that started it ends, so a crashed test leaves nothing running. Returns the process
// id, or -1 when fork fails (a failed exec shows up as exit code 127).
pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& logPath);

// Waits (bounded) for pid to end and reaps it. Returns true and stores the raw wait status
// when it ended in time.
bool waitExit(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr);

// Runs a program to its end; returns its exit code, or -1 when it did not start, was killed
// by a signal or outlived the timeout (it is then killed).
int runProgram(const std::vector<std::string>& argv, const std::string& logPath,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// A fresh private directory under the temporary directory; throws on failure.
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);

} // namespace kro::test
