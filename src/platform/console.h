#pragma once

// Standard streams of the process.

// Makes standard output write bytes as they are, without translating line ends
// (payloads are binary). Does nothing where output is never translated.
void stdout_binary_mode();
