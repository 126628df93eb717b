#pragma once

#include <cstddef>

// Facts about the running process and the operating system's error texts.

// The id of this process.
int sys_process_id(void);

// Writes into buf (size bytes, always terminated) the operating system's text
// for the C runtime error number `err` (normally the current errno). An error
// the system has no text for leaves an empty string.
void sys_error_text(int err, char* buf, size_t size);
