// The array wire formats alone: framing across reads, the fields each reply yields, the
// exact request bytes, and what corrupt input does (nothing, within bounds).
#include <QDateTime>
#include <QRandomGenerator>
#include <QTest>

#include "arrays/JsonDocumentFramer.h"
#include "arrays/NurevaProtocol.h"
#include "arrays/ReplyFramer.h"
#include "arrays/SennheiserProtocol.h"
#include "arrays/ShureProtocol.h"
#include "arrays/WireNumber.h"
#include "arrays/YamahaProtocol.h"

namespace {

ShureEvent gate(int channel, bool on) {
    ShureEvent e;
    e.kind = ShureEvent::Gate;
    e.channel = channel;
    e.on = on;
    return e;
}

ShureEvent peak(int channel, int level) {
    ShureEvent e;
    e.kind = ShureEvent::PeakLevel;
    e.channel = channel;
    e.level = level;
    return e;
}

ShureEvent coverage(bool on) {
    ShureEvent e;
    e.kind = ShureEvent::AutoCoverage;
    e.on = on;
    return e;
}

std::string randomBytes(QRandomGenerator& random, int size, std::string_view alphabet = {}) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (char& c : bytes) {
        c = alphabet.empty() ? static_cast<char>(random.bounded(256))
                             : alphabet[random.bounded(static_cast<int>(alphabet.size()))];
    }
    return bytes;
}

}  // namespace

class tst_ArrayProtocols : public QObject {
    Q_OBJECT

private slots:
    void wireNumbers();
    void framerKeepsFragmentsAndBoundsThem();

    void shureRepliesInOneRead();
    void shureCoverageAreaGates();
    void shureChannelBounds();
    void shureReplySplitAcrossReads();
    void shurePollRequests();

    void sennheiserLineEndings();
    void sennheiserIndentedAndSplitDocuments();
    void sennheiserTextOutsideDocumentsAndOversizedDocuments();
    void sennheiserValues();
    void sennheiserPollRequestBytes();

    void yamahaBeamDirection();
    void yamahaSeveralNotificationsInOneRead();
    void yamahaRunModeAndFraming();

    void nurevaReports();
    void nurevaSubscribeRequest();

    void garbageNeverGrowsState();
};

void tst_ArrayProtocols::wireNumbers() {
    QCOMPARE(wireInt("030"), 30);
    QCOMPARE(wireInt(" -7\n"), -7);
    QCOMPARE(wireInt("+12"), 12);
    QCOMPARE(wireInt("5a", 16), 90);
    QCOMPARE(wireInt("0x5A", 16), 90);
    QCOMPARE(wireInt("5a"), 0);
    QCOMPARE(wireInt("1\n10"), 0);  // white space inside a token is not a number
    QCOMPARE(wireInt("1.5"), 0);
    QCOMPARE(wireInt(""), 0);
    QCOMPARE(wireInt("-"), 0);
    QCOMPARE(wireInt("2147483647"), 2147483647);
    QCOMPARE(wireInt("-2147483648"), -2147483647 - 1);
    QCOMPARE(wireInt("2147483648"), 0);
    QCOMPARE(wireInt("99999999999999999999999999"), 0);
    QCOMPARE(wireInt("ffffffffff", 16), 0);

    QCOMPARE(truncateToInt(12.9), 12);
    QCOMPARE(truncateToInt(-12.9), -12);
    QCOMPARE(truncateToInt(1e300), 1000000000);
    QCOMPARE(truncateToInt(-1e300), -1000000000);
    QCOMPARE(truncateToInt(std::numeric_limits<double>::quiet_NaN()), 0);
}

