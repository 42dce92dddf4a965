// Guards base/. The scan engine on stand-in probes: address walk, the page asked for (port 80, id.htm), slots (1, the
// default 50 and 255; 0 and 256 refused), rows and their pages, repeated answers, stop, held, dropped and refused
// starts, failures; hosts seen through ARP when the driver gives a look-up; a list that grows while the scan runs.
// The pure rules: the start checks and their texts, identification pages, typed numbers, the ping time as shown
// ("<0 ms" for 0), and the output formats: CSV quoting, formula leads neutralised in CSV and copied lines, control
// characters as visible escapes (C0, DEL, C1; the table's line breaks too), JSON escapes. The hardware look-ups: a
// host's MAC from the kernel's neighbour table and its maker from the IEEE registry; which addresses lie on this
// machine's segments; which neighbour entries ARP confirmed during a scan.
#include "Harness.h"
#include "StandInProbe.h"
#include "engine/IdPage.h"
#include "engine/ResultFormat.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "engine/TextNumber.h"
#include "netinfo/LocalSegments.h"
#include "netinfo/NeighbourTable.h"
#include "netinfo/VendorRegistry.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <linux/neighbour.h>

#include <limits>
#include <numeric>

using Harness::host;
using namespace TextNumber;
using ResultFormat::Format;
using Seen = HostRecord::Seen;

namespace {

QString qvPage(const QString &text) { return "<title>Quorvane Product ID</title><body>" + text + "</body>"; }

// As the IEEE writes it (CRLF, quoted fields with commas, doubled quotes, line breaks, UTF-8); then rows to skip.
const char Registry[] =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-L,00D0EF,IGT,9295 PROTOTYPE DRIVE RENO NV US 89511 \r\n"
    "MA-L,001EFC,\"JSC \"\"MASSA-K\"\", Inc\",\"15, A, Pirogovskaya nab.\nSaint-Petersburg RU 194044 \"\r\n"
    "MA-L,94d86b,\xe6\xa0\xaa\xe5\xbc\x8f\xe4\xbc\x9a\xe7\xa4\xbe,\"Henger u.\n2/b Budapest HU 1027 \"\r\n"
    "MA-L,0001C8,THOMAS CONRAD CORP.,1908-R KRAMER LANE AUSTIN TX US 78758 \r\n"
    "MA-L,0001C8,CONRAD CORP.,     \r\n"
    "MA-L,12345,Short Prefix,\r\n"
    "MA-L,ABCDEF\r\n"
    "MA-L,0A0B0C,   ,nameless\r\n"
    "MA-L,A1B2C3,\"Unclosed quote,x\r\n"
    "MA-L,C0FFEE,After Unclosed,x\r\n";

enum Disturbance { StopAtFirstPage, ServerDiesAtFirstPage, PendingThenRefused, PendingThenStopped, NoProbe, DeadProbe };

} // namespace

class BaseTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<StandInFactory> m_factory;
    std::unique_ptr<ScanEngine> m_engine; // goes first
    // What the engine said in the test: rows completed, ends, workers busy at the end (-2: still scanning), messages.
    struct Out { QList<HostRecord> complete; int finished = 0; int busyAtFinish = -1; QStringList messages; } m_out;

