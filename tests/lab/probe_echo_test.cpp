// ICMP echo on real sockets, inside the private test namespace: 127.0.0.1
// answers, silent hosts are nftables drop rules. Both socket kinds.
#include "EchoService.h"
#include "Harness.h"
#include "MessageBoxChannel.h"
#include "PelorinInterface.h"
#include "SocketLayer.h"
#include "modPing.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace Pelorin;

namespace {

quint32 networkOrder(const char *dotted)
{
    QString text = QString::fromLatin1(dotted);
    return qToLittleEndian(quint32(AddressStringToLong(text)));
}

struct EchoResult {
    quint32 count = 0;
    ICMP_ECHO_REPLY reply;
    QByteArray echoed;
    qint64 elapsedMs = 0;
};

EchoResult sendOne(IcmpHandle handle, const char *dotted, quint32 timeOutMs, const QByteArray &data)
{
    IP_OPTION_INFORMATION options;
    options.Ttl = 255;
    quint8 buffer[278] = {};
    EchoResult r;
    QElapsedTimer clock;
    clock.start();
    r.count = IcmpSendEcho(handle, networkOrder(dotted), data.constData(), quint16(data.size()), &options, buffer,
                           sizeof buffer, timeOutMs);
    r.elapsedMs = clock.elapsed();
    std::memcpy(&r.reply, buffer, sizeof r.reply);
    r.echoed = QByteArray(reinterpret_cast<const char *>(buffer) + sizeof r.reply, r.reply.DataSize);
    return r;
}

} // namespace

Q_DECLARE_METATYPE(Pelorin::EchoSocketKind)

class ProbeEchoTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        m_lab = std::make_unique<Lab::LabNetwork>();
        for (const char *silent : {"127.0.0.9", "127.0.0.10", "127.0.0.11", "127.0.0.12"})
            QVERIFY(m_lab->addSilentHost(QString::fromLatin1(silent)));
    }

    void init()
    {
        m_channel.boxes.clear();
        setThreadMessageBoxChannel(&m_channel);
    }

    void cleanup()
    {
        setThreadMessageBoxChannel(nullptr);
        setEchoSocketKindForTesting(EchoSocketKind::Automatic);
        QVERIFY2(m_channel.boxes.isEmpty(), qPrintable(m_channel.texts().join(QLatin1Char('\n'))));
    }

    void loopbackAnswersAtOnce_data() { addKindRows("127.0.0.9", "127.0.0.10"); }
    void loopbackAnswersAtOnce()
    {
        QFETCH(EchoSocketKind, kind);
        setEchoSocketKindForTesting(kind);
        QVERIFY(echoAvailability().usable);

        IcmpHandleGuard handle(IcmpCreateFile());
        QCOMPARE(IcmpHandleKind(handle.get()), kind);
        const QByteArray data = EchoRequestData(QDateTime::currentDateTime());
        const EchoResult r = sendOne(handle.get(), "127.0.0.1", 2000, data);
        QCOMPARE(r.count, 1u);
        QCOMPARE(r.reply.Status, IpStatus::Success);
        QCOMPARE(r.reply.RoundTripTime, 0u);
        QCOMPARE(r.reply.Address, networkOrder("127.0.0.1"));
        QCOMPARE(r.echoed, data);

        // Through the module: a name from the hosts file, answered on the first attempt.
        QString host = QStringLiteral("localhost");
        QCOMPARE(int(PingAddr(host, 2000)), 0);
        QCOMPARE(host, QStringLiteral("127.0.0.1"));
    }

    void silentHostTimesOutThreeTimes_data() { addKindRows("127.0.0.9", "127.0.0.10"); }
    void silentHostTimesOutThreeTimes()
    {
        QFETCH(EchoSocketKind, kind);
        QFETCH(QString, silent);
        setEchoSocketKindForTesting(kind);

        const int sentBefore = m_lab->echoRequestCount(silent);
        QString host = silent;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(PingAddr(host, 200)), -int(IpStatus::RequestTimedOut));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 600 && elapsed < 1100, qPrintable(QString::number(elapsed)));
        QCOMPARE(m_lab->echoRequestCount(silent) - sentBefore, 3);
    }

    void otherTrafficNeitherSatisfiesNorExtendsAWait_data() { addKindRows("127.0.0.11", "127.0.0.12"); }
    void otherTrafficNeitherSatisfiesNorExtendsAWait()
    {
        QFETCH(EchoSocketKind, kind);
        QFETCH(QString, silent);
        setEchoSocketKindForTesting(kind);

        // While one thread waits for a silent host, this thread keeps pinging
        // 127.0.0.1 with the same request data: every reply reaches the waiting
        // raw socket too.
        const QByteArray data = EchoRequestData(QDateTime::currentDateTime());
        const QByteArray silentAddress = silent.toLatin1();
        std::atomic<bool> done{false};
        EchoResult waited;
        std::unique_ptr<QThread> waiter(QThread::create([&] {
            IcmpHandleGuard handle(IcmpCreateFile());
            waited = sendOne(handle.get(), silentAddress.constData(), 800, data);
            done = true;
        }));
        waiter->start();

        IcmpHandleGuard handle(IcmpCreateFile());
        int answered = 0;
        int unanswered = 0;
        QElapsedTimer flood;
        flood.start();
        while (!done && flood.elapsed() < 2000) {
            const EchoResult r = sendOne(handle.get(), "127.0.0.1", 1000, data);
            ++(r.count == 1 ? answered : unanswered);
        }
        QVERIFY(waiter->wait(5000));

        QCOMPARE(unanswered, 0);
        QVERIFY2(answered >= 20, qPrintable(QString::number(answered)));
        QCOMPARE(waited.count, 0u);
        QCOMPARE(waited.reply.Status, IpStatus::RequestTimedOut);
        QVERIFY2(waited.elapsedMs >= 800 && waited.elapsedMs < 1000, qPrintable(QString::number(waited.elapsedMs)));
    }

    void addressZeroIsNeverSent()
    {
        // 0.0.0.0 would be answered by this machine in 0 ms if it were sent.
        for (const char *text : {"0.0.0.0", "0.1.2.3", "127.0.0.1.2"}) {
            QString host = QString::fromLatin1(text);
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(int(PingAddr(host, 1000)), -int(IpStatus::BadDestination));
            QVERIFY(clock.elapsed() < 500);
        }
        QCOMPARE(m_channel.boxes.size(), 1); // the five-part address's subscript report
        m_channel.boxes.clear();
    }

    void noDescriptorOrStartUpLeaks()
    {
        const int descriptors = Harness::procEntries(0, "fd");
        const int startUps = socketLayerStartupCount();

        for (EchoSocketKind kind : {EchoSocketKind::Automatic, EchoSocketKind::Datagram, EchoSocketKind::Raw,
                                    EchoSocketKind::None}) {
            setEchoSocketKindForTesting(kind);
            for (int i = 0; i < 40; ++i) {
                QString host = QStringLiteral("127.0.0.1");
                const qint16 result = PingAddr(host, 500);
                QCOMPARE(result, qint16(kind == EchoSocketKind::None ? -qint16(IpStatus::GeneralFailure) : 0));
            }
            QString silent = QStringLiteral("127.0.0.9");
            QVERIFY(PingAddr(silent, 5) < 0);
            QString zero = QStringLiteral("0.0.0.0");
            QVERIFY(PingAddr(zero, 5) < 0);
            (void)echoAvailability();
        }
        QCOMPARE(Harness::procEntries(0, "fd"), descriptors);
        QCOMPARE(socketLayerStartupCount(), startUps);
    }

private:
    // Both socket kinds, each with a silent host of its own.
    void addKindRows(const char *datagramSilent, const char *rawSilent)
    {
        QTest::addColumn<EchoSocketKind>("kind");
        QTest::addColumn<QString>("silent");
        QTest::newRow("datagram socket") << EchoSocketKind::Datagram << QString::fromLatin1(datagramSilent);
        QTest::newRow("raw socket") << EchoSocketKind::Raw << QString::fromLatin1(rawSilent);
    }

    std::unique_ptr<Lab::LabNetwork> m_lab;
    RecordingChannel m_channel;
};

QTEST_GUILESS_MAIN(ProbeEchoTest)
#include "probe_echo_test.moc"