void tst_ArrayProtocols::framerKeepsFragmentsAndBoundsThem() {
    ReplyFramer framer("\r\n");
    QCOMPARE(framer.take("abc"), std::string());
    QCOMPARE(framer.take("def\r\ngh"), std::string("abcdef\r\n"));
    QCOMPARE(framer.pendingSize(), std::size_t(2));
    QCOMPARE(framer.take("\n"), std::string("gh\n"));
    QCOMPARE(framer.pendingSize(), std::size_t(0));

    // A fragment that never ends is dropped at the bound, and the rest of that reply (up to
    // its terminator) is skipped: only the next whole reply comes through.
    const std::string endless(40 * 1024, 'x');
    QCOMPARE(framer.take(endless), std::string());
    QCOMPARE(framer.take(endless), std::string());
    QCOMPARE(framer.droppedCount(), std::size_t(1));
    QCOMPARE(framer.pendingSize(), std::size_t(0));
    QCOMPARE(framer.take("tail of the dropped reply\nnext\n"), std::string("next\n"));
    QVERIFY(framer.pendingSize() <= ReplyFramer::kMaxPending);

    framer.take("half");
    framer.clear();
    QCOMPARE(framer.take("whole\n"), std::string("whole\n"));
}

void tst_ArrayProtocols::shureRepliesInOneRead() {
    ShureProtocol shure;
    const std::vector<ShureEvent> events = shure.feed(
        "< REP AUTO_COVERAGE OFF >< REP 2 AUTOMIX_GATE_OUT_EXT_SIG ON >\r\n< REP 02 AUDIO_IN_PEAK_LVL 030 >"
        "< REP 3 AUTOMIX_GATE_OUT_EXT_SIG OFF >< REP AUTO_COVERAGE ON >< REP 4 AUDIO_IN_PEAK_LVL -12 >");
    const std::vector<ShureEvent> expected = {coverage(false), gate(2, true),  peak(2, 30),
                                              gate(3, false),  coverage(true), peak(4, -12)};
    QVERIFY(events == expected);

    // Keywords are case-sensitive, state words are not; a level that is not a number reads 0.
    QVERIFY(ShureProtocol::parse("< REP 1 automix_gate_out_ext_sig ON >").empty());
    QVERIFY((ShureProtocol::parse("< REP 1 AUTOMIX_GATE_OUT_EXT_SIG on >< REP 2 AUTOMIX_GATE_OUT_EXT_SIG oN >"
                                  "< REP 3 AUTOMIX_GATE_OUT_EXT_SIG ONE >< REP AUTO_COVERAGE On >"
                                  "< REP AUTO_COVERAGE oFf >") ==
             std::vector<ShureEvent>{gate(1, true), gate(2, true), gate(3, false), coverage(true),
                                     coverage(false)}));
    QVERIFY(ShureProtocol::parse("< REP 1 AUDIO_IN_PEAK_LVL loud >") == std::vector<ShureEvent>{peak(1, 0)});
    QVERIFY(ShureProtocol::parse("< REP 1 AUDIO_IN_PEAK_LVL >") == std::vector<ShureEvent>{peak(1, 0)});
    // The first keyword tested wins when a piece carries several.
    QVERIFY(ShureProtocol::parse("< REP AUTO_COVERAGE ON AUDIO_IN_PEAK_LVL >") ==
            std::vector<ShureEvent>{coverage(true)});
}

void tst_ArrayProtocols::shureCoverageAreaGates() {
    // Coverage-area gates read exactly as channel gates, as their own kind.
    ShureEvent area3 = gate(3, true);
    area3.kind = ShureEvent::AreaGate;
    ShureEvent area8 = gate(8, false);
    area8.kind = ShureEvent::AreaGate;
    QVERIFY((ShureProtocol::parse("< REP 3 AUTOMIX_GATE_OUT_CA on >< REP 8 AUTOMIX_GATE_OUT_CA OFF >"
                                  "< REP 0 AUTOMIX_GATE_OUT_CA ON >< REP 65 AUTOMIX_GATE_OUT_CA ON >") ==
             std::vector<ShureEvent>{area3, area8}));
}