private slots:
    void init()
    {
        m_engine.reset();
        m_factory = std::make_unique<StandInFactory>();
        m_engine = std::make_unique<ScanEngine>(*m_factory, [] { return ScanEngine::Settings{100, 3}; });
        m_out = {};
        connect(m_engine.get(), &ScanEngine::rowComplete, this, [this](auto, auto &h) { m_out.complete << h; });
        connect(m_engine.get(), &ScanEngine::finished, this, [this] {
            ++m_out.finished;
            m_out.busyAtFinish = m_engine->isScanning() ? -2 : m_engine->busyCount();
        });
        connect(m_engine.get(), &ScanEngine::message, this, [this](auto &text) { m_out.messages << text; });
    }

    // Even hosts answer every ping twice and .0's page comes third; ARP finds .3; the other odd hosts fail.
    void walk()
    {
        for (int octet = 0; octet <= 254; ++octet) {
            m_factory->pingTimes.insert(host(octet), octet % 2 ? -1 : octet);
            m_factory->pages.insert(host(octet), octet == 4 ? "<body>Printer</body>" : qvPage("Unit " + host(octet)));
        }
        QStringList asked;
        qint64 oldest = -1;
        m_engine->setArpLookup([&](const QString &address, qint64 scanMs) {
            asked << address;
            oldest = std::max(oldest, scanMs);
            return address == host(3) ? QStringLiteral("00:D0:EF:00:00:03") : QString();
        });
        StandInRequest held;
        m_factory->onRequest = [&](const StandInRequest &r) {
            if (!r.page)
                m_factory->answer(r); // and once more on return
            if (r.page && r.host == host(0))
                held = r;
            return r.probe != held.probe;
        };
        connect(m_engine.get(), &ScanEngine::rowComplete, this, [&] {
            if (m_out.complete.size() == 2)
                m_factory->answer(held);
        });
        QSignalSpy failedSpy(m_engine.get(), &ScanEngine::pingFailed);
        QVERIFY(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 0, 255})));
        QTRY_COMPARE(m_engine->isScanning(), false);
        QCOMPARE(asked.size(), 127);
        QCOMPARE(asked.first(), host(1));
        QCOMPARE_GE(oldest, 0);
        QCOMPARE_LT(oldest, 5000);
        QCOMPARE(failedSpy.size(), 126);
        QCOMPARE(failedSpy.first(), (QVariantList{host(1), qint16(-1)}));
        QCOMPARE(m_engine->dispatchedCount(), 255);
        QCOMPARE(m_factory->requests.size(), 255 + 129);
        for (const StandInRequest &r : std::as_const(m_factory->requests))
            QCOMPARE(r.asked, r.page ? QStringLiteral("80 id.htm") : QString());
        QCOMPARE(m_out.finished, 1);
        QCOMPARE(m_out.busyAtFinish, 0);
        QCOMPARE(m_out.complete.size(), 129);
        QCOMPARE_NE(m_out.complete[0].host, host(0));
        QCOMPARE_NE(m_out.complete[1].host, host(0));
        for (const HostRecord &r : std::as_const(m_out.complete)) {
            const bool arp = r.host == host(3);
            QCOMPARE(r.seen, arp ? HostRecord::Seen::Arp : HostRecord::Seen::Echo);
            QCOMPARE(r.mac, arp ? QStringLiteral("00:D0:EF:00:00:03") : QString());
            QCOMPARE(QString::number(r.pingTime), arp ? QStringLiteral("0") : r.host.mid(8));
            QCOMPARE(r.description, r.host == host(4) ? QString() : "Unit " + r.host);
        }
        QCOMPARE(m_out.messages, QStringList());
    }

    // A list that grows while the scan runs: what is added goes out after what came before; the scan ends once
    // the list is closed and done, and a list closed empty while the start is held ends it.
    void growingList()
    {
        QVERIFY(m_engine->start({0x7F000001}, ScanEngine::kDefaultSlotCount, true));
        m_engine->addAddresses({0x7F000003, 0x7F000002});
        QTRY_COMPARE(m_engine->probedCount(), 3);
        QCOMPARE(m_out.finished, 0);
        m_engine->endAddresses();
        QCOMPARE(m_out.finished, 1);
        QCOMPARE(m_factory->requests[2].host, host(2)); // pinged after .3, in the order added
        m_factory->pending = true;
        QVERIFY(m_engine->start({}, ScanEngine::kDefaultSlotCount, true));
        m_engine->endAddresses(); // while the start is held
        m_factory->decide();
        QTRY_COMPARE(m_out.finished, 2);
    }

    void pool_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("one slot") << 1;
        QTest::newRow("the default fifty") << 50;
        QTest::newRow("255 slots") << 255;
    }

    // Silent workers fill the slots in order; the next address waits for, and takes, the first freed slot.
    void pool()
    {
        QFETCH(int, size);
        QList<quint32> addresses(300); // 127.0.0.0 to 127.0.1.43
        std::iota(addresses.begin(), addresses.end(), 0x7F000000u);
        QCOMPARE(m_engine->start(addresses, 0), false);
        QCOMPARE(m_engine->start(addresses, 256), false);
        QCOMPARE(m_engine->start({}), false);
        QList<int> usedSlots;
        qsizetype sentWhileFull = -1;
        m_factory->onRequest = [&](const StandInRequest &r) {
            for (int slot = 0; slot < size; ++slot)
                if (m_engine->probeAt(slot) == r.probe.data())
                    usedSlots.append(slot);
            if (usedSlots.size() == size) {
                StandInRequest last = m_factory->requests[size - 1];
                QTimer::singleShot(20, this, [&, last] {
                    sentWhileFull = m_factory->requests.size() - size;
                    emit last.probe->PingResponse(last.host, -1);
                });
            }
            if (usedSlots.size() == size + 1)
                QTimer::singleShot(0, m_engine.get(), &ScanEngine::stop);
            return false;
        };
        QVERIFY(size == 50 ? m_engine->start(addresses) : m_engine->start(addresses, size));
        QTRY_COMPARE(m_engine->isScanning(), false);
        QCOMPARE(usedSlots.size(), size + 1);
        for (int i = 0; i < size; ++i)
            QCOMPARE(usedSlots[i], i);
        QCOMPARE(usedSlots[size], size - 1);
        QCOMPARE(m_factory->requests[size].host, ScanEngine::addressText(addresses[size]));
        QCOMPARE(sentWhileFull, 0);
    }

    void endsEarly_data()
    {
        QTest::addColumn<int>("disturbance");
        QTest::addColumn<bool>("started");
        QTest::addColumn<int>("rows"); // completed, the page not come
        QTest::addColumn<QString>("message"); // part of the one message; empty: none
        const QString died = "pelorin has stopped", noWorker = "could not get a worker";
        QTest::newRow("Stop at the first page request") << int(StopAtFirstPage) << true << 1 << "";
        QTest::newRow("server died at the first page") << int(ServerDiesAtFirstPage) << true << 1 << died;
        QTest::newRow("server pending, then refused") << int(PendingThenRefused) << false << 0 << "pelorin missing";
        QTest::newRow("server pending, Stop, then ready") << int(PendingThenStopped) << false << 0 << "";
        QTest::newRow("no probe") << int(NoProbe) << true << 0 << noWorker;
        QTest::newRow("dead probe") << int(DeadProbe) << true << 0 << noWorker;
    }

    // .1 answers its ping, its page never comes: each way a scan ends early, or never starts.
    void endsEarly()
    {
        QFETCH(int, disturbance);
        QFETCH(bool, started);
        QFETCH(int, rows);
        QFETCH(QString, message);
        const bool pending = disturbance == PendingThenRefused || disturbance == PendingThenStopped;
        m_factory->notReady = disturbance == PendingThenRefused ? "pelorin missing" : "";
        m_factory->pending = pending;
        m_factory->canCreate = disturbance != NoProbe;
        m_factory->alive = disturbance != DeadProbe;
        m_factory->pingTimes.insert(host(1), 0);
        m_factory->onRequest = [&](const StandInRequest &r) {
            if (r.page && disturbance == StopAtFirstPage)
                QTimer::singleShot(0, m_engine.get(), &ScanEngine::stop);
            if (r.page && disturbance == ServerDiesAtFirstPage)
                QTimer::singleShot(0, m_factory.get(), [this] { emit m_factory->serverDied("killed"); });
            return r.host == host(1) && !r.page;
        };
        qsizetype requestsAtEnd = -1;
        connect(m_engine.get(), &ScanEngine::finished, this, [&] { requestsAtEnd = m_factory->requests.size(); });

        QVERIFY(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 1, 200})));
        QCOMPARE(m_engine->isScanning(), started && !pending);
        if (disturbance == PendingThenStopped)
            m_engine->stop(); // while the start is held
        if (pending)
            m_factory->decide();
        QTRY_COMPARE(m_engine->isScanning(), false);
        bool later = false;
        QTimer::singleShot(20, this, [&] { later = true; });
        QTRY_VERIFY(later);
        QCOMPARE(m_factory->requests.size(), started ? requestsAtEnd : 0);
        QCOMPARE(m_out.complete.size(), rows);
        QCOMPARE(m_out.messages.size(), int(!message.isEmpty()));
        QVERIFY2(m_out.messages.join(QString()).contains(message), qPrintable(m_out.messages.join(u'|')));
        QCOMPARE(m_out.finished, int(started));
        QCOMPARE(m_out.busyAtFinish, started ? 0 : -1);
        QCOMPARE(m_engine->failed(), started && !message.isEmpty());
    }

    // A range's addresses and next octet shown; the checks at their limits, their texts; the settings (1 to top).
    void startChecks()
    {
        const struct { int lower, upper; QString first, last; int count; QList<int> shown; } rows[] = {
            {2, 5, "127.1.2.2", "127.1.2.4", 3, {2, 3, 4, 5, 5}},
            {5, 5, "127.1.2.5", "127.1.2.5", 1, {5, 5, 5}},
            {0, 255, "127.1.2.0", "127.1.2.254", 255, {0, 1, 2}},
            {0, 256, "127.1.2.0", "127.1.2.255", 256, {0, 1, 2}}};
        for (const auto &r : rows) {
            const auto range = ScanChecks::range("127", "1", "2", QString::number(r.lower), QString::number(r.upper));
            const QList<quint32> list = ScanChecks::addresses(range);
            QCOMPARE(ScanEngine::addressText(list.first()), r.first);
            QCOMPARE(ScanEngine::addressText(list.last()), r.last);
            QCOMPARE(list.size(), r.count);
            for (int i = 0; i < r.shown.size(); ++i)
                QCOMPARE(ScanChecks::nextOctet(range, i), r.shown[i]);
            QCOMPARE(ScanChecks::nextOctet(range, -1), -1);
        }
        QList<std::optional<int>> octets;
        for (const char *text : {"0", " 010", "255", "256", "-1", "2.5", "abc"})
            octets << ScanChecks::octet(QString::fromLatin1(text));
        QCOMPARE(octets, (QList<std::optional<int>>{0, 10, 255, std::nullopt, std::nullopt, std::nullopt, 0}));
        QCOMPARE(ScanChecks::octet("256", ScanChecks::kHighestUpperBound), 256);
        QCOMPARE(ScanChecks::retriesNeedQuestion("10"), false);
        QCOMPARE(ScanChecks::retriesNeedQuestion("10.5"), true);
        QCOMPARE(ScanChecks::rangeReversed("10", "9"), true);
        QCOMPARE(ScanChecks::rangeReversed("9", "9"), false);
        QList<qint32> timeOuts;
        for (const char *text : {"0", "0.4", "2.5", "3.5", "1e10"})
            timeOuts << ScanChecks::timeOut(QString::fromLatin1(text));
        QCOMPARE(timeOuts, (QList<qint32>{1, 1, 2, 4, std::numeric_limits<qint32>::max()}));
        QList<int> retries;
        for (const char *text : {"-3", "254.5", "255", "256"})
            retries << ScanChecks::retries(QString::fromLatin1(text));
        QCOMPARE(retries, (QList<int>{1, 254, 255, 255}));
        QCOMPARE(ScanChecks::octetRefusal("From"), QStringLiteral("From must be a whole number from 0 to 255."));
        QCOMPARE(ScanChecks::rangeRefusal(),
                 QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one."));
        QCOMPARE(ScanChecks::retriesQuestion("11", " 1 0x"),
                 QStringLiteral("Program will retry 11 times at 10 ms interval for each IP.  This may take long time "
                                "to complete.  Are you sure you want to continue?"));
    }

    void idPage_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("recognised");
        QTest::addColumn<QString>("description"); // "(none)": the page has none
        QTest::newRow("title and body") << "<html><title>Quorvane Product ID</title><body>Model 7 Rev B</body></html>"
                                        << true << "Model 7 Rev B";
        QTest::newRow("title anywhere, no body") << "junk<title>Quorvane Product ID</title>junk" << true << "(none)";
        QTest::newRow("capital tags") << "<TITLE>Quorvane Product ID</TITLE><BODY>A</BODY>" << false << "(none)";
        QTest::newRow("kept as it stands") << "<body> <b>Q</b>\r\n&amp;\n </body>" << false << " <b>Q</b>\r\n&amp;\n ";
        QTest::newRow("two ends, first wins") << "<body>one</body>two</body>" << false << "one";
        QTest::newRow("two starts, first wins") << "<body>a<body>b</body>" << false << "a<body>b";
        QTest::newRow("end before start") << "</body>x<body>y" << false << "";
        QTest::newRow("no end") << "<body>A" << false << "(none)";
    }

    // The exact title anywhere identifies; the description is the text from the first <body> to the first </body>.
    void idPage()
    {
        QFETCH(QString, raw);
        QFETCH(bool, recognised);
        QFETCH(QString, description);
        QCOMPARE(IdPage::isIdentificationPage(raw), recognised);
        QCOMPARE(IdPage::description(raw).value_or(QStringLiteral("(none)")), description);
    }

    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("written");
        auto row = [](const char *name, const QString &text, double value, const char *written) {
            QTest::newRow(name) << text << value << QString(written);
        };
        row("negative", "-2.5", -2.5, "-2.5");
        row("second point stops", "1.2.3", 1.2, "1.2");
        row("double sign", "--5", 0.0, "0");
        row("exponent D", "2D2", 200.0, "200");
        row("exponent with blanks", "25 E - 1", 2.5, "2.5");
        row("sum not exact", "0.30000000000000004", 0.1 + 0.2, "0.30000000000000004");
        row("300 digits", QString(300, QLatin1Char('9')), 1e300, "1E+300");
        row("huge exponent", "1e99999999999999999999", std::numeric_limits<double>::max(), "1.7976931348623157E+308");
        row("smallest subnormal", "5E-324", std::numeric_limits<double>::denorm_min(), "5E-324");
        row("long mantissa and exponent", QString(200000, u'1') + "e-199999", 10.0 / 9.0, "1.1111111111111112");
    }

    // A number typed into the window: read, written back, and read back to the same value.
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QFETCH(QString, written);
        QCOMPARE(fromNumber(toNumber(text)), written); // the shortest text that reads back exact: the same value
        QCOMPARE(fromNumber(value), written);
        QCOMPARE(toNumber(written), value);
    }

    void line_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("name"); // "(none)": a run without names
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, Format f, const QString &text, const char *hostName, const QString &line) {
            QTest::newRow(name) << int(f) << text << QString(hostName) << line;
        };
        auto az = [](char16_t c) { return QStringLiteral("a") + QChar(c) + u'z'; }; // c between two letters
        const Format csv = Format::Csv, copy = Format::TabSeparated, table = Format::Table;
        row("csv =, the name's too", csv, "=1", "=1", "127.0.0.4,'=1,0,'=1,,,echo\r\n");
        for (const QString lead : {"+", "-", "@", "\t"}) // the other formula leads
            row(qPrintable("csv " + lead), csv, lead + 'x', "(none)",
                QStringLiteral("127.0.0.4,0,'%1x,,,echo\r\n").arg(lead));
        row("csv CR, quoted", csv, "\rSUM(1)", "", "127.0.0.4,,0,\"'\rSUM(1)\",,,echo\r\n");
        row("csv quotes and comma", csv, "=1,\"2\"", "(none)", "127.0.0.4,0,\"'=1,\"\"2\"\"\",,,echo\r\n");
        row("csv blank first", csv, " =1", "(none)", "127.0.0.4,0, =1,,,echo\r\n");
        row("csv inner =, comma quoted", csv, "a=1,2", "(none)", "127.0.0.4,0,\"a=1,2\",,,echo\r\n");
        row("csv NUL", csv, QString(QChar(0)), "(none)", "127.0.0.4,0,\\x00,,,echo\r\n");
        row("csv DEL", csv, az(0x7f), "(none)", "127.0.0.4,0,a\\x7fz,,,echo\r\n");
        row("csv C1 last", csv, az(0x9f), "(none)", "127.0.0.4,0,a\\x9fz,,,echo\r\n");
        row("csv no-break space", csv, az(0xa0), "(none)", "127.0.0.4,0,a\u00a0z,,,echo\r\n");
        row("csv inner tab", csv, az(u'\t'), "(none)", "127.0.0.4,0,a\tz,,,echo\r\n");
        row("csv inner LF", csv, az(u'\n'), "(none)", "127.0.0.4,0,\"a\nz\",,,echo\r\n");
        row("copy CR first", copy, "\r=1", "(none)", "127.0.0.4\t<0 ms\t' =1\t\t\n");
        row("copy breaks blank", copy, "a\r\nb\tc\rd\ne", "(none)", "127.0.0.4\t<0 ms\ta b c d e\t\t\n");
        row("copy ESC", copy, az(0x1b), "(none)", "127.0.0.4\t<0 ms\ta\\x1bz\t\t\n");
        row("table, nothing found", table, "", "(none)", "127.0.0.4        <0 ms           echo\n");
        for (auto [c, shown] : {std::pair{u'\n', "\\n"}, {u'\r', "\\r"}, {u'\t', "\\t"}, {char16_t(0x1b), "\\x1b"}})
            row(qPrintable(QString("table ") + shown), table, az(c), "(none)",
                QStringLiteral("127.0.0.4        <0 ms           echo  a%1z\n").arg(shown));
        auto jsonRow = [&row](const char *name, const QString &text, const char *hostName, const char *line) {
            row(name, Format::JsonLines, text, hostName, QString::fromUtf8(line) + u'\n');
        };
        jsonRow("jsonl verbatim, name", "=1+2", "-x",
            R"({"host":"127.0.0.4","name":"-x","ping_ms":0,"description":"=1+2","mac":"","vendor":"","seen":"echo"})");
        jsonRow("jsonl empty name", "", "",
            R"({"host":"127.0.0.4","name":"","ping_ms":0,"description":"","mac":"","vendor":"","seen":"echo"})");
        jsonRow("jsonl placeholders", "%1 %2", "%3",
            R"({"host":"127.0.0.4","name":"%3","ping_ms":0,"description":"%1 %2","mac":"","vendor":"","seen":"echo"})");
        jsonRow("jsonl controls", QString::fromUtf8("\x1b\x7f\t\u2028\u00a0"), "(none)",
            "{\"host\":\"127.0.0.4\",\"ping_ms\":0,\"description\":\"\\u001b\\u007f\\t\\u2028\u00a0\","
            R"("mac":"","vendor":"","seen":"echo"})");
    }

    // A line of each format.
    void line()
    {
        QFETCH(int, format);
        QFETCH(QString, description);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const HostRecord record{QStringLiteral("127.0.0.4"), 0, description, {}, {}};
        const auto hostName = name == QLatin1String("(none)") ? std::nullopt : std::optional<QString>(name);
        const QString line = ResultFormat::line(Format(format), record, hostName);
        QCOMPARE(line, expected);
        if (Format(format) == Format::JsonLines) // read back exact
            QCOMPARE(QJsonDocument::fromJson(line.toUtf8())["description"].toString(), description);
    }

    // ARP's host: no ping time, "arp" in every format that says how; the headers, the table's above its columns.
    void seenAndHeaders()
    {
        const HostRecord arp{QStringLiteral("127.0.0.4"), 0, {}, {}, {}, Seen::Arp};
        QCOMPARE(ResultFormat::line(Format::Table, arp), QStringLiteral("127.0.0.4%1arp\n").arg(QString(24, u' ')));
        QCOMPARE(ResultFormat::line(Format::Csv, arp), QStringLiteral("127.0.0.4,,,,,arp\r\n"));
        const QString json = ResultFormat::line(Format::JsonLines, arp);
        QCOMPARE(json.section(u',', 1, 1), QStringLiteral(R"("ping_ms":null)"));
        QCOMPARE(json.section(u',', -1), QStringLiteral("\"seen\":\"arp\"}\n"));
        const QString header = ResultFormat::header(Format::Table, true);
        const QString line = ResultFormat::line(Format::Table, {QStringLiteral("127.0.0.1"), 3, {}, {}, {}}, QString());
        QCOMPARE(header.indexOf(QLatin1String("Ping")), line.indexOf(u'3'));
        QCOMPARE(header.indexOf(QLatin1String("Seen")), line.indexOf(u'e'));
        QCOMPARE(line.simplified(), QStringLiteral("127.0.0.1 3 ms echo"));
        QCOMPARE(ResultFormat::header(Format::Table).simplified(),
                 QStringLiteral("Host IP Ping Time (ms) Seen QV Equipment MAC Address Vendor"));
        QCOMPARE(ResultFormat::header(Format::Csv), QStringLiteral("host,ping_ms,description,mac,vendor,seen\r\n"));
    }

    void lookUp_data()
    {
        QTest::addColumn<QByteArray>("table"); // the lines after the header
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("vendor");
        auto entry = [](const char *flags, const char *mac) {
            return QByteArray("127.0.0.3 0x1 ") + flags + ' ' + mac + " * eth0\n";
        };
        auto row = [](const char *name, const QByteArray &table, const char *mac, const char *vendor) {
            QTest::newRow(name) << table << QString(mac) << QString::fromUtf8(vendor);
        };
        row("complete, lower case", "127.0.0.3  0x1  0x2  00:d0:ef:0d:0e:0f  *  eth0\n", "00:D0:EF:0D:0E:0F", "IGT");
        row("permanent; quotes, comma", entry("0x6", "00:1e:fc:ab:cd:ef"), "00:1E:FC:AB:CD:EF", "JSC \"MASSA-K\", Inc");
        row("UTF-8, no ASCII", entry("0x2", "94:d8:6b:00:00:00"), "94:D8:6B:00:00:00", "株式会社");
        row("first of a prefix", entry("0x2", "00:01:c8:00:00:00"), "00:01:C8:00:00:00", "THOMAS CONRAD CORP.");
        row("assignment not six digits", entry("0x2", "01:23:45:00:00:00"), "01:23:45:00:00:00", "");
        row("no name column", entry("0x2", "ab:cd:ef:00:00:00"), "AB:CD:EF:00:00:00", "");
        row("blank name", entry("0x2", "0a:0b:0c:00:00:00"), "0A:0B:0C:00:00:00", "");
        row("unclosed quote", entry("0x2", "a1:b2:c3:00:00:00"), "A1:B2:C3:00:00:00", "");
        row("after unclosed quote", entry("0x2", "c0:ff:ee:00:00:00"), "C0:FF:EE:00:00:00", "After Unclosed");
        row("incomplete", entry("0x0", "00:d0:ef:12:34:56"), "", "");
        row("zero MAC", entry("0x2", "00:00:00:00:00:00"), "", "");
        const QByteArray others = "127.0.0.30 0x1 0x2 00:d0:ef:12:34:56 * eth0\n"
                                  "127.0.0.3x 0x1 0x2 00:d0:ef:12:34:56 * eth0\n";
        row("other address", others, "", "");
        const QByteArray wlan = "127.0.0.3 0x1 0x2 12:34:56:78:9a:bc * wlan0\n";
        row("other interface", entry("0x0", "00:00:00:00:00:00") + wlan, "12:34:56:78:9A:BC", "");
        const QByteArray malformed = "garbage\n\n127.0.0.3 0x1\n" + entry("zz", "00:d0:ef:11:11:11")
            + entry("0x2", "00:d0:ef:22:22") + entry("0x2", "00:d0:ef:33:33:33:33") + entry("0x2", "00:d0:ef:44:44:4g");
        row("malformed lines", malformed + "127.0.0.3 0x1 0x2 00:d0:ef:55:55:55 * eth1", "00:D0:EF:55:55:55", "IGT");
    }

    // A host's MAC and maker; the registry is read at its first look-up and only then.
    void lookUp()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, mac);
        QFETCH(QString, vendor);
        QTemporaryDir dir;
        const QString arp = dir.filePath(QStringLiteral("arp")), oui = dir.filePath(QStringLiteral("oui.csv"));
        QVERIFY(Harness::writeFile(arp, "IP address HW type Flags HW address Mask Device\n" + table));
        const VendorRegistry registry(oui);
        QVERIFY(Harness::writeFile(oui, Registry));
        const QString found = NeighbourTable(arp).macOf(QStringLiteral("127.0.0.3"));
        QCOMPARE(found, mac);
        QCOMPARE(registry.vendorOf(found), vendor);
        QVERIFY(QFile::remove(oui));
        QCOMPARE(registry.vendorOf(found), vendor);
    }

    // Hosts of a segment are on it; own address, past the prefix, network and broadcast above /31 are not.
    void onSegment_data()
    {
        QTest::addColumn<quint32>("address");
        QTest::addColumn<QString>("interface"); // empty: on no segment
        const quint32 net = 0xC6120000; // 198.18.0.0
        const struct { const char *name; quint32 address; const char *interface; } rows[] = {
            {"first host", net + 2, "lan0"}, {"last host", net + 254, "lan0"}, {"own address", net + 1, ""},
            {"network", net, ""}, {"broadcast", net + 255, ""}, {"next network", net + 256, ""},
            {"/31 low end", net + 0x1000, "p2p"}, {"/30 broadcast", net + 0x3003, ""}};
        for (const auto &r : rows)
            QTest::newRow(r.name) << r.address << QString::fromLatin1(r.interface);
    }

    void onSegment()
    {
        QFETCH(quint32, address);
        QFETCH(QString, interface);
        const LocalSegments segments({{"lan0", 2, 0xC6120001, 24}, {"p2p", 3, 0xC6121001, 31},
                                      {"tiny", 5, 0xC6123001, 30}});
        const std::optional<LocalSegments::Segment> found = segments.segmentOf(address);
        QCOMPARE(found ? found->interface : QString(), interface);
        QCOMPARE(segments.contains(address), !interface.isEmpty());
    }

    // An entry counts when learnt, with a MAC, confirmed since the scan began (500 ms); so in the kernel's own
    // table, read through rtnetlink, whose one dump serves the look-ups of its reuse time. A tunnel is no segment.
    void arpConfirmed()
    {
        const struct { const char *name; int state; quint64 mac; qint64 ago; bool counts; } rows[] = {
            {"reachable, within", NUD_REACHABLE, 1, 500, true}, {"reachable, before", NUD_REACHABLE, 1, 501, false},
            {"stale", NUD_STALE, 1, 0, true}, {"delay", NUD_DELAY, 1, 0, true}, {"probe", NUD_PROBE, 1, 0, true},
            {"incomplete", NUD_INCOMPLETE, 1, 0, false}, {"failed", NUD_FAILED, 1, 0, false},
            {"permanent", NUD_PERMANENT, 1, 0, false}, {"no ARP", NUD_NOARP, 1, 0, false},
            {"no MAC", NUD_REACHABLE, 0, 0, false}, {"no confirmation time", NUD_REACHABLE, 1, -1, false}};
        for (const auto &r : rows)
            QVERIFY2(NeighbourTable::confirmedWithin({1, quint16(r.state), r.mac, r.ago}, 500) == r.counts, r.name);
        QVERIFY(Lab::shell("ip link add lab0 up type veth peer name lab1\nip addr add 198.18.0.1/24 dev lab0\n"
                           "ip neigh add 198.18.0.5 lladdr 02:1a:c6:00:00:05 dev lab0 nud reachable\n"
                           "ip neigh add 198.18.0.6 lladdr 02:1a:c6:00:00:06 dev lab0 nud stale\n"
                           "ip tuntap add dev tun0 mode tun\nip addr add 198.18.5.1/24 dev tun0\nip link set tun0 up"));
        const LocalSegments local = LocalSegments::current();
        QCOMPARE(local.contains(0xC6120005), true);
        QCOMPARE(local.contains(0xC6120502), false); // a tunnel's addresses: no ARP there
        RecentNeighbours reused(600000), fresh(-1);
        QCOMPARE(reused.arpConfirmedMac(0xC6120005, 10000), QStringLiteral("02:1A:C6:00:00:05"));
        QCOMPARE(reused.arpConfirmedMac(0xC6120006, 10000), QString());
        QCOMPARE(fresh.arpConfirmedMac(0xC6120008, 10000), QString());
        QVERIFY(Lab::shell("ip neigh add 198.18.0.8 lladdr 02:1a:c6:00:00:08 dev lab0 nud reachable"));
        QCOMPARE(reused.arpConfirmedMac(0xC6120008, 10000), QString());
        QCOMPARE(fresh.arpConfirmedMac(0xC6120008, 10000), QStringLiteral("02:1A:C6:00:00:08"));
    }
};

QTEST_GUILESS_MAIN(BaseTest)
#include "base_test.moc"
