#pragma once

// Starting the external publisher program.

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