void tst_ArrayProtocols::shureChannelBounds() {
    QVERIFY(ShureProtocol::parse("< REP 0 AUTOMIX_GATE_OUT_EXT_SIG ON >").empty());
    QVERIFY(ShureProtocol::parse("< REP -3 AUTOMIX_GATE_OUT_EXT_SIG ON >").empty());
    QVERIFY(ShureProtocol::parse("< REP 65 AUTOMIX_GATE_OUT_EXT_SIG ON >").empty());
    QVERIFY(ShureProtocol::parse("< REP 99999999999999 AUTOMIX_GATE_OUT_EXT_SIG ON >").empty());
    QVERIFY(ShureProtocol::parse("< REP x AUTOMIX_GATE_OUT_EXT_SIG ON >").empty());
    QVERIFY(ShureProtocol::parse("< REP 64 AUTOMIX_GATE_OUT_EXT_SIG ON >") ==
            std::vector<ShureEvent>{gate(64, true)});
    // Peak reports pass their channel on: with auto coverage any channel's level counts.
    QVERIFY(ShureProtocol::parse("< REP 200 AUDIO_IN_PEAK_LVL 9 >") == std::vector<ShureEvent>{peak(200, 9)});
}

void tst_ArrayProtocols::shureReplySplitAcrossReads() {
    ShureProtocol shure;
    QVERIFY(shure.feed("< REP 2 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP 2 AUDIO_IN_P").size() == 1);
    QVERIFY(shure.feed("EAK_LVL 0").empty());
    QVERIFY(shure.feed("30 >") == std::vector<ShureEvent>{peak(2, 30)});

    // One byte at a time gives the same events as one read.
    const std::string text = "< REP 5 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP 5 AUDIO_IN_PEAK_LVL 7 >";
    std::vector<ShureEvent> events;
    for (char c : text) {
        for (const ShureEvent& e : shure.feed(std::string_view(&c, 1))) events.push_back(e);
    }
    QVERIFY(events == ShureProtocol::parse(text));
}

void tst_ArrayProtocols::shurePollRequests() {
    const std::vector<std::string> channels = {"< GET AUTO_COVERAGE >", "< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >",
                                               "< GET 0 AUDIO_IN_PEAK_LVL >"};
    QVERIFY(ShureProtocol::pollRequests(false) == channels);
    const std::vector<std::string> areas = {"< GET AUTO_COVERAGE >", "< GET 0 AUTOMIX_GATE_OUT_CA >",
                                            "< GET 0 AUDIO_IN_PEAK_LVL >"};
    QVERIFY(ShureProtocol::pollRequests(true) == areas);
}

void tst_ArrayProtocols::sennheiserLineEndings() {
    SennheiserProtocol tcc2;
    const std::vector<SennheiserEvent> events = tcc2.feed(
        "{\"m\":{\"in1\":{\"peak\":-40}}}\r\n{\"m\":{\"beam\":{\"azimuth\":10}}}\n"
        "{\"m\":{\"beam\":{\"azimuth\":20}}}\r{\"m\":{\"beam\":{\"azimuth\":30}}}");
    // A document is whole at its closing brace, whatever line end follows, or none yet.
    const std::vector<SennheiserEvent> expected = {{SennheiserEvent::PeakLevel, -40},
                                                   {SennheiserEvent::Azimuth, 10},
                                                   {SennheiserEvent::Azimuth, 20},
                                                   {SennheiserEvent::Azimuth, 30}};
    QVERIFY(events == expected);
    QVERIFY(tcc2.feed("\r").empty());
    QVERIFY(tcc2.feed("\n").empty());
    QCOMPARE(tcc2.framer().pendingSize(), std::size_t(0));
}

void tst_ArrayProtocols::sennheiserIndentedAndSplitDocuments() {
    using E = SennheiserEvent;
    // Indented replies span lines; braces inside strings do not end a document.
    const std::string text =
        "{\n    \"m\": {\n        \"in1\": {\n            \"peak\": -30\n        }\n    }\n}\n\r\n"
        "{\r\n  \"note\": \"} { \\\" }\",\r\n  \"m\": {\"beam\": {\"azimuth\": 45}}\r\n}\r\n";
    QVERIFY((SennheiserProtocol::parse(text) == std::vector<E>{{E::PeakLevel, -30}, {E::Azimuth, 45}}));

    // Cut at every byte, the same events come out.
    SennheiserProtocol tcc2;
    std::vector<E> events;
    for (char c : text) {
        for (const E& e : tcc2.feed(std::string_view(&c, 1))) events.push_back(e);
    }
    QVERIFY((events == std::vector<E>{{E::PeakLevel, -30}, {E::Azimuth, 45}}));
    QCOMPARE(tcc2.framer().pendingSize(), std::size_t(0));
}

