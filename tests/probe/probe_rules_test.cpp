// Pelorin's rules without a network: the ping module's helpers (address texts, host lookups, the socket
// layer's start-up checks, the echo request data, reply matching; PingAddr only with the echo socket
// switched off) and how a fetch's received bytes become the page's text. No packets, no DNS lookups.
#include "EchoService.h"
#include "Harness.h"
#include "HttpBody.h"
#include "MessageBoxChannel.h"
#include "PelorinInterface.h"
#include "RawSocketCapability.h"
#include "SocketLayer.h"
#include "modPing.h"

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

const QString kStartupMessage =
    QStringLiteral("Windows Sockets for 32 bit Windows environments is not successfully responding.");

QString report(int number, const char *description, int line, const char *procedure = "AddressStringToLong")
{
    return QStringLiteral("Error %1 (%2) in procedure %3 of Module Ping on line %4")
        .arg(number)
        .arg(QLatin1String(description), QLatin1String(procedure))
        .arg(line);
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

class ProbeRulesTest : public QObject
{
    Q_OBJECT

    RecordingChannel m_channel;

    // The texts of the boxes shown; each must be Pelorin's and of the given style.
    void compareBoxes(const QStringList &texts, int style)
    {
        QCOMPARE(m_channel.texts(), texts);
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
        QTest::newRow("empty text") << "" << 0 << QString();
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
        QCOMPARE(AddressStringToLong(text), value);
        compareBoxes(message.isEmpty() ? QStringList() : QStringList{message}, MsgBox::OKOnly);
    }

    // The host text is cleaned up once, then looked up; a failed lookup leaves
    // it as given, an answer without an IPv4 address gives an empty text.
    void hostToAddressString_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QByteArrayList>("asked");
        QTest::addColumn<QString>("address");
        const QString found = QStringLiteral("127.1.2.3");
        QTest::newRow("prefixes and slash") << "HTTP://WWW.Gateway/" << QByteArrayList{"gateway"} << found;
        QTest::newRow("www anywhere") << "printer-www.2" << QByteArrayList{"printer-2"} << found;
        QTest::newRow("one slash only") << "host//" << QByteArrayList{"host/"} << found;
        QTest::newRow("one pass of removal") << "hthttp://tp://x" << QByteArrayList{"http://x"} << found;
        QTest::newRow("unknown: as given") << "HTTP://WWW.Unknown/" << QByteArrayList{"unknown"} << "HTTP://WWW.Unknown/";
        QTest::newRow("not IPv4") << "ipv6only" << QByteArrayList{"ipv6only"} << "";
        QTest::newRow("no addresses") << "noaddresses" << QByteArrayList{"noaddresses"} << "";
        // Never looked up as its first piece.
        const QString withNul = QString::fromLatin1("gateway\0x", 9);
        QTest::newRow("terminator inside") << withNul << QByteArrayList() << withNul;
    }

    void hostToAddressString()
    {
        QFETCH(QString, host);
        QFETCH(QByteArrayList, asked);
        QFETCH(QString, address);
        QByteArrayList names;
        setHostLookupForTesting([&](const QByteArray &name) -> HostEntryPtr {
            names << name;
            auto e = std::make_unique<HostEntry>();
            e->h_addrtype = name == "ipv6only" ? 23 : kAddressFamilyInet;
            e->h_length = 4;
            if (name != "noaddresses")
                e->h_addr_list = {qToBigEndian(quint32(0x7F010203))};
            return name == "unknown" ? nullptr : std::move(e);
        });
        QCOMPARE(HostToAddressString(host), address);
        QCOMPARE(names, asked);
        QVERIFY(m_channel.boxes.isEmpty());
    }

    // A start-up that worked is made, and kept only when the version and the
    // socket count do; its refusals warn, a failed start-up only informs.
    void socketsInitialize_data()
    {
        QTest::addColumn<int>("startupResult");
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("sockets");
        QTest::addColumn<QString>("message"); // none: initialized
        const QString sockets = QStringLiteral("This application requires a minimum of 1 supported sockets.");
        const QString version = QStringLiteral(
            "Windows Sockets Version 1.0 is not supported by Windows Sockets for 32 bit Windows environments.");
        QTest::newRow("1.1") << 0 << 0x0101 << 32767 << QString();
        QTest::newRow("1.0") << 0 << 0x0001 << 32767 << version;
        QTest::newRow("no sockets") << 0 << 0x0101 << 0 << sockets;
        QTest::newRow("socket count negative as 16-bit") << 0 << 0x0101 << 40000 << sockets;
        QTest::newRow("start-up fails") << 10091 << 0x0101 << 32767 << kStartupMessage;
        QTest::newRow("code beyond 16 bits") << 65536 << 0x0101 << 32767 << report(6, "Overflow", 20, "SocketsInitialize");
    }

    void socketsInitialize()
    {
        QFETCH(int, startupResult);
        QFETCH(int, version);
        QFETCH(int, sockets);
        QFETCH(QString, message);
        const bool startupMade = startupResult == 0;
        setSocketLayerOverrideForTesting(SocketLayerOverride{startupResult, quint16(version), quint16(sockets)});
        const int before = socketLayerStartupCount();
        bool made = !startupMade;
        QCOMPARE(SocketsInitialize(made), message.isEmpty());
        QCOMPARE(made, startupMade);
        QCOMPARE(socketLayerStartupCount(), before + (startupMade ? 1 : 0));
        if (made)
            QCOMPARE(WSACleanup(), 0);
        QCOMPARE(socketLayerStartupCount(), before);
        compareBoxes(message.isEmpty() ? QStringList() : QStringList{message},
                     startupMade ? MsgBox::OKOnly | MsgBox::Exclamation : int(MsgBox::OKOnly));
    }

    // Which received packets answer an echo request in flight: a reply from
    // its address with its identifier, sequence and data; an ICMP error that
    // quotes its header. Everything else is someone else's traffic.
    void echoMatching_data()
    {
        QTest::addColumn<bool>("datagram");
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<quint32>("from"); // datagram sockets: the sender
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint32>("status");
        const QByteArray data("Echo this request");
        const QByteArray request = ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq));
        auto reply = [&](quint16 id, quint16 seq, const QByteArray &d) { return ipPacket(kTarget, kMe, icmp(0, 0, id, seq, d)); };
        auto error = [](quint8 type, quint8 code, const QByteArray &quoted) { return ipPacket(kOther, kMe, icmp(type, code, 0, 0, quoted)); };
        auto row = [](const char *name, bool datagram, const QByteArray &packet, int kind, quint32 status = 0,
                      quint32 from = kTarget) { QTest::newRow(name) << datagram << packet << from << kind << status; };
        using O = EchoMatch::Outcome;

        row("reply", false, reply(kId, kSeq, data), O::Reply);
        row("reply from another host", false, ipPacket(kOther, kMe, icmp(0, 0, kId, kSeq, data)), O::Unrelated);
        row("reply, other identifier", false, reply(kId + 1, kSeq, data), O::Unrelated);
        row("reply, other sequence", false, reply(kId, kSeq + 1, data), O::Unrelated);
        row("reply, other data", false, reply(kId, kSeq, "Echo this requesT"), O::Unrelated);
        row("reply, data cut short", false, reply(kId, kSeq, data.left(5)), O::Unrelated);
        row("our own request", false, ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq, data)), O::Unrelated);
        row("not ICMP", false, ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, data), 17), O::Unrelated);
        row("too short", false, reply(kId, kSeq, {}).left(24), O::Unrelated);
        row("host unreachable", false, error(3, 1, request), O::Error, IpStatus::DestHostUnreachable);
        row("net unreachable", false, error(3, 0, request), O::Error, IpStatus::DestNetUnreachable);
        row("time exceeded", false, error(11, 0, request), O::Error, IpStatus::GeneralFailure);
        row("error about another host", false, error(3, 1, ipPacket(kMe, kOther, icmp(8, 0, kId, kSeq))), O::Unrelated);
        row("error about another sequence", false, error(3, 1, ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq - 1))), O::Unrelated);
        row("error about another identifier", false, error(3, 1, ipPacket(kMe, kTarget, icmp(8, 0, kId - 1, kSeq))), O::Unrelated);
        row("error about a reply", false, error(3, 1, ipPacket(kMe, kTarget, icmp(0, 0, kId, kSeq))), O::Unrelated);
        row("error, quoted header cut", false, error(3, 1, request.left(24)), O::Unrelated);
        row("datagram reply", true, icmp(0, 0, kId, kSeq, data), O::Reply);
        row("datagram reply from another host", true, icmp(0, 0, kId, kSeq, data), O::Unrelated, 0, kOther);
        row("datagram reply, other data", true, icmp(0, 0, kId, kSeq, "x"), O::Unrelated);
    }

    void echoMatching()
    {
        QFETCH(bool, datagram);
        QFETCH(QByteArray, packet);
        QFETCH(quint32, from);
        QFETCH(int, kind);
        QFETCH(quint32, status);
        EchoMatch::Exchange ex;
        ex.address = kTarget;
        ex.identifier = kId;
        ex.sequence = kSeq;
        ex.data = QByteArray("Echo this request");
        sockaddr_in sender{};
        sender.sin_addr.s_addr = from;
        const auto *bytes = reinterpret_cast<const quint8 *>(packet.constData());
        const EchoMatch::Outcome o = datagram ? EchoMatch::readDatagram(ex, bytes, std::size_t(packet.size()), sender)
                                              : EchoMatch::readRaw(ex, bytes, std::size_t(packet.size()));
        QCOMPARE(int(o.kind), kind);
        QCOMPARE(o.status, status);
        if (kind == EchoMatch::Outcome::Reply && !datagram)
            QCOMPARE(o.ttl, quint8(64));
    }

    void echoRequestData()
    {
        QCOMPARE(EchoRequestData(QDateTime(QDate(2024, 3, 7), QTime(9, 5, 2))), QByteArray("Echo this request03072024 090502"));
    }

    // PingAddr without an echo socket, with a failed start-up or a failed
    // lookup: never a success, the failure reported, the host text kept and
    // another holder's start-up left as it was.
    void pingAddrFails_data()
    {
        QTest::addColumn<int>("startupResult");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("no echo socket") << 0 << "127.0.0.1" << QStringList();
        QTest::newRow("start-up fails") << 10091 << "127.0.0.1" << QStringList{kStartupMessage};
        QTest::newRow("lookup fails") << 0 << "gateway" << QStringList{report(7, "Out of memory", 20, "PingAddr")};
    }

    void pingAddrFails()
    {
        QFETCH(int, startupResult);
        QFETCH(QString, host);
        QFETCH(QStringList, messages);
        setHostLookupForTesting([](const QByteArray &name) -> HostEntryPtr {
            return name == "gateway" ? throw std::bad_alloc() : nullptr;
        });
        WSADATA data;
        QCOMPARE(WSAStartup(0x0101, &data), 0);
        const int before = socketLayerStartupCount();
        setSocketLayerOverrideForTesting(SocketLayerOverride{startupResult, 0x0101, 100});
        const QString given = host;
        QCOMPARE(PingAddr(host, 100), qint16(-int(IpStatus::GeneralFailure)));
        QCOMPARE(host, given);
        QCOMPARE(m_channel.texts(), messages);
        QCOMPARE(socketLayerStartupCount(), before);
        QCOMPARE(WSACleanup(), 0);
    }

    void availabilityExplainsHowToGrant()
    {
        const EchoAvailability a = echoAvailability();
        QVERIFY(!a.usable);
        QVERIFY2(a.reason.contains(QStringLiteral("sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"")), qPrintable(a.reason));
        QVERIFY2(a.reason.contains(QStringLiteral("setcap cap_net_raw+p ") + QCoreApplication::applicationFilePath()),
                 qPrintable(a.reason));
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
        const QString abBad = QStringLiteral("ab") + QChar(QChar::ReplacementCharacter);
        QTest::newRow("no charset: UTF-8") << QByteArray("caf\xc3\xa9") << QByteArray("text/html") << cafe;
        QTest::newRow("charset given") << QByteArray("caf\xe9") << QByteArray("text/plain; charset=ISO-8859-1") << cafe;
        QTest::newRow("quoted, any case") << QByteArray("caf\xe9") << QByteArray("text/html;Charset=\"iso-8859-1\"") << cafe;
        QTest::newRow("unknown charset") << QByteArray("caf\xc3\xa9") << QByteArray("text/html; charset=nonesuch") << cafe;
        QTest::newRow("UTF-16") << QByteArray("h\0i\0", 4) << QByteArray("text/html; charset=utf-16le") << "hi";
        QTest::newRow("invalid bytes") << QByteArray("a\xff" "b") << QByteArray("text/html") << QStringLiteral(u"a\ufffdb");
        QTest::newRow("cut at the end") << QByteArray("ab\xe2\x82") << QByteArray("text/html") << abBad;
        QTest::newRow("four-byte cut after three") << QByteArray("ab\xf0\x9f\x98") << QByteArray() << abBad;
        QTest::newRow("whole character at the end") << QByteArray("1\xe2\x82\xac") << QByteArray() << QStringLiteral(u"1€");
        QTest::newRow("cut, UTF-8 declared") << QByteArray("ab\xe2\x82") << QByteArray("text/html; charset=utf-8") << abBad;
    }

    void decodeBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, text);
        QCOMPARE(Pelorin::decodeBody(body, contentType), text);
    }

    // Runs last: it leaves this thread with CAP_NET_RAW alone, as pelorin runs.
    void rawSocketRaisesItsCapabilityOnlyWhileOpening()
    {
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
#include "probe_rules_test.moc"
