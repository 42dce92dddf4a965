// Guards pelorin's pure rules: AddressStringToLong and its boxes, pingAddress's host clean-up, echo reply routing and
// sequences, a round trip in whole ms, the echo stamp, a body's page/charset rules, the millisecond tick; the ARP
// sweep's request and which replies answer it. No packets.
#include "ArpPacket.h"
#include "Harness.h"
#include "HttpBody.h"
#include "Ping.h"
#include "ProbeObject.h"

#include <QtTest>

#include <netinet/in.h>

using namespace Pelorin;

namespace {

constexpr quint32 kTarget = 0x0500007F; // 127.0.0.5 as it lies in memory
constexpr quint32 kMe = 0x0100007F;     // 127.0.0.1
constexpr quint32 kOther = 0x0900007F;  // 127.0.0.9
constexpr quint16 kId = 0x3412;
constexpr quint16 kSeq = 77;
const QByteArray kData("Echo this request");

QByteArray ipPacket(quint32 source, quint32 dest, const QByteArray &icmp, char protocol = 1)
{
    QByteArray ip("\x45\0\0\0\0\0\0\0\x40", 9);
    ip += protocol + QByteArray(2, '\0') + QByteArray::fromRawData(reinterpret_cast<const char *>(&source), 4);
    return ip + QByteArray::fromRawData(reinterpret_cast<const char *>(&dest), 4) + icmp;
}

QByteArray icmp(quint8 type, quint8 code, quint16 identifier, quint16 sequence, const QByteArray &rest = {})
{
    const quint16 seq = qToBigEndian(sequence);
    const QByteArray id(reinterpret_cast<const char *>(&identifier), 2), sq(reinterpret_cast<const char *>(&seq), 2);
    return QByteArray(1, char(type)) + char(code) + QByteArray(2, 0) + id + sq + rest;
}

// Every wait over at once: boxes recorded, echoes failing as without a socket (to 0.0.0.0/8: never sent).
struct InlineContext : PingContext {
    QStringList boxes;
    QByteArrayList sent; // each echo's data
    Task<void> yield() override { co_return; }
    Task<int> showMessageBox(QString text, int style) override
    {
        boxes << text + (style == MsgBox::OKOnly ? "" : " (style)");
        co_return MsgBox::AnswerOK;
    }
    Task<EchoResult> echo(quint32 address, QByteArray data, qint32) override
    {
        sent << data;
        EchoResult r;
        r.status = (qFromBigEndian(address) >> 24) == 0 ? IpStatus::BadDestination : IpStatus::GeneralFailure;
        co_return r;
    }
};

} // namespace


class ProbeRulesTest : public QObject
{
    Q_OBJECT

    InlineContext m_context;

private slots:
    void cleanup() { setHostLookupForTesting({}); }

