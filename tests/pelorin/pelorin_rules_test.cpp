// Pelorin's rules without a network: the ping module's helpers (address texts, the echo request data,
// reply matching, pingAddress's host lookup and failures before sending), how a fetch's received bytes become
// the page's text, and the callback timer with its millisecond tick. No packets, no DNS lookups.
#include "Harness.h"
#include "HttpBody.h"
#include "EchoSocket.h"
#include "Ping.h"
#include "ProbeObject.h"

#include <QtTest>

#include <cstring>
#include <new>

#include <netinet/in.h>

using namespace Pelorin;

namespace {

constexpr quint32 kTarget = 0x0500007F; // 127.0.0.5 as it lies in memory
constexpr quint32 kMe = 0x0100007F;     // 127.0.0.1
constexpr quint32 kOther = 0x0900007F;  // 127.0.0.9
constexpr quint16 kId = 0x3412;
constexpr quint16 kSeq = 77;
const QByteArray kData("Echo this request");

// A packet as a raw socket reads it: an IPv4 header from source to dest, then the ICMP message.
QByteArray ipPacket(quint32 source, quint32 dest, const QByteArray &icmp, char protocol = 1)
{
    QByteArray ip(20, '\0');
    ip[0] = char(0x45);
    ip[8] = char(64);
    ip[9] = protocol;
    std::memcpy(ip.data() + 12, &source, 4);
    std::memcpy(ip.data() + 16, &dest, 4);
    return ip + icmp;
}

QByteArray icmp(quint8 type, quint8 code, quint16 identifier, quint16 sequence, const QByteArray &rest = {})
{
    QByteArray header(8, '\0');
    header[0] = char(type);
    header[1] = char(code);
    const quint16 seq = qToBigEndian(sequence);
    std::memcpy(header.data() + 4, &identifier, 2);
    std::memcpy(header.data() + 6, &seq, 2);
    return header + rest;
}

// Runs the ping module with every wait over at once: box texts recorded, echo requests failing as
// without a socket (an address in 0.0.0.0/8 never sent).
struct InlineContext : PingContext {
    QStringList boxes;
    int echoes = 0;
    Task<void> yield() override { co_return; }
    Task<int> showMessageBox(QString text, int style) override
    {
        boxes << text + (style == MsgBox::OKOnly ? "" : " (style)");
        co_return MsgBox::AnswerOK;
    }
    Task<EchoResult> echo(quint32 address, QByteArray, qint32) override
    {
        ++echoes;
        EchoResult r;
        r.status = (qFromBigEndian(address) >> 24) == 0 ? IpStatus::BadDestination : IpStatus::GeneralFailure;
        co_return r;
    }
};

QString report(int number, const char *description, int line, const char *procedure = "AddressStringToLong")
{
    return QStringLiteral("Error %1 (%2) in procedure %3 of Module Ping on line %4")
        .arg(QString::number(number), QLatin1String(description), QLatin1String(procedure), QString::number(line));
}

} // namespace

Q_DECLARE_METATYPE(TransferEnd)

class ProbeRulesTest : public QObject
{
    Q_OBJECT

    InlineContext m_context;

    // The one box of style OKOnly shown, none for an empty message.
    void compareBox(const QString &message) { QCOMPARE(m_context.boxes, message.isEmpty() ? QStringList() : QStringList{message}); }

private slots:
    void init() { m_context = InlineContext(); }
    void cleanup() { setHostLookupForTesting({}); }

