// Pelorin's rules without a network: the ping module's helpers (address texts, the echo request data,
// reply matching, pingAddress's host lookup and failures before sending), how a fetch's received bytes become
// the page's text, and the callback timer with its millisecond tick. No packets, no DNS lookups.
#include "Harness.h"
#include "HttpBody.h"
#include "CallbackTimer.h"
#include "Ping.h"
#include "platform/EchoService.h"
#include "platform/RawSocketCapability.h"
#include "platform/SocketLayer.h"

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

QString report(int number, const char *description, int line, const char *procedure = "AddressStringToLong")
{
    return QStringLiteral("Error %1 (%2) in procedure %3 of Module Ping on line %4")
        .arg(QString::number(number), QLatin1String(description), QLatin1String(procedure), QString::number(line));
}

// A capability set of the calling thread, as /proc shows it.
quint64 capabilitySet(const char *name)
{
    QFile status(QStringLiteral("/proc/thread-self/status"));
    const QByteArray prefix = QByteArray(name) + ':';
    for (const QByteArray &line : status.open(QIODevice::ReadOnly) ? status.readAll().split('\n') : QByteArrayList())
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().toULongLong(nullptr, 16);
    return ~quint64(0);
}

} // namespace

Q_DECLARE_METATYPE(TransferEnd)
Q_DECLARE_METATYPE(SocketLayerOverride)

class ProbeRulesTest : public QObject
{
    Q_OBJECT

    RecordingChannel m_channel;

    // The one box shown (none for an empty message): Pelorin's, of the given style.
    void compareBox(const QString &message, int style)
    {
        QCOMPARE(m_channel.texts(), message.isEmpty() ? QStringList() : QStringList{message});
        for (const RecordingChannel::Box &b : std::as_const(m_channel.boxes))
            QVERIFY(b.style == style && b.title == QLatin1String("Pelorin"));
    }

private slots:
    void init()
    {
        m_channel.boxes.clear();
        setThreadMessageBoxChannel(&m_channel);
        setEchoSocketKindForTesting(EchoSocketKind::None);
    }

