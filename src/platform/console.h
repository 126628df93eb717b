#pragma once

// Standard streams of the process.

// Makes standard output write bytes as they are, without translating line ends
// (payloads are binary). Does nothing where output is never translated.
void stdout_binary_mode();

// Makes standard input read bytes as they are, without translating line ends
// or stopping at a Ctrl-Z (a message read from it is binary). Does nothing
// where input is never translated.
void stdin_binary_mode();