    void arpPackets_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<qint64>("answered"); // -1: not an answer
        constexpr quint32 me = 0xC6120001, asked = 0xC6120005, unasked = 0xC6120006;
        auto reply = [](quint32 sender, quint32 target, int at = 7, quint8 value = 2) {
            QByteArray p = ArpPacket::request(0x021AC6000005, sender, target);
            p[at] = char(value);
            return p;
        };
        QTest::newRow("reply from a target asked about") << reply(asked, me) << qint64(asked);
        QTest::newRow("reply from an address not asked about") << reply(unasked, me) << -1LL;
        QTest::newRow("reply to another address") << reply(asked, 0xC6120002) << -1LL;
        QTest::newRow("a request") << reply(asked, me, 7, 1) << -1LL;
        QTest::newRow("short") << reply(asked, me).chopped(1) << -1LL;
        QTest::newRow("other hardware") << reply(asked, me, 1, 6) << -1LL;
        QTest::newRow("other protocol") << reply(asked, me, 2, 0x86) << -1LL;
    }

    // Only a reply to this machine's address from an address the sweep asked about answers it.
    void arpPackets()
    {
        QFETCH(QByteArray, packet);
        QFETCH(qint64, answered);
        const std::optional<quint32> found = ArpPacket::answeredTarget(packet, 0xC6120001, {0xC6120005, 0xC6120007});
        QCOMPARE(found ? qint64(*found) : -1LL, answered);
    }

    // The request: Ethernet and IPv4, from our MAC and address, for the target, the hardware asked for left zero.
    void arpRequest()
    {
        QCOMPARE(ArpPacket::request(0x021AC6000001, 0xC6120001, 0xC6120005).toHex(),
                 QByteArray("0001080006040001021ac6000001c6120001000000000000c6120005"));
    }

    // Dotted text to an address, each part's low byte; not four parts: 0; an error: one OKOnly box and its line.
    void addressStringToLong()
    {
        const struct { QString text; qint32 value; QString box; } rows[] = {
            {"127.168.1.20", 0x1401A87F, {}}, {"255.255.255.255", -1, {}}, {"1.2.300.-1", qint32(0xFF2C0201), {}},
            {" 1 .+2\t. 3 .  4 ", 0x04030201, {}}, {"10.0.0", 0, {}},
            {"1.2.3.4.5", 0, "Error 9 (Subscript out of range)|100"},
            {"1.2.3.4.5.6", 0, "Error 9 (Subscript out of range)|50"},
            {"1..3.4", 0, "Error 13 (Type mismatch)|150"}, {"1.2.3.4x", 0, "Error 13 (Type mismatch)|150"},
            {"1.2.3.2147483648", 0, "Error 6 (Overflow)|150"}}; // the box and its line
        for (const auto &r : rows) {
            m_context = InlineContext();
            QCOMPARE(Pelorin::addressStringToLong(m_context, r.text).runInline(), r.value);
            const QString box = r.box.section(u'|', 0, 0) + " in procedure AddressStringToLong of Module Ping on line ";
            QCOMPARE(m_context.boxes.join(u'|'), r.box.isEmpty() ? QString() : box + r.box.section(u'|', 1));
        }
    }

    // The host cleaned up (lower case, one pass of "http://" and "www.", a slash off) and looked up before sending.
    void pingAddrBeforeSending()
    {
        setHostLookupForTesting([](const QByteArray &name) -> std::optional<QString> {
            if (name == "ipv6only" || !QByteArrayList{"gateway", "printer-2", "host/", "http://x"}.contains(name))
                return name == "ipv6only" ? std::optional<QString>(QString()) : std::nullopt;
            return QStringLiteral("127.1.2.3");
        });
        const QString found = QStringLiteral("127.1.2.3"), withNul = QString::fromLatin1("gateway\0x", 9);
        const quint32 fail = IpStatus::GeneralFailure, bad = IpStatus::BadDestination;
        const struct { QString host, after; quint32 status; } rows[] = {
            {"HTTP://WWW.Gateway/", found, fail}, {"printer-www.2", found, fail}, {"host//", found, fail},
            {"hthttp://tp://x", found, fail}, {"HTTP://WWW.Unknown/", "HTTP://WWW.Unknown/", bad},
            {"ipv6only", "", bad}, {withNul, withNul, bad}};
        for (const auto &r : rows) {
            m_context = InlineContext();
            QString host = r.host;
            QCOMPARE(pingAddress(m_context, host, 100).runInline(), qint16(-qint32(r.status)));
            QCOMPARE(host, r.after);
            QCOMPARE(m_context.boxes.size(), 0);
            QCOMPARE(m_context.sent.size(), 3);
        }
    }

    // Only a reply from kTarget with its identifier, sequence and data, or an ICMP error quoting it, answers.
    void echoRouting()
    {
        const QByteArray request = ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq));
        auto reply = [](quint16 id, quint16 seq, const QByteArray &d) {
            return ipPacket(kTarget, kMe, icmp(0, 0, id, seq, d));
        };
        auto error = [](quint8 type, quint8 code, const QByteArray &quoted) {
            return ipPacket(kOther, kMe, icmp(type, code, 0, 0, quoted));
        };
        auto row = [](const char *name, const QByteArray &packet, bool answers, quint32 status = 0, quint32 from = 0) {
            const sockaddr_in sender{AF_INET, 0, {from}, {}};
            const auto *bytes = reinterpret_cast<const quint8 *>(packet.constData());
            const EchoRoute::Packet p = from ? EchoRoute::readDatagram(kId, bytes, std::size_t(packet.size()), sender)
                                             : EchoRoute::readRaw(kId, bytes, std::size_t(packet.size()));
            QVERIFY2(EchoRoute::answers(p, kSeq, kTarget, kData) == answers, name);
            if (!answers)
                return;
            QVERIFY2(p.status == status, name);
            QVERIFY2(p.ttl == (p.kind == EchoRoute::Packet::Reply && !from ? 64 : 0), name);
        };
        row("reply", reply(kId, kSeq, kData), true);
        row("reply from another host", ipPacket(kOther, kMe, icmp(0, 0, kId, kSeq, kData)), false);
        row("reply, other identifier", reply(kId + 1, kSeq, kData), false);
        row("reply, other sequence", reply(kId, kSeq + 1, kData), false);
        row("reply, other data", reply(kId, kSeq, "Echo this requesT"), false);
        row("our own request", ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq, kData)), false);
        row("not ICMP", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, kData), 17), false);
        row("host unreachable", error(3, 1, request), true, IpStatus::DestHostUnreachable);
        row("net unreachable", error(3, 0, request), true, IpStatus::DestNetUnreachable);
        row("time exceeded", error(11, 0, request), true, IpStatus::GeneralFailure);
        row("error about another host", error(3, 1, ipPacket(kMe, kOther, icmp(8, 0, kId, kSeq))), false);
        row("error about a reply", error(3, 1, ipPacket(kMe, kTarget, icmp(0, 0, kId, kSeq))), false);
        row("datagram reply", icmp(0, 0, kId, kSeq, kData), true, 0, kTarget);
        row("datagram reply from another host", icmp(0, 0, kId, kSeq, kData), false, 0, kOther);
    }

    // A round trip in whole milliseconds, rounded down: under 1 ms is 0.
    void roundTrip()
    {
        QCOMPARE(EchoRoute::roundTripMs(999999), 0u);
        QCOMPARE(EchoRoute::roundTripMs(1000000), 1u);
    }

    // The next sequence, wrapping, skipping those that requests to the same address still wait on.
    void echoSequences()
    {
        QList<quint16> all;
        for (int k = 0; k < 65536; ++k)
            all << quint16(k);
        const struct { quint16 next; QList<quint16> waitingToTarget; int taken; } rows[] = {
            {7, {6, 8}, 7}, {65535, {65535}, 0}, {65534, {65534, 65535, 0, 1}, 2}, {3, all, -1}};
        for (const auto &r : rows) {
            QSet<quint64> waiting{EchoRoute::key(r.next, kOther)};
            for (quint16 seq : r.waitingToTarget)
                waiting.insert(EchoRoute::key(seq, kTarget));
            const auto got = EchoRoute::freeSequence(r.next, kTarget, [&](quint64 k) { return waiting.contains(k); });
            QCOMPARE(got ? int(*got) : -1, r.taken);
        }
    }

    // A cut-off transfer brings no page, one cut at the cap does; the text in the response's charset, else UTF-8.
    void body()
    {
        const struct { TransferEnd end; bool page; } ends[] = { // transportError, capped, declaredLength, received
            {{false, false, 10, 10}, true}, {{false, false, -1, 7}, true}, {{false, false, 10, 9}, false},
            {{true, false, 10, 10}, false}, {{true, true, 100000000, 4194304}, true}};
        for (const auto &r : ends)
            QVERIFY2(Pelorin::bodyIsPage(r.end) == r.page, qPrintable(QString::number(&r - ends)));
        const QString cafe = QStringLiteral(u"café"), abBad = QStringLiteral(u"ab\ufffd");
        const struct { QByteArray body, contentType; QString text; } rows[] = {
            {"caf\xc3\xa9", "text/html", cafe},                            // no charset: UTF-8
            {"caf\xe9", "text/html; Charset=\"iso-8859-1\"", cafe},        // quoted, any case
            {"caf\xc3\xa9", "text/html; charset=nonesuch", cafe},          // unknown charset
            {"a\xff" "b", "text/html", QStringLiteral(u"a\ufffdb")},        // invalid bytes
            {"ab\xe2\x82", "text/html; charset=utf-8", abBad},             // cut at the end
            {"1\xe2\x82\xac", {}, QStringLiteral(u"1€")}};                  // whole character at the end
        for (const auto &r : rows)
            QCOMPARE(Pelorin::decodeBody(r.body, r.contentType), r.text);
    }

    // The deadline millisecond still waits, a negative time-out not at all; safe across the counter's wrap.
    void tickWaitHolds()
    {
        const struct { quint32 start, now; qint32 timeOut; bool holds; } rows[] = {
            {1000, 1000, 0, true}, {1000, 1001, 0, false}, {1000, 1500, 500, true}, {1000, 1501, 500, false},
            {1000, 1000, -1, false}, {0xFFFFFF00u, 0x10, 500, true}, {0xFFFFFF00u, 0x10, 200, false},
            {0xFFFFFFF0u, 5, INT_MAX, true}};
        for (const auto &r : rows)
            QVERIFY2(Pelorin::tickWaitHolds(r.start, r.now, r.timeOut) == r.holds, qPrintable(QString::number(r.now)));
    }

    // The echo request's data: its text and the moment's stamp. Without an echo socket, how to grant one.
    void echoTexts()
    {
        const QByteArray stamp = echoRequestData(QDateTime(QDate(2024, 3, 7), QTime(9, 5, 2)));
        QCOMPARE(stamp, QByteArray("Echo this request03072024 090502"));
        QString host = QStringLiteral("127.0.0.1");
        QByteArrayList stamps{echoRequestData(QDateTime::currentDateTime())};
        InlineContext context;
        pingAddress(context, host, 100).runInline();
        stamps << echoRequestData(QDateTime::currentDateTime());
        QVERIFY(stamps.contains(context.sent.value(0)));
        const EchoSocket none(EchoSocketKind::None);
        const QString reason = QStringLiteral("This process may not send ICMP echo requests (ping). Allow "
                                              "unprivileged ping sockets with: sysctl -w net.ipv4.ping_group_range="
                                              "\"0 2147483647\"; or give the program raw sockets with: setcap "
                                              "cap_net_raw+p %1");
        QCOMPARE(none.unavailableReason(), reason.arg(QCoreApplication::applicationFilePath()));
    }
};

QTEST_GUILESS_MAIN(ProbeRulesTest)
#include "pelorin_rules_test.moc"
