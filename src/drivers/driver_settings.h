#pragma once

// Settings readers both drivers use.

#include <chrono>
#include <string>

// Warns on standard output when a file the driver is about to pass on does not
// exist; the caller uses the path anyway.
void CHECKFILE(std::string filepath);

// Digits only, at most nine of them: a setting's whole number.
bool isWholeNumber(const std::string& text);

// The "PubTimeout" setting of a driver's settings JSON: the seconds a
// publication may take before it is terminated, 0 for no limit, 30 when not
// set. A value that is not a whole number of seconds is reported on standard
// output and the default is used.
std::chrono::seconds readPubTimeout(const std::string& settings);