void tst_ArrayProtocols::sennheiserTextOutsideDocumentsAndOversizedDocuments() {
    using E = SennheiserEvent;
    SennheiserProtocol tcc2;
    // Text outside a document is skipped to the next line end, braces and all.
    QVERIFY((tcc2.feed("OK } {\"m\":{\"beam\":{\"azimuth\":1}}}\n"
                       "  {\"m\":{\"beam\":{\"azimuth\":2}}} trailing {\"m\":{\"beam\":{\"azimuth\":3}}}\r"
                       "{\"m\":{\"beam\":{\"azimuth\":4}}}{\"m\":{\"beam\":{\"azimuth\":5}}}\n") ==
             std::vector<E>{{E::Azimuth, 2}, {E::Azimuth, 4}, {E::Azimuth, 5}}));

    // A document past 64 KiB is dropped, and the rest of its line with it; the next
    // document counts again.
    std::string huge = "{\"m\":{\"beam\":{\"azimuth\":6,\"pad\":\"";
    huge.append(JsonDocumentFramer::kMaxDocument, 'x');
    huge.append("\"}}} {\"m\":{\"beam\":{\"azimuth\":7}}}\n");
    QVERIFY(tcc2.feed(huge).empty());
    QCOMPARE(tcc2.framer().droppedCount(), std::size_t(1));
    QVERIFY(tcc2.framer().pendingSize() <= JsonDocumentFramer::kMaxDocument);
    QVERIFY((tcc2.feed("{\"m\":{\"beam\":{\"azimuth\":8}}}\n") == std::vector<E>{{E::Azimuth, 8}}));

    // Just under the bound a document still counts.
    std::string large = "{\"m\":{\"beam\":{\"azimuth\":9}},\"pad\":\"";
    large.append(JsonDocumentFramer::kMaxDocument - large.size() - 2, 'x');
    large.append("\"}");
    QCOMPARE(large.size(), JsonDocumentFramer::kMaxDocument);
    QVERIFY((tcc2.feed(large) == std::vector<E>{{E::Azimuth, 9}}));

    // A reset forgets half a document.
    tcc2.feed("{\"m\":{\"beam\":");
    tcc2.reset();
    QVERIFY((tcc2.feed("{\"m\":{\"beam\":{\"azimuth\":10}}}") == std::vector<E>{{E::Azimuth, 10}}));
}

void tst_ArrayProtocols::sennheiserValues() {
    using E = SennheiserEvent;
    QVERIFY((SennheiserProtocol::parse("{\"m\":{\"beam\":{\"azimuth\":12.5}}}\r\n") ==
             std::vector<E>{{E::Azimuth, 0}}));
    QVERIFY((SennheiserProtocol::parse("{\"m\":{\"beam\":{\"azimuth\":\"90\"}}}\r\n") ==
             std::vector<E>{{E::Azimuth, 0}}));
    QVERIFY((SennheiserProtocol::parse("{\"m\":{\"beam\":{\"azimuth\":1e30}}}\r\n") ==
             std::vector<E>{{E::Azimuth, 0}}));
    QVERIFY(SennheiserProtocol::parse("{\"m\":{\"beam\":{\"elevation\":40}}}\r\n").empty());
    QVERIFY((SennheiserProtocol::parse("{\"m\":{\"beam\":{\"azimuth\":5},\"in1\":{\"peak\":-3}}}\r\n") ==
             std::vector<E>{{E::Azimuth, 5}}));
    QVERIFY(SennheiserProtocol::parse("{\"m\":{\"beam\":{\"azimuth\":5}\r\nnot json\r\n[1,2]\r\n").empty());
}

void tst_ArrayProtocols::sennheiserPollRequestBytes() {
    auto document = [](const char* group, const char* member) {
        return QByteArray("{\n    \"m\": {\n        \"") + group + "\": {\n            \"" + member +
               "\": null\n        }\n    }\n}\n\r\n";
    };
    QCOMPARE(SennheiserProtocol::pollRequest(),
             document("in1", "peak") + document("beam", "azimuth") + document("beam", "elevation"));
}

