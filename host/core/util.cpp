#include <filesystem>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "kro/Util.h"

namespace kro::util {

namespace {

// Far deeper than any setting; the JSON writer recurses once per level, so a
// deeper value would let a settings text exhaust the stack.
constexpr size_t kMaxValueDepth = 64;

// Whether `value` nests more than `limit` levels deep, found without recursion.
bool nestsDeeperThan(const nlohmann::json& value, size_t limit) {
    std::vector<std::pair<const nlohmann::json*, size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        auto [v, depth] = pending.back();
        pending.pop_back();
        if (depth > limit)
            return true;
        if (v->is_structured())
            for (const nlohmann::json& child : *v)
                pending.emplace_back(&child, depth + 1);
    }
    return false;
}

} // namespace

std::string Util::getValFromJsonc(const std::string& json, const std::string& key) {
    // Settings texts come from users: never throw, whatever they hold.
    const auto doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false,
                                           /*ignore_comments=*/true);
    if (doc.is_discarded() || !doc.is_object())
        return {};
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null())
        return {};
    if (it->is_string())
        return it->get<std::string>();
    if (nestsDeeperThan(*it, kMaxValueDepth))
        return {};
    return it->dump();
}

void StringUtil::split(const std::string& s, const std::string& sep,
                       std::vector<std::string>& out) {
    out.clear();
    if (sep.empty()) {
        if (!s.empty())
            out.push_back(s);
        return;
    }
    std::string::size_type start = 0;
    while (start <= s.size()) {
        auto end = s.find(sep, start);
        if (end == std::string::npos)
            end = s.size();
        if (end > start)
            out.push_back(s.substr(start, end - start));
        start = end + sep.size();
    }
}

bool StringUtil::endWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool FileUtil::fileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

} // namespace kro::util
