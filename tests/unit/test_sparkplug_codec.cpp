// The Sparkplug B payload codec against the independent npm decoder and encoder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <sstream>

#include <nlohmann/json.hpp>

#include "publish/sparkplug_codec.h"
#include "support/subprocess.h"

namespace {

using sparkplug::Metric;
using sparkplug::Payload;

std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Metric make(const char* name, uint32_t type, sparkplug::Field field, uint64_t integer = 0) {
    Metric m;
    m.name = name;
    m.datatype = type;
    m.field = field;
    m.integer = integer;
    return m;
}

TEST(SparkplugCodec, NpmDecoderReadsWhatWeEncode) {
    const std::string dir = std::string(KRO_SOURCE_DIR) + "/tests/support/sparkplug";
    const std::string node = kro::test::findProgram("node");
    if (node.empty() || access((dir + "/node_modules/sparkplug-payload").c_str(), R_OK) != 0)
        GTEST_SKIP() << "node or the modules of " << dir
                     << " are missing (./run.sh test installs them)";
    using F = sparkplug::Field;
    Metric i64, u64, dbl, no, empty, text, single = make("f", 9, F::Float),
                                           nul = make("z", 4, F::None);
    i64.name = "n", i64.setInt64(INT64_MIN);
    u64.alias = 5, u64.timestamp = 1700000000123, u64.isHistorical = true,
    u64.setUInt64(UINT64_MAX);
    dbl.name = "d", dbl.setDouble(-0.1), no.name = "b", no.setBoolean(false);
    empty.name = "s", empty.setString(""), text.alias = 0, text.setString("h\xc3\xa9llo");
    single.single = 1.5f, nul.isNull = true;
    const struct {
        Metric metric;
        const char* json;
    } rows[] = {
        {i64, R"({"name":"n","type":"Int64","value":"-9223372036854775808"})"},
        {u64,
         R"({"alias":"5","timestamp":"1700000000123","isHistorical":true,"type":"UInt64","value":"18446744073709551615"})"},
        {dbl, R"({"name":"d","type":"Double","value":-0.1})"},
        {no, R"({"name":"b","type":"Boolean","value":false})"},
        {empty, R"({"name":"s","type":"String","value":""})"},
        {text, R"({"alias":"0","type":"String","value":"h\u00e9llo"})"},
        {single, R"({"name":"f","type":"Float","value":1.5})"},
        {make("i8", 1, F::Int, 0xfffffffb), R"({"name":"i8","type":"Int8","value":-5})"},
        {make("u32", 7, F::Long, 0xffffffff),
         R"({"name":"u32","type":"UInt32","value":4294967295})"},
        {nul, R"({"name":"z","type":"Int64","value":null})"},
    };
    const std::string tmp = kro::test::makeTempDir("kro_sparkplug_");
    std::vector<std::string> argv = {node, dir + "/decode.js"};
    for (size_t i = 0; i < std::size(rows); ++i) {
        Payload p;
        p.timestamp = (1ull << 63) + i, p.seq = i, p.metrics = {rows[i].metric};
        const std::string bytes = sparkplug::encode(p);
        Payload back;
        EXPECT_TRUE(sparkplug::decode(bytes, &back) && back == p) << "row " << i;
        argv.push_back(tmp + "/" + std::to_string(i) + ".bin");
        kro::test::writeFile(argv.back(), bytes);
    }
    ASSERT_EQ(kro::test::runProgram(argv, tmp + "/out.txt"), 0)
        << kro::test::readFile(tmp + "/out.txt");
    std::istringstream out(kro::test::readFile(tmp + "/out.txt"));
    std::string line;
    for (size_t i = 0; i < std::size(rows); ++i) {
        ASSERT_TRUE(std::getline(out, line)) << "row " << i;
        const nlohmann::json got = nlohmann::json::parse(line);
        EXPECT_EQ(got["timestamp"], std::to_string((1ull << 63) + i)) << line;
        EXPECT_EQ(got["seq"], std::to_string(i)) << line;
        EXPECT_EQ(got["metrics"], nlohmann::json::array({nlohmann::json::parse(rows[i].json)}))
            << line;
    }
    kro::test::removeTree(tmp);
}

TEST(SparkplugCodec, DecodesWhatAHostApplicationSends) {
    // Made once with the npm package's encoder (encodePayload of one metric at a time, timestamp
    // 1700000000000); the last row adds a data set, properties and metadata, which are skipped.
    const struct {
        const char *hex, *name; // name, or the alias in decimal
        uint32_t type;
        const char* text; // "-" for none
    } rows[] = {
        {"0880d095ffbc31121a0a144e6f646520436f6e74726f6c2f52656269727468200b7001",
         "Node Control/Rebirth", 11, "true"},
        {"0880d095ffbc3112061003200b7000", "3", 11, "false"},
        {"0880d095ffbc31120c0a026938200150fbffffff0f", "i8", 1, "-5"},
        {"0880d095ffbc31120d0a03693136200250d4fdffff0f", "i16", 2, "-300"},
        {"0880d095ffbc31120d0a036933322003508080808008", "i32", 3, "-2147483648"},
        {"0880d095ffbc3112090a027538200550c801", "u8", 5, "200"},
        {"0880d095ffbc31120b0a03753136200650ffff03", "u16", 6, "65535"},
        {"0880d095ffbc31120d0a03753332200758ffffffff0f", "u32", 7, "4294967295"},
        {"0880d095ffbc31121610818080808080801020045880808080808080808001", "9007199254740993", 4,
         "-9223372036854775808"},
        {"0880d095ffbc3112120a03753634200858ffffffffffffffffff01", "u64", 8,
         "18446744073709551615"},
        {"0880d095ffbc31120a0a01662009650000c03f", "f", 9, "1.5"},
        {"0880d095ffbc31120e0a0164200a699a9999999999b93f", "d", 10, "0.1"},
        {"0880d095ffbc3112070a0173200c7a00", "s", 12, ""},
        {"0880d095ffbc31120d0a0174200e7a0668c3a96c6c6f", "t", 14, "h\xc3\xa9llo"},
        {"0880d095ffbc31120d0a026474200d58fbd095ffbc31", "dt", 13, "1700000000123"},
        {"080112160a02647320108a010d0801120163180322040a020801121d0a01702003420512017818034a0d0a047"
         "56e69741205080c42014350071809",
         "p", 3, "7"},
    };
    for (const auto& row : rows) {
        Payload p;
        std::string error;
        ASSERT_TRUE(sparkplug::decode(fromHex(row.hex), &p, &error)) << row.hex << ": " << error;
        ASSERT_FALSE(p.metrics.empty()) << row.hex;
        const Metric& m = p.metrics.back();
        EXPECT_EQ(m.name ? *m.name : std::to_string(m.alias.value_or(0)), row.name) << row.hex;
        EXPECT_EQ(m.datatype, row.type) << row.hex;
        EXPECT_EQ(sparkplug::valueText(m).value_or("-"), row.text) << row.hex;
    }
}

TEST(SparkplugCodec, RefusesBrokenBytes) {
    const struct {
        const char *hex, *error;
    } rows[] = {
        {"08", "truncated varint at byte 1"},
        {"12050a01", "length past the end at byte 1"},
        {"12020a05", "length past the end at byte 3"},
        {"00", "invalid field number at byte 0"},
        {"0b", "unsupported wire type 3 at byte 0"},
        {"08ffffffffffffffffff02", "varint too long at byte 1"},
        {"69000000", "truncated fixed-width value at byte 1"},
        {"12026d00", "truncated fixed-width value at byte 3"},
    };
    for (const auto& row : rows) {
        Payload p;
        std::string error;
        EXPECT_FALSE(sparkplug::decode(fromHex(row.hex), &p, &error)) << row.hex;
        EXPECT_EQ(error, row.error) << row.hex;
    }
}

} // namespace