    void cleanup()
    {
        setThreadMessageBoxChannel(nullptr);
        setSocketLayerOverrideForTesting(std::nullopt);
        setHostLookupForTesting({});
        setEchoSocketKindForTesting(EchoSocketKind::Automatic);
    }

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
        QCOMPARE(Pelorin::addressStringToLong(text), value);
        compareBox(message, MsgBox::OKOnly);
    }

    // pingAddress before it sends, its echo socket off. The host text is cleaned up (lower case, "http://"
    // and "www." removed in one pass each, one slash off the end) and looked up; the host handed back is
    // the address found, as given when nothing is found, empty for an answer without an IPv4 address.
    // A failed lookup and a socket layer start-up that fails or is refused (a version before 1.1, no
    // sockets) are reported, a refusal with a warning. Never a success; every start-up but another
    // holder's is released.
    void pingAddrBeforeSending_data()
    {
        QTest::addColumn<SocketLayerOverride>("layer");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("after"); // the host text handed back
        QTest::addColumn<int>("status");    // of the failure; an address of 0 is never sent to
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("style");
        const int failure = IpStatus::GeneralFailure, bad = IpStatus::BadDestination;
        const int inform = MsgBox::OKOnly, warn = MsgBox::OKOnly | MsgBox::Exclamation;
        const QString sockets = QStringLiteral("This application requires a minimum of 1 supported sockets.");
        const QString ip = QStringLiteral("127.0.0.1");
        const QString found = QStringLiteral("127.1.2.3");
        const QString withNul = QString::fromLatin1("gateway\0x", 9);
        auto looked = [&](const char *name, const QString &host, const QString &after, int status = IpStatus::GeneralFailure) {
            QTest::newRow(name) << SocketLayerOverride{} << host << after << status << QString() << inform;
        };
        looked("prefixes and slash", "HTTP://WWW.Gateway/", found);
        looked("www anywhere", "printer-www.2", found);
        looked("one slash only", "host//", found);
        looked("one pass of removal", "hthttp://tp://x", found);
        looked("nothing found: as given", "HTTP://WWW.Unknown/", "HTTP://WWW.Unknown/", bad);
        looked("not IPv4", "ipv6only", "", bad);
        looked("no addresses", "noaddresses", "", bad);
        looked("terminator inside: never looked up", withNul, withNul, bad);
        QTest::newRow("lookup fails") << SocketLayerOverride{} << "oom" << "oom" << failure << report(7, "Out of memory", 20, "PingAddr") << inform;
        QTest::newRow("start-up fails") << SocketLayerOverride{10091} << ip << ip << failure
                                        << "Windows Sockets for 32 bit Windows environments is not successfully responding." << inform;
        QTest::newRow("code beyond 16 bits") << SocketLayerOverride{65536} << ip << ip << failure << report(6, "Overflow", 20, "SocketsInitialize") << inform;
        QTest::newRow("version 1.0") << SocketLayerOverride{0, 0x0001} << ip << ip << failure
                                     << "Windows Sockets Version 1.0 is not supported by Windows Sockets for 32 bit Windows environments." << warn;
        QTest::newRow("no sockets") << SocketLayerOverride{0, 0x0101, 0} << ip << ip << failure << sockets << warn;
        QTest::newRow("socket count negative as 16-bit") << SocketLayerOverride{0, 0x0101, 40000} << ip << ip << failure << sockets << warn;
    }

    void pingAddrBeforeSending()
    {
        QFETCH(SocketLayerOverride, layer);
        QFETCH(QString, host);
        QFETCH(QString, after);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(int, style);
        setHostLookupForTesting([](const QByteArray &name) -> HostEntryPtr {
            if (name == "oom")
                throw std::bad_alloc();
            const QList<quint32> addresses{qToBigEndian(quint32(0x7F010203))}; // 127.1.2.3
            const QByteArray seen(name.constData()); // as a C resolver would read it
            const qint16 family = seen == "ipv6only" ? 23 : kAddressFamilyInet;
            const bool known = QByteArrayList{"gateway", "printer-2", "host/", "http://x", "ipv6only", "noaddresses"}.contains(seen);
            return known ? std::make_unique<HostEntry>(HostEntry{seen, family, 4, seen == "noaddresses" ? QList<quint32>() : addresses}) : nullptr;
        });
        WSADATA data;
        QCOMPARE(WSAStartup(0x0101, &data), 0); // another holder's
        const int before = socketLayerStartupCount();
        setSocketLayerOverrideForTesting(layer);
        QCOMPARE(pingAddress(host, 100), qint16(-status));
        QCOMPARE(host, after);
        compareBox(message, style);
        QCOMPARE(socketLayerStartupCount(), before);
        QCOMPARE(WSACleanup(), 0);
    }

    // Which received packets answer an echo request in flight: a reply from
    // its address with its identifier, sequence and data; an ICMP error that
    // quotes its header. Everything else is someone else's traffic.
    void echoMatching_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<quint32>("from"); // the sender of a datagram; 0: a raw packet, IP header first
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint32>("status");
        const QByteArray request = ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq));
        auto reply = [](quint16 id, quint16 seq, const QByteArray &d) { return ipPacket(kTarget, kMe, icmp(0, 0, id, seq, d)); };
        auto error = [](quint8 type, quint8 code, const QByteArray &quoted) { return ipPacket(kOther, kMe, icmp(type, code, 0, 0, quoted)); };
        auto row = [](const char *name, const QByteArray &packet, int kind, quint32 status = 0, quint32 from = 0) {
            QTest::newRow(name) << packet << from << kind << status;
        };
        using O = EchoMatch::Outcome;

        row("reply", reply(kId, kSeq, kData), O::Reply);
        row("reply from another host", ipPacket(kOther, kMe, icmp(0, 0, kId, kSeq, kData)), O::Unrelated);
        row("reply, other identifier", reply(kId + 1, kSeq, kData), O::Unrelated);
        row("reply, other sequence", reply(kId, kSeq + 1, kData), O::Unrelated);
        row("reply, other data", reply(kId, kSeq, "Echo this requesT"), O::Unrelated);
        row("reply, data cut short", reply(kId, kSeq, kData.left(5)), O::Unrelated);
        row("our own request", ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq, kData)), O::Unrelated);
        row("not ICMP", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, kData), 17), O::Unrelated);
        row("too short", reply(kId, kSeq, {}).left(24), O::Unrelated);
        row("host unreachable", error(3, 1, request), O::Error, IpStatus::DestHostUnreachable);
        row("net unreachable", error(3, 0, request), O::Error, IpStatus::DestNetUnreachable);
        row("time exceeded", error(11, 0, request), O::Error, IpStatus::GeneralFailure);
        row("error about another host", error(3, 1, ipPacket(kMe, kOther, icmp(8, 0, kId, kSeq))), O::Unrelated);
        row("error about another sequence", error(3, 1, ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq - 1))), O::Unrelated);
        row("error about a reply", error(3, 1, ipPacket(kMe, kTarget, icmp(0, 0, kId, kSeq))), O::Unrelated);
        row("error, quoted header cut", error(3, 1, request.left(24)), O::Unrelated);
        row("datagram reply", icmp(0, 0, kId, kSeq, kData), O::Reply, 0, kTarget);
        row("datagram reply from another host", icmp(0, 0, kId, kSeq, kData), O::Unrelated, 0, kOther);
        row("datagram reply, other data", icmp(0, 0, kId, kSeq, "x"), O::Unrelated, 0, kTarget);
    }

    void echoMatching()
    {
        QFETCH(QByteArray, packet);
        QFETCH(quint32, from);
        QFETCH(int, kind);
        QFETCH(quint32, status);
        const EchoMatch::Exchange ex{-1, EchoSocketKind::None, kTarget, kId, kSeq, kData}; // fd, kind, then what was sent
        const sockaddr_in sender{AF_INET, 0, {from}, {}};
        const auto *bytes = reinterpret_cast<const quint8 *>(packet.constData());
        const EchoMatch::Outcome o = from ? EchoMatch::readDatagram(ex, bytes, std::size_t(packet.size()), sender)
                                          : EchoMatch::readRaw(ex, bytes, std::size_t(packet.size()));
        QCOMPARE(int(o.kind), kind);
        QCOMPARE(o.status, status);
        if (kind == EchoMatch::Outcome::Reply && !from)
            QCOMPARE(o.ttl, quint8(64));
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

    // A system timer runs only while isEnabled with a positive period, one at a time, restarted by a
    // new period; ticks of a timer since stopped or replaced are not passed on.
    void timerFollowsEnabledAndInterval()
    {
        CallbackTimer timer;
        QSignalSpy ticks(&timer, &CallbackTimer::timeout);
        auto tick = [&timer](int id) {
            QTimerEvent event(id);
            QCoreApplication::sendEvent(&timer, &event);
        };
        timer.setInterval(-5);
        QCOMPARE(timer.interval(), 0);
        timer.setEnabled(true);
        tick(0); // enabled without a period: no id is current, not even 0
        timer.setInterval(1000000); // a period given later starts nothing by itself...
        QCOMPARE(timer.timerId(), 0);
        timer.setEnabled(true); // ...until isEnabled is set again, once
        const int id = timer.timerId();
        timer.setEnabled(true);
        QVERIFY(id != 0 && timer.timerId() == id);
        tick(id);
        QCOMPARE(ticks.count(), 1);

        timer.setInterval(0); // stops, stays isEnabled
        QVERIFY(timer.isEnabled() && timer.timerId() == 0);
        tick(id);
        timer.setInterval(1000000);
        timer.setEnabled(true);
        timer.setInterval(20); // a new period restarts a running timer
        QVERIFY(ticks.wait(5000));
        const int second = timer.timerId();
        timer.setEnabled(false);
        QVERIFY(second != 0 && timer.timerId() == 0 && timer.interval() == 20);
        tick(second);
        QCOMPARE(ticks.count(), 2);
    }

    // Without an echo socket the reason says how to grant one; a raw socket raises its capability only
    // while it opens. Runs last: it leaves this thread with CAP_NET_RAW alone, as pelorin runs.
    void echoSocketRights()
    {
        const QString reason = echoAvailability().reason; // the echo socket is off here
        QVERIFY2(reason.contains(QStringLiteral("sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""))
                     && reason.contains(QStringLiteral("setcap cap_net_raw+p ") + QCoreApplication::applicationFilePath()), qPrintable(reason));
        constexpr quint64 netRaw = quint64(1) << 13;
        if (!(capabilitySet("CapPrm") & netRaw))
            QSKIP("CAP_NET_RAW is not permitted here");
        QVERIFY(limitCapabilitiesToRawSockets());
        QCOMPARE(capabilitySet("CapPrm"), netRaw);
        QCOMPARE(capabilitySet("CapEff"), quint64(0));
        setEchoSocketKindForTesting(EchoSocketKind::Raw);
        IcmpHandleGuard handle(IcmpCreateFile());
        QCOMPARE(IcmpHandleKind(handle.get()), EchoSocketKind::Raw);
        QCOMPARE(capabilitySet("CapEff"), quint64(0));
    }
};

QTEST_GUILESS_MAIN(ProbeRulesTest)
#include "pelorin_rules_test.moc"