    void addressStringToLong_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("dotted address") << "127.168.1.20" << qint32(0x1401A87F) << QString();
        QTest::newRow("all bits set, no overflow") << "255.255.255.255" << qint32(-1) << QString();
        QTest::newRow("each part's low byte") << "1.2.300.-1" << qint32(0xFF2C0201) << QString();
        QTest::newRow("blanks and signs") << " 1 .+2\t. 3 .  4 " << qint32(0x04030201) << QString();
        QTest::newRow("three parts") << "10.0.0" << 0 << QString();
        QTest::newRow("five parts") << "1.2.3.4.5" << 0 << report(9, "Subscript out of range", 100);
        QTest::newRow("six parts") << "1.2.3.4.5.6" << 0 << report(9, "Subscript out of range", 50);
        QTest::newRow("empty part") << "1..3.4" << 0 << report(13, "Type mismatch", 150);
        QTest::newRow("letters") << "1.2.3.4x" << 0 << report(13, "Type mismatch", 150);
        QTest::newRow("beyond 32 bits") << "1.2.3.2147483648" << 0 << report(6, "Overflow", 150);
    }

    void addressStringToLong()
    {
        QFETCH(QString, text);
        QFETCH(qint32, value);
        QFETCH(QString, message);
        QCOMPARE(Pelorin::addressStringToLong(m_context, text).runInline(), value);
        compareBox(message);
    }

    // pingAddress before it sends. The host text is cleaned up (lower case, "http://" and "www." removed
    // in one pass each, one slash off the end) and looked up; the host handed back is the address found,
    // as given when nothing is found, empty for an answer without an IPv4 address. A failed lookup is
    // reported. Never a success: three failed echoes, an unusable address never sent to.
    void pingAddrBeforeSending_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("after"); // the host text handed back
        QTest::addColumn<int>("status");    // of the failure; an address of 0 is never sent to
        QTest::addColumn<QString>("message");
        const int bad = IpStatus::BadDestination;
        const QString found = QStringLiteral("127.1.2.3");
        const QString withNul = QString::fromLatin1("gateway\0x", 9);
        auto looked = [&](const char *name, const QString &host, const QString &after, int status = IpStatus::GeneralFailure) {
            QTest::newRow(name) << host << after << status << QString();
        };
        looked("prefixes and slash", "HTTP://WWW.Gateway/", found);
        looked("www anywhere", "printer-www.2", found);
        looked("one slash only", "host//", found);
        looked("one pass of removal", "hthttp://tp://x", found);
        looked("nothing found: as given", "HTTP://WWW.Unknown/", "HTTP://WWW.Unknown/", bad);
        looked("no IPv4 address", "ipv6only", "", bad);
        looked("terminator inside: never looked up", withNul, withNul, bad);
        QTest::newRow("lookup fails") << "oom" << "oom" << int(IpStatus::GeneralFailure) << report(7, "Out of memory", 20, "PingAddr");
    }

    void pingAddrBeforeSending()
    {
        QFETCH(QString, host);
        QFETCH(QString, after);
        QFETCH(int, status);
        QFETCH(QString, message);
        setHostLookupForTesting([](const QByteArray &name) -> std::optional<QString> {
            if (name == "oom")
                throw std::bad_alloc();
            if (name == "ipv6only")
                return QString();
            const bool known = QByteArrayList{"gateway", "printer-2", "host/", "http://x"}.contains(name);
            return known ? std::optional<QString>(QStringLiteral("127.1.2.3")) : std::nullopt;
        });
        QCOMPARE(pingAddress(m_context, host, 100).runInline(), qint16(-status));
        QCOMPARE(host, after);
        compareBox(message);
        QCOMPARE(m_context.echoes, message.isEmpty() ? 3 : 0);
    }

    // Which received packets answer the echo request in flight to kTarget: a reply from its address with
    // its identifier, sequence and data; an ICMP error that quotes its header. Everything else is someone
    // else's traffic, and a reply for a request nobody waits for any more reaches nobody.
    void echoRouting_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<quint32>("from"); // the sender of a datagram; 0: a raw packet, IP header first
        QTest::addColumn<bool>("answers");
        QTest::addColumn<quint32>("status");
        const QByteArray request = ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq));
        auto reply = [](quint16 id, quint16 seq, const QByteArray &d) { return ipPacket(kTarget, kMe, icmp(0, 0, id, seq, d)); };
        auto error = [](quint8 type, quint8 code, const QByteArray &quoted) { return ipPacket(kOther, kMe, icmp(type, code, 0, 0, quoted)); };
        auto row = [](const char *name, const QByteArray &packet, bool answers, quint32 status = 0, quint32 from = 0) {
            QTest::newRow(name) << packet << from << answers << status;
        };
        row("reply", reply(kId, kSeq, kData), true);
        row("reply from another host", ipPacket(kOther, kMe, icmp(0, 0, kId, kSeq, kData)), false);
        row("reply, other identifier", reply(kId + 1, kSeq, kData), false);
        row("reply, other sequence", reply(kId, kSeq + 1, kData), false);
        row("reply, other data", reply(kId, kSeq, "Echo this requesT"), false);
        row("reply, data cut short", reply(kId, kSeq, kData.left(5)), false);
        row("our own request", ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq, kData)), false);
        row("not ICMP", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, kData), 17), false);
        row("too short", reply(kId, kSeq, {}).left(24), false);
        row("host unreachable", error(3, 1, request), true, IpStatus::DestHostUnreachable);
        row("net unreachable", error(3, 0, request), true, IpStatus::DestNetUnreachable);
        row("time exceeded", error(11, 0, request), true, IpStatus::GeneralFailure);
        row("error about another host", error(3, 1, ipPacket(kMe, kOther, icmp(8, 0, kId, kSeq))), false);
        row("error about another sequence", error(3, 1, ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq - 1))), false);
        row("error about a reply", error(3, 1, ipPacket(kMe, kTarget, icmp(0, 0, kId, kSeq))), false);
        row("error, quoted header cut", error(3, 1, request.left(24)), false);
        row("datagram reply", icmp(0, 0, kId, kSeq, kData), true, 0, kTarget);
        row("datagram reply from another host", icmp(0, 0, kId, kSeq, kData), false, 0, kOther);
        row("datagram reply, other identifier", icmp(0, 0, kId + 1, kSeq, kData), false, 0, kTarget);
        row("datagram reply, other data", icmp(0, 0, kId, kSeq, "x"), false, 0, kTarget);
    }

    void echoRouting()
    {
        QFETCH(QByteArray, packet);
        QFETCH(quint32, from);
        QFETCH(bool, answers);
        QFETCH(quint32, status);
        const sockaddr_in sender{AF_INET, 0, {from}, {}};
        const auto *bytes = reinterpret_cast<const quint8 *>(packet.constData());
        const EchoRoute::Packet p = from ? EchoRoute::readDatagram(kId, bytes, std::size_t(packet.size()), sender)
                                         : EchoRoute::readRaw(kId, bytes, std::size_t(packet.size()));
        QCOMPARE(EchoRoute::answers(p, kSeq, kTarget, kData), answers);
        if (answers)
            QCOMPARE(p.status, status);
        if (answers && p.kind == EchoRoute::Packet::Reply)
            QCOMPARE(p.ttl, quint8(from ? 0 : 64));
    }

    // A new request takes the next sequence, wrapping at 65,536, and skips those that requests to the same
    // address still wait on; other addresses' requests don't count.
    void echoSequences_data()
    {
        QTest::addColumn<quint16>("next");
        QTest::addColumn<QList<quint16>>("waitingToTarget");
        QTest::addColumn<int>("taken"); // -1: none free
        QTest::newRow("next is free") << quint16(7) << QList<quint16>{6, 8} << 7;
        QTest::newRow("wraps past 65535") << quint16(65535) << QList<quint16>{65535} << 0;
        QTest::newRow("skips a run") << quint16(65534) << QList<quint16>{65534, 65535, 0, 1} << 2;
        QList<quint16> all;
        for (int s = 0; s < 65536; ++s)
            all << quint16(s);
        QTest::newRow("every one waits") << quint16(3) << all << -1;
    }

    void echoSequences()
    {
        QFETCH(quint16, next);
        QFETCH(QList<quint16>, waitingToTarget);
        QFETCH(int, taken);
        QSet<quint64> waiting{EchoRoute::key(next, kOther)};
        for (quint16 s : waitingToTarget)
            waiting.insert(EchoRoute::key(s, kTarget));
        const auto got = EchoRoute::freeSequence(next, kTarget, [&](quint64 k) { return waiting.contains(k); });
        QCOMPARE(got ? int(*got) : -1, taken);
    }

    void echoRequestData()
    {
        QCOMPARE(Pelorin::echoRequestData(QDateTime(QDate(2024, 3, 7), QTime(9, 5, 2))), QByteArray("Echo this request03072024 090502"));
    }

    // A cut-off transfer brings no page; a body cut at the cap on purpose does.
    void bodyIsPage_data()
    {
        QTest::addColumn<TransferEnd>("end");
        QTest::addColumn<bool>("page");
        // transportError, capped, declaredLength, received
        QTest::newRow("complete, declared length") << TransferEnd{false, false, 10, 10} << true;
        QTest::newRow("ended at close, no length") << TransferEnd{false, false, -1, 7} << true;
        QTest::newRow("empty, declared empty") << TransferEnd{false, false, 0, 0} << true;
        QTest::newRow("shorter than declared") << TransferEnd{false, false, 10, 9} << false;
        QTest::newRow("reset or broken framing") << TransferEnd{true, false, 10, 10} << false;
        QTest::newRow("hung up at the cap") << TransferEnd{true, true, 100000000, 4194304} << true;
    }

    void bodyIsPage()
    {
        QFETCH(TransferEnd, end);
        QFETCH(bool, page);
        QCOMPARE(Pelorin::bodyIsPage(end), page);
    }

    // The charset of the response, else UTF-8; a sequence cut at the end is one replacement character.
    void decodeBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QString>("text");
        const QString cafe = QStringLiteral(u"café");
        const QString abBad = QStringLiteral(u"ab\ufffd");
        QTest::newRow("no charset: UTF-8") << QByteArray("caf\xc3\xa9") << QByteArray("text/html") << cafe;
        QTest::newRow("charset quoted, any case") << QByteArray("caf\xe9") << QByteArray("text/html; Charset=\"iso-8859-1\"") << cafe;
        QTest::newRow("unknown charset") << QByteArray("caf\xc3\xa9") << QByteArray("text/html; charset=nonesuch") << cafe;
        QTest::newRow("invalid bytes") << QByteArray("a\xff" "b") << QByteArray("text/html") << QStringLiteral(u"a\ufffdb");
        QTest::newRow("cut at the end") << QByteArray("ab\xe2\x82") << QByteArray("text/html; charset=utf-8") << abBad;
        QTest::newRow("four-byte cut after three") << QByteArray("ab\xf0\x9f\x98") << QByteArray() << abBad;
        QTest::newRow("whole character at the end") << QByteArray("1\xe2\x82\xac") << QByteArray() << QStringLiteral(u"1€");
    }

    void decodeBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, text);
        QCOMPARE(Pelorin::decodeBody(body, contentType), text);
    }

    void tickWaitHolds_data()
    {
        QTest::addColumn<quint32>("start");
        QTest::addColumn<quint32>("now");
        QTest::addColumn<qint32>("timeOut");
        QTest::addColumn<bool>("holds");
        QTest::newRow("zero waits in the start millisecond") << 1000u << 1000u << 0 << true;
        QTest::newRow("zero ends when the tick moves") << 1000u << 1001u << 0 << false;
        QTest::newRow("deadline millisecond still waits") << 1000u << 1500u << 500 << true;
        QTest::newRow("past the deadline") << 1000u << 1501u << 500 << false;
        QTest::newRow("negative never waits") << 1000u << 1000u << -1 << false;
        QTest::newRow("counter wraps, inside") << 0xFFFFFF00u << 0x10u << 500 << true;
        QTest::newRow("counter wraps, past") << 0xFFFFFF00u << 0x10u << 200 << false;
        QTest::newRow("largest time-out across the wrap") << 0xFFFFFFF0u << 5u << qint32(INT_MAX) << true;
    }

    void tickWaitHolds()
    {
        QFETCH(quint32, start);
        QFETCH(quint32, now);
        QFETCH(qint32, timeOut);
        QFETCH(bool, holds);
        QCOMPARE(Pelorin::tickWaitHolds(start, now, timeOut), holds);
    }

    // Without an echo socket the reason says how to grant one.
    void echoSocketRights()
    {
        const EchoSocket none(EchoSocketKind::None);
        QCOMPARE(none.kind(), EchoSocketKind::None);
        const QString reason = none.unavailableReason();
        QVERIFY2(reason.contains(QStringLiteral("sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""))
                     && reason.contains(QStringLiteral("setcap cap_net_raw+p ") + QCoreApplication::applicationFilePath()), qPrintable(reason));
    }
};

QTEST_GUILESS_MAIN(ProbeRulesTest)
#include "pelorin_rules_test.moc"
