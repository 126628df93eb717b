#pragma once

// Starting the external publisher program.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

// Runs the command line `cmd` as a process of its own and waits for it to end.
// The line is split by the Windows argument rules; its first argument is the
// program path, a relative one taken from the current directory (never looked
// up in PATH). Standard input, output and error are on the null device, and no
// shell is involved.
//
// Returns "success" once the process has ended, with its exit code in
// *exitCode when exitCode is given (on POSIX 128 plus the signal number for a
// process a signal ended; -1 when the code cannot be learned). When the process
// cannot be started, prints "CreateProcess failed with error code: " and the
// system's error number to standard error, sets *exitCode to -1 and returns
// empty text.
std::string execoo(const char* cmd, int* exitCode = nullptr);

// What else a run of runProcess may do.
struct ProcessOptions {
    // Given to the process as its standard input (instead of the null device)
    // when not null. It goes through an unnamed temporary file, so neither side
    // waits for the other whatever the size.
    const std::string* input = nullptr;
    // The process is terminated once it has run this long; zero: no limit.
    std::chrono::milliseconds limit{0};
    // Asked every few dozen milliseconds while the process runs; once it has
    // said true, the process is terminated unless it ends within `stopGrace`.
    std::function<bool()> stopRequested;
    std::chrono::milliseconds stopGrace{0};
};

// How a process run ended.
enum class ProcessEnd {
    Exited,     // it ended by itself; the exit code is known
    TimedOut,   // terminated at the limit
    Stopped,    // terminated because a stop was requested
    NotStarted, // reported as execoo reports it
};

// execoo with the options above; the process is always waited for, also when
// it is terminated, so nothing is left behind.
ProcessEnd runProcess(const char* cmd, const ProcessOptions& options, int* exitCode);

// The longest command line (in bytes, without the terminator) that is sure to
// reach a program whole on this system.
std::size_t maxCommandLineLength();
