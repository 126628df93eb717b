// The Sparkplug edge node's state, read back with the payload codec.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "publish/sparkplug_node.h"
#include "support/capture.h"

namespace {

using Node = SparkplugNode;
using Kind = Node::Action::Kind;

const SparkplugSettings kSettings{"G", "N", "", "D"};

sparkplug::Payload read(const Node::Message& m) {
    sparkplug::Payload p;
    EXPECT_TRUE(sparkplug::decode(m.payload, &p)) << m.topic;
    return p;
}

// A node connected and born, holding SubVariable "s" and PubVariable "p".
Node born(std::optional<std::string> p = "1", const std::string& bdSeqPath = "") {
    Node n(kSettings, {{"s", true, "off"}, {"p", false, p}}, bdSeqPath);
    n.connecting(1);
    n.births(1);
    return n;
}

// What a received message made: its actions, then its lines.
std::string outcome(Node& n, const std::string& topic, const std::string& payload) {
    kro::test::Capture out(kro::test::Capture::Stream::Out);
    std::string text;
    for (const Node::Action& a : n.receive(topic, payload))
        text += a.kind == Kind::Births  ? "births;"
                : a.kind == Kind::Write ? a.address + "=" + a.text + ";"
                                        : "reconnect;";
    return text + out.take();
}

std::string cmd(const char* name, uint64_t alias, const char* value) {
    sparkplug::Payload p{{}, std::vector<sparkplug::Metric>(1), {}, {}, {}};
    sparkplug::Metric& m = p.metrics[0];
    m.name = *name ? std::optional<std::string>(name) : std::nullopt;
    m.alias = alias ? std::optional<uint64_t>(alias) : std::nullopt;
    std::string(value) == "true" ? m.setBoolean(true) : m.setString(value);
    return sparkplug::encode(p);
}

TEST(SparkplugNode, SettingsAndIds) {
    const std::string on = R"("PubMode":"session","DeviceId":"D","SparkplugGroup":"G",)";
    const std::string bad = "\" is not a Sparkplug id (UTF-8 text, not empty, without '/', '+', "
                            "'#'): Sparkplug is off\n";
    const std::pair<std::string, std::string> rows[] = {
        {R"({"DeviceId":"D"})", ""},
        {"{" + on + R"("SparkplugNode":"N","SparkplugHost":"H"})", ""},
        {R"({"DeviceId":"D","SparkplugGroup":"G","SparkplugNode":"N"})",
         "[kro error]SparkplugGroup needs \"PubMode\": \"session\"; values are published as "
         "without it\n"},
        {"{" + on + R"("x":1})", "[kro error]SparkplugGroup and SparkplugNode go together: only "
                                 "SparkplugGroup is set, Sparkplug is off\n"},
        {R"({"PubMode":"session","SparkplugHost":"H"})",
         "[kro error]SparkplugHost needs SparkplugGroup and SparkplugNode: Sparkplug is off\n"},
        {"{" + on + R"("SparkplugNode":"a/b"})", "[kro error]SparkplugNode \"a/b" + bad},
        {"{" + on + R"("SparkplugNode":"N","SparkplugHost":"h#"})",
         "[kro error]SparkplugHost \"h#" + bad},
        {R"({"PubMode":"session","SparkplugGroup":"+","SparkplugNode":"N"})",
         "[kro error]SparkplugGroup \"+" + bad + "[kro error]DeviceId \"" + bad},
    };
    for (const auto& [json, line] : rows) {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        const SparkplugSettings s = readSparkplugSettings(json);
        EXPECT_EQ(out.take(), line) << json;
        EXPECT_EQ(s.on(), line.empty() && json.find("Group") != std::string::npos) << json;
    }
    for (const char* id : {"\xff", "a\xc3\xa9", "\xe9"}) // UTF-8 only
        EXPECT_EQ(isSparkplugId(id), id[0] == 'a') << id;
}

TEST(SparkplugNode, DatatypeByValueForm) {
    using T = sparkplug::DataType;
    const std::pair<const char*, T> rows[] = {
        {"1", T::Int64},    {"-5", T::Int64},     {"1.5", T::Double},
        {"1e3", T::Double}, {"true", T::Boolean}, {"abc", T::String},
        {"01", T::String},  {"", T::String},      {"9223372036854775808", T::Double}};
    for (const auto& [text, type] : rows)
        EXPECT_EQ(sparkplugTypeOf(text), type) << text;
}

// bdSeq for each connect, kept in the file across instances, wrapping; seq per node message.
TEST(SparkplugNode, BdSeqAndSeqWrap) {
    const std::string path = testing::TempDir() + "sp_bdseq_" + std::to_string(getpid());
    std::ofstream(path) << "254\n";
    Node a(kSettings, {}, path);
    EXPECT_EQ(read(a.connecting(1)).metrics.at(0).integer, 254u);
    const sparkplug::Payload will = read(a.connecting(1)); // no seq in a death
    EXPECT_EQ(std::make_pair(will.metrics.at(0).integer, will.seq.has_value()),
              std::make_pair(uint64_t{255}, false));
    Node b = born("1", path);
    EXPECT_EQ(b.bdSeq(), 0);
    for (int i = 0; i < 300; ++i) {
        const Node::Message m = i % 2 ? b.data({{"p", "2", 1, false}}, 1).ddata : b.ddeath(1);
        ASSERT_EQ(*read(m).seq, static_cast<uint64_t>((i + 2) % 256)) << i;
    }
    std::ofstream(path) << "256\n";
    kro::test::Capture out(kro::test::Capture::Stream::Out);
    Node c(kSettings, {}, path);
    EXPECT_EQ(out.take(), "[kro error]Sparkplug bdSeq file \"" + path +
                              "\" holds no number from 0 to 255: bdSeq starts at 0\n");
    EXPECT_EQ(read(c.connecting(1)).metrics.at(0).integer, 0u);
    std::ofstream(path) << "255\n";
    EXPECT_EQ(read(Node(kSettings, {}, path).connecting(1)).metrics.at(0).integer, 255u);
    std::remove(path.c_str());
}

TEST(SparkplugNode, BirthsThenDataByAlias) {
    Node n(kSettings, {{"s1", true, std::nullopt}, {"p1", false, "21"}, {"p2", false, "on"}}, "");
    EXPECT_EQ(n.subscriptions().at(1), "spBv1.0/G/DCMD/N/+");
    const Node::Message will = n.connecting(7);
    EXPECT_EQ(std::make_tuple(will.topic, will.qos, will.retain),
              std::make_tuple("spBv1.0/G/NDEATH/N", 1, false));
    const auto births = n.births(10);
    const sparkplug::Payload nb = read(births.at(0)), db = read(births.at(1));
    EXPECT_EQ(births[0].topic + births[1].topic, "spBv1.0/G/NBIRTH/NspBv1.0/G/DBIRTH/N/D");
    EXPECT_EQ(std::make_tuple(*nb.seq, *nb.timestamp, nb.metrics.at(0).integer,
                              *nb.metrics.at(1).name, nb.metrics.at(1).boolean, *db.seq),
              std::make_tuple(0u, 10u, 0u, "Node Control/Rebirth", false, 1u));
    const auto& dm = db.metrics;
    EXPECT_EQ(std::make_tuple(dm.size(), dm.at(0).isNull, *dm.at(1).datatype, *dm.at(2).alias,
                              sparkplug::valueText(dm.at(2))),
              std::make_tuple(3u, true, 4u, 3u, std::optional<std::string>("on")));
    const Node::Data d = n.data({{"p1", "22", 100, false}, {"p2", "off", 101, true}}, 200);
    const sparkplug::Payload dd = read(d.ddata);
    const sparkplug::Metric& m = dd.metrics.at(0);
    EXPECT_EQ(std::make_tuple(d.dbirth.has_value(), *m.alias, *m.timestamp, m.isHistorical,
                              m.name.has_value(), m.datatype.has_value(), m.integer,
                              dd.metrics.at(1).isHistorical),
              std::make_tuple(false, 2u, 100u, false, false, true, 22u, true));
}

// A value that does not fit its declared type comes after a DBIRTH with the new one.
TEST(SparkplugNode, TypeChangeDeclaresAnew) {
    // The DBIRTH's new type (4 Int64, 10 Double, 12 String); 0: no DBIRTH.
    const auto no = std::nullopt;
    const std::tuple<std::optional<std::string>, const char*, uint32_t> rows[] = {
        {"5", "21.5", 10}, {"21.5", "5", 0}, {"5", "abc", 12}, {"abc", "5", 0},
        {no, "5", 4},      {no, "abc", 0},   {"true", "1", 4}};
    for (const auto& [before, after, type] : rows) {
        const Node::Data d = born(before).data({{"p", after, 1, false}}, 1);
        EXPECT_EQ(d.dbirth ? *read(*d.dbirth).metrics.at(1).datatype : 0u, type) << after;
        EXPECT_EQ(sparkplug::valueText(read(d.ddata).metrics.at(0)), after);
    }
    // An address not declared yet; two forms in one DDATA share a type.
    const Node::Data d = born().data({{"new", "1", 1, false}, {"new", "x", 2, false}}, 1);
    const sparkplug::Metric m = read(d.dbirth.value()).metrics.at(2);
    EXPECT_EQ(std::make_tuple(*m.name, *m.datatype), std::make_tuple("new", 12u));
}

TEST(SparkplugNode, Commands) {
    const std::string dcmd = "spBv1.0/G/DCMD/N/D", e = "[kro error]Sparkplug DCMD ";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"spBv1.0/G/NCMD/N", cmd("Node Control/Rebirth", 0, "true"), "births;"},
        {dcmd, cmd("s", 0, "on"), "s=on;"},
        {dcmd, cmd("", 1, "true"), "s=true;"},
        {dcmd, cmd("x", 0, "1"), e + "names no variable of device \"D\" (\"x\"): ignored\n"},
        {dcmd, cmd("", 9, "1"), e + "names no variable of device \"D\" (alias 9): ignored\n"},
        {dcmd, cmd("p", 0, "1"), e + "names \"p\", which is no SubVariable: ignored\n"},
        {dcmd, cmd("", 2, "1"), e + "names \"p\", which is no SubVariable: ignored\n"},
        {dcmd, "\x0a\x05",
         e + "on " + dcmd +
             " is no Sparkplug B payload (length past the end at byte 1): ignored\n"},
        {"spBv1.0/G/DCMD/N/E", cmd("s", 0, "1"),
         e + "for device \"E\", not this node's \"D\": ignored\n"},
    };
    Node n = born();
    for (const auto& [topic, payload, expected] : rows)
        EXPECT_EQ(outcome(n, topic, payload), expected) << topic;
}

// Births wait for the host's latest STATE online on this connection; a newer offline reconnects.
TEST(SparkplugNode, HostState) {
    const std::string bad = "[kro error]Sparkplug STATE of host \"H\" is not {\"online\": "
                            "true|false, \"timestamp\": MS}: ignored\n";
    // clang-format off
    const std::pair<const char*, std::string> steps[] = {
        {R"({"online":false,"timestamp":10})", ""}, {R"({"online":true,"timestamp":5})", ""},
        {R"({"online":true,"timestamp":20})", "births;"}, {R"({"online":true,"timestamp":15})", ""},
        {R"({"online":false,"timestamp":30})", "reconnect;"}, {"ONLINE", bad}};
    // clang-format on
    Node n({"G", "N", "H", "D"}, {}, "");
    n.connecting(1);
    for (const auto& [payload, expected] : steps) {
        const std::string got = outcome(n, "spBv1.0/STATE/H", payload);
        EXPECT_EQ(got, expected) << payload;
        if (got == "births;")
            n.births(1);
    }
}

} // namespace
