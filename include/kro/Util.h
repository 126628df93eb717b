#pragma once

#include <string>
#include <vector>

#include "kro/KroApi.h"

namespace kro::util {

// Host utilities the drivers use. Part of the host's binary interface.
class KRO_CORE_API Util {
public:
    // A top-level value of a JSON object as text: a string as it is, a number
    // as decimal text; empty when absent or when json is not an object.
    static std::string getValFromJsonc(const std::string& json, const std::string& key);
};

class KRO_CORE_API StringUtil {
public:
    // The non-empty pieces of s between occurrences of sep, in order.
    static void split(const std::string& s, const std::string& sep, std::vector<std::string>& out);
    static bool endWith(const std::string& s, const std::string& suffix);
};

class KRO_CORE_API FileUtil {
public:
    static bool fileExists(const std::string& path);
};

} // namespace kro::util
