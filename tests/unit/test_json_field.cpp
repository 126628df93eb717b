// The field a variable takes from a JSON payload, over payloads and locations.
#include <gtest/gtest.h>

#include "receive/json_field.h"

namespace {

constexpr const char* kMissing = "(missing)";
constexpr const char* kNotJson = "(not JSON)";
constexpr const char* kBadPointer = "(bad pointer)";

std::string take(const std::string& payload, const std::string& pointer) {
    const std::optional<JsonPointer> p = JsonPointer::parse(pointer);
    if (!p)
        return kBadPointer;
    JsonDocument doc;
    if (!doc.parse(payload))
        return kNotJson;
    std::string out = "stale";
    return doc.extract(*p, out) ? out : kMissing;
}

TEST(JsonField, TakesTheFieldAtItsLocation) {
    const std::string plant =
        R"( {"line":{"press":{"p":3.250,"unit":"bar"}},"readings":[1,-0,2.5e-3,1E+400,)"
        R"(-12345678901234567890123],"a/b":1,"m~n":2,"[x=1]":3,"[k":4,"":5,)"
        R"("values":[7,{"id":"Line1.Temp","v":20},{"id":"Line1.Press","v":"4,1"},)"
        R"({"id":7,"v":{"q" : [ true , null ]}}],"s":"a\"b\\c\/\n\u00e9\ud83d\ude00 ü"} )";
    const struct {
        std::string payload, pointer, expected;
    } rows[] = {
        {plant, "/line/press/p", "3.250"},
        {plant, "/line/press", R"({"p":3.250,"unit":"bar"})"},
        {plant, "/line/press/unit", "bar"},
        {plant, "/readings/0", "1"},
        {plant, "/readings/1", "-0"},
        {plant, "/readings/2", "2.5e-3"},
        {plant, "/readings/3", "1E+400"},
        {plant, "/readings/4", "-12345678901234567890123"},
        {plant, "/readings/5", kMissing},
        {plant, "/readings/01", kMissing},
        {plant, "/readings/-", kMissing},
        {plant, "/a~1b", "1"},
        {plant, "/m~0n", "2"},
        {plant, "/~2x=1]", "3"},
        {plant, "/[k", "4"},
        {plant, "/", "5"},
        {plant, "/values/[id=Line1.Press]/v", "4,1"},
        {plant, "/values/[id=Line1.Temp]/v", "20"},
        {plant, "/values/[id=7]/v", R"({"q":[true,null]})"},
        {plant, "/values/[id=Line1.Flow]/v", kMissing},
        {plant, "/line/[id=7]", kMissing},
        {plant, "/s", "a\"b\\c/\n\xc3\xa9\xf0\x9f\x98\x80 \xc3\xbc"},
        {plant, "/line/press/p/x", kMissing},
        {plant, "/nothing", kMissing},
        {R"( { "a" : [ 1 , "x y" ] } )", "", R"({"a":[1,"x y"]})"},
        {plant, "x", kBadPointer},
        {plant, "/a~3", kBadPointer},
        {"42", "", "42"},
        {R"({"a":1,"a":{"b":2}})", "/a/b", "2"},
        {"\"t\"", "", "t"},
        {"true", "", "true"},
        {"", "", kNotJson},
        {"3.250 x", "", kNotJson},
        {"{\"p\":1,}", "/p", kNotJson},
        {"{\"p\":01}", "/p", kNotJson},
        {"{\"p\":1.}", "/p", kNotJson},
        {"{\"p\":\"\x01\"}", "/p", kNotJson},
        {"{\"p\":\"\xc3\"}", "/p", kNotJson},
        {"{\"p\":\"\xed\xa0\x80\"}", "/p", kNotJson},
        {"{\"p\":\"\\ud800\"}", "/p", kNotJson},
        {"{\"p\":\"\\udc00\"}", "/p", kNotJson},
        {"{\"p\":\"\xf5\x80\x80\x80\"}", "/p", kNotJson},
        {"{\"p\":\"\xff\xbf\xbf\xbf\"}", "/p", kNotJson},
        {R"({"o": {"k" : "q\" \\", "l" : [ "\\", " x" ] } })", "/o",
         R"({"k":"q\" \\","l":["\\"," x"]})"},
        {"{\"p\":\"\\x\"}", "/p", kNotJson},
        {"{\"p\":tru}", "/p", kNotJson},
        {std::string(JsonDocument::kMaxDepth + 2, '[') +
             std::string(JsonDocument::kMaxDepth + 2, ']'),
         "", kNotJson},
        {"{\"p\":1", "/p", kNotJson},
    };
    for (const auto& row : rows)
        EXPECT_EQ(take(row.payload, row.pointer), row.expected)
            << "payload " << row.payload << " pointer " << row.pointer;
}

TEST(JsonField, ManyLocationsIntoOneObjectTakeWhatOneWould) {
    // Hashed once looked up a few times. The second payload has a nested "k0"
    // where the first had its own, so that a table left from the first misleads.
    JsonDocument doc;
    for (const int from : {0, 1}) {
        std::string p = R"({"dup":1,"a\"b":2,"\u0063":)" + std::string(from ? R"({"k0":7})" : "3");
        for (int i = from; i < 40; ++i)
            p += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
        ASSERT_TRUE(doc.parse(p += R"(,"dup":{"v":9},"c":4})"));
        const char* names[][2] = {
            {"/dup", R"({"v":9})"}, {"/dup/v", "9"}, {"/a\"b", "2"}, {"/c", "4"}};
        std::string out;
        auto at = [&](const std::string& s) {
            return doc.extract(*JsonPointer::parse(s), out) ? out : kMissing;
        };
        for (int pass = 0; pass < 2; ++pass) // walked, then hashed
            for (const auto& [pointer, expected] : names)
                EXPECT_EQ(at(pointer), expected) << pointer << " in payload " << from;
        for (int i = 0; i < 40; ++i) // one moved along by another's slot too
            EXPECT_EQ(at("/k" + std::to_string(i)), i < from ? kMissing : std::to_string(i))
                << from;
    }
}

TEST(JsonField, SplitsTheLocationOffTheFilter) {
    const struct {
        std::string given, filter;
        bool hasPointer;
        std::string pointer;
    } rows[] = {
        {"plant/press#/p", "plant/press", true, "/p"},
        {"plant/#", "plant/#", false, ""},
        {"plant/##/p", "plant/#", true, "/p"},
        {"#", "#", false, ""},
        {"a#", "a#", false, ""},
        {"a/##", "a/##", false, ""},
        {"a#/x#/y", "a", true, "/x#/y"},
        {"a/#/b", "a/", true, "/b"},
        {"##/p", "#", true, "/p"},
    };
    for (const auto& row : rows) {
        const FilterLocation split = splitLocation(row.given);
        EXPECT_EQ(split.filter, row.filter) << row.given;
        EXPECT_EQ(split.hasPointer, row.hasPointer) << row.given;
        EXPECT_EQ(split.pointer, row.pointer) << row.given;
    }
}

} // namespace