void tst_ArrayProtocols::yamahaBeamDirection() {
    const std::vector<YamahaEvent> events =
        YamahaProtocol::parse("NOTIFY mtr RM:BeamDirection raw 5a 3c 1\n");
    QCOMPARE(events.size(), std::size_t(1));
    QCOMPARE(events[0].kind, YamahaEvent::BeamDirection);
    QCOMPARE(events[0].phi, 0);
    QCOMPARE(events[0].theta, 30.0);
    QCOMPARE(events[0].voice, 1);

    const YamahaEvent high = YamahaProtocol::parseBeamDirection("NOTIFY mtr RM:BeamDirection raw ff 00 0\n");
    QCOMPARE(high.phi, 330);
    QCOMPARE(high.voice, 0);
    // Corrupt fields read as 0; an oversized hex field cannot overflow the arithmetic.
    const YamahaEvent corrupt =
        YamahaProtocol::parseBeamDirection("NOTIFY mtr RM:BeamDirection raw zz 7fffffff x");
    QCOMPARE(corrupt.phi, -180);
    QCOMPARE(corrupt.theta, 2147483647 * 0.5);
    QCOMPARE(corrupt.voice, 0);
    const YamahaEvent empty = YamahaProtocol::parseBeamDirection("NOTIFY mtr RM:BeamDirection raw ");
    QCOMPARE(empty.phi, -180);
}

void tst_ArrayProtocols::yamahaSeveralNotificationsInOneRead() {
    // Every line is evaluated on its own; the answers to the polls that share the read, and
    // lines that only resemble a notification, are no reports.
    YamahaProtocol yamaha;
    const std::vector<YamahaEvent> events = yamaha.feed(
        "OK mtrstart RM:BeamDirection 100\r\nNOTIFY mtr RM:BeamDirection raw 5a 3c 1\r\n"
        "OK mtrstart RM:BeamDirection 100\nNOTIFY mtr RM:BeamDirection raw 10 20 0\n"
        "ERROR mtrstart InvalidArgument NOTIFY mtr RM:BeamDirection raw 00 00 1\n"
        "NOTIFY mtr RM:BeamDirectionX raw 00 00 1\nNOTIFY mtr RM:BeamDirection raw\n");
    QCOMPARE(events.size(), std::size_t(3));
    QCOMPARE(events[0].phi, 0);
    QCOMPARE(events[0].theta, 30.0);
    QCOMPARE(events[0].voice, 1);
    QCOMPARE(events[1].phi, 0x10 * 2 - 180);
    QCOMPARE(events[1].voice, 0);
    QCOMPARE(events[2].phi, -180);  // a notification without fields reads its fields as 0
    QCOMPARE(events[2].voice, 0);
    QVERIFY(YamahaProtocol::parse("OK mtrstart RM:BeamDirection 100\n").empty());
}

void tst_ArrayProtocols::yamahaRunModeAndFraming() {
    YamahaProtocol yamaha;
    QVERIFY(yamaha.feed("OK devstatus runmode \"nor").empty());
    const std::vector<YamahaEvent> running = yamaha.feed("mal\"\nNOTIFY mtr RM:BeamDirection raw 5a 3c 1\n");
    QCOMPARE(running.size(), std::size_t(2));
    QCOMPARE(running[0].kind, YamahaEvent::RunModeNormal);  // in the order they came
    QCOMPARE(running[1].kind, YamahaEvent::BeamDirection);

    QVERIFY(yamaha.feed("OK devstatus runmode \"emergency\"\n").empty());
    QVERIFY(yamaha.feed("OK scpmode keepalive 5000\n").empty());
    QVERIFY(yamaha.feed("NOTIFY mtr RM:Beam").empty());
    const std::vector<YamahaEvent> beam = yamaha.feed("Direction raw 64 00 2\n");
    QCOMPARE(beam.size(), std::size_t(1));
    QCOMPARE(beam[0].phi, 20);
    QCOMPARE(beam[0].voice, 2);

    QCOMPARE(YamahaProtocol::pollRequest(false), std::string_view("devstatus runmode \n"));
    QCOMPARE(YamahaProtocol::pollRequest(true), std::string_view("mtrstart RM:BeamDirection 100 \n"));
    QCOMPARE(YamahaProtocol::kKeepAliveRequest, std::string_view("scpmode keepalive 5000 \n"));
}

