// The JSON parser of the receive path against the alternatives, in process:
// one 200-byte payload, 5 fields taken per message, the median of 5 rounds.
//   fields     this driver's own: check and index the payload, take 5 fields
//              exactly as written
//   nlohmann   the project's nlohmann/json: parse to a DOM, 5 pointers, each
//              value dumped (a number comes out re-serialised: 3.250 as 3.25)
//   simdjson   (when built with it) on-demand: 5 pointers, each value's raw
//              text; it checks only what it walks past, not the whole payload
// Then this driver's parser on one object of 5,000 members (about 60 KB): one
// location per message, and 5,000 distinct ones, each member taken once.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#ifdef KRO_BENCH_SIMDJSON
#include <simdjson.h>
#endif

#include "bench_util.h"
#include "receive/json_field.h"

namespace {

using namespace kro::bench;

const std::string kPayload =
    R"({"device":"press-01","ts":"2026-12-09T16:19:00.125Z","seq":1234567,"pressure":3.250,)"
    R"("temperature":21.75,"flow":{"value":118.4,"unit":"l/min"},"state":"running","alarms":[],)"
    R"("note":"nnnnnnnnnnnnnnnnnnnnn"})";
const std::vector<std::string> kPointers = {"/pressure", "/temperature", "/flow/value", "/state",
                                            "/seq"};

// Nanoseconds per message, the median of the rounds.
template <typename F> double nsPerMessage(long count, F take) {
    std::vector<double> rounds;
    size_t sink = 0;
    for (int r = 0; r < 5; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < count; ++i)
            sink += take();
        const std::chrono::duration<double, std::nano> took =
            std::chrono::steady_clock::now() - start;
        rounds.push_back(took.count() / static_cast<double>(count));
    }
    if (sink == 0)
        printNote("no field was found");
    std::sort(rounds.begin(), rounds.end());
    return rounds[2];
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"count", "port", "wide-count"});
    const long count = o.number("count", 200000);
    const long wideCount = o.number("wide-count", 500);
    printHeading("JSON fields: a " + std::to_string(kPayload.size()) + "-byte payload, " +
                 std::to_string(kPointers.size()) + " fields per message, " +
                 std::to_string(count) + " messages, median of 5 rounds");

    std::vector<JsonPointer> pointers;
    for (const std::string& p : kPointers)
        pointers.push_back(*JsonPointer::parse(p));
    JsonDocument document;
    std::string field;
    const double own = nsPerMessage(count, [&] {
        size_t n = 0;
        if (document.parse(kPayload))
            for (const JsonPointer& p : pointers)
                n += document.extract(p, field) ? field.size() : 0;
        return n;
    });

    std::vector<nlohmann::json::json_pointer> nlohmannPointers;
    for (const std::string& p : kPointers)
        nlohmannPointers.emplace_back(p);
    const double nlohmann = nsPerMessage(count, [&] {
        size_t n = 0;
        const nlohmann::json doc = nlohmann::json::parse(kPayload, nullptr, false);
        for (const auto& p : nlohmannPointers) {
            const nlohmann::json& v = doc.at(p);
            n += v.is_string() ? v.get_ref<const std::string&>().size() : v.dump().size();
        }
        return n;
    });
    printFigure("fields (this driver's parser)", own, "ns/msg");
    printRatio("nlohmann DOM per message", nlohmann, own, "ns");
#ifdef KRO_BENCH_SIMDJSON
    simdjson::ondemand::parser parser;
    const double simd = nsPerMessage(count, [&] {
        size_t n = 0;
        const simdjson::padded_string padded(kPayload); // the payload needs padding: a copy
        simdjson::ondemand::document doc = parser.iterate(padded);
        for (const std::string& p : kPointers) {
            std::string_view raw;
            if (!doc.at_pointer(p).raw_json_token().get(raw))
                n += raw.size();
        }
        return n;
    });
    printRatio("simdjson on-demand per message", simd, own, "ns");
#else
    printNote("simdjson: not built (install libsimdjson-dev to compare)");
#endif

    std::string wide = "{";
    std::vector<JsonPointer> widePointers;
    for (int i = 0; i < 5000; ++i) {
        const std::string name = "k" + std::to_string(i);
        wide += (i ? ",\"" : "\"") + name + "\":" + std::to_string(1000 + i) + ".25";
        widePointers.push_back(*JsonPointer::parse("/" + name));
    }
    wide += "}";
    printHeading("JSON fields: an object of " + std::to_string(widePointers.size()) + " members (" +
                 std::to_string(wide.size()) + " bytes), " + std::to_string(wideCount) +
                 " messages, median of 5 rounds");
    const double one = nsPerMessage(wideCount, [&] {
        return document.parse(wide) && document.extract(widePointers[2500], field) ? field.size()
                                                                                   : 0;
    });
    const double all = nsPerMessage(wideCount, [&] {
        size_t n = 0;
        if (document.parse(wide))
            for (const JsonPointer& p : widePointers)
                n += document.extract(p, field) ? field.size() : 0;
        return n;
    });
    printFigure("1 location per message", one, "ns/msg");
    printRatio("5,000 locations per message", all, one, "ns");
    printFigure("each of the 5,000 locations", (all - one) / 4999, "ns");
    return 0;
}