void tst_ArrayProtocols::nurevaReports() {
    std::optional<NurevaReport> report = NurevaProtocol::parse(
        R"({"body":{"powerLevel":63.5,"azimuth":-12.9,"time":"2024-01-02T03:04:05.678Z"},"requestId":"x"})");
    QVERIFY(report.has_value());
    QCOMPARE(report->powerLevel, 63.5);
    QCOMPARE(report->powerLevelInt(), 63);
    QCOMPARE(report->azimuth, -12);
    QCOMPARE(report->timeMs, QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 678), Qt::UTC).toMSecsSinceEpoch());

    report = NurevaProtocol::parse(R"({"body":{}})");
    QVERIFY(report.has_value());
    QCOMPARE(report->powerLevel, 0.0);
    QCOMPARE(report->azimuth, -80);
    QCOMPARE(report->timeMs, qint64(0));

    report = NurevaProtocol::parse(R"({"body":{"powerLevel":1e300,"azimuth":-1e300,"time":"yesterday"}})");
    QVERIFY(report.has_value());
    QCOMPARE(report->powerLevelInt(), 1000000000);
    QCOMPARE(report->azimuth, -1000000000);
    QCOMPARE(report->timeMs, qint64(0));

    QVERIFY(!NurevaProtocol::parse(R"({"status":"ok"})").has_value());
    QVERIFY(!NurevaProtocol::parse("pong").has_value());
    QVERIFY(!NurevaProtocol::parse(R"(["body"])").has_value());
}

void tst_ArrayProtocols::nurevaSubscribeRequest() {
    const QUuid id = QUuid::fromString(QStringLiteral("{01234567-89ab-cdef-0123-456789abcdef}"));
    QCOMPARE(
        NurevaProtocol::subscribeRequest(id),
        QStringLiteral("{\n    \"clientId\": \"Vantor\",\n    \"request\": \"v1/devices/audioLocation\",\n"
                       "    \"requestId\": \"{01234567-89ab-cdef-0123-456789abcdef}\"\n}\n"));
}

void tst_ArrayProtocols::garbageNeverGrowsState() {
    QRandomGenerator random(20261207);
    ShureProtocol shure;
    SennheiserProtocol tcc2;
    YamahaProtocol yamaha;
    const std::string_view shureAlphabet = "<> 0123456789ONFonf_AUTOMIXGATEXTSIGPEAKLVLCOVR-";
    for (int round = 0; round < 300; ++round) {
        const int size = random.bounded(1, 4096);
        const std::string bytes =
            round % 2 ? randomBytes(random, size) : randomBytes(random, size, shureAlphabet);
        for (const ShureEvent& e : shure.feed(bytes)) {
            if (e.kind == ShureEvent::Gate || e.kind == ShureEvent::AreaGate)
                QVERIFY(e.channel >= 1 && e.channel <= ShureProtocol::kMaxChannel);
        }
        tcc2.feed(bytes);
        yamaha.feed(bytes);
        NurevaProtocol::parse(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
        QVERIFY(shure.framer().pendingSize() <= ReplyFramer::kMaxPending);
        QVERIFY(tcc2.framer().pendingSize() <= JsonDocumentFramer::kMaxDocument);
        QVERIFY(yamaha.framer().pendingSize() <= ReplyFramer::kMaxPending);
    }
    // A huge reply without an end never accumulates.
    const std::string huge(1 << 20, '{');
    tcc2.feed(huge);
    QVERIFY(tcc2.framer().pendingSize() <= JsonDocumentFramer::kMaxDocument);
    // ...and the links recover on the next whole reply.
    tcc2.feed("\n");
    QVERIFY((tcc2.feed("{\"m\":{\"beam\":{\"azimuth\":7}}}\n") ==
             std::vector<SennheiserEvent>{{SennheiserEvent::Azimuth, 7}}));
}

QTEST_GUILESS_MAIN(tst_ArrayProtocols)
#include "tst_ArrayProtocols.moc"
