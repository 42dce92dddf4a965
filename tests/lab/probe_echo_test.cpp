// ICMP echo on real sockets of both kinds, inside the private test namespace:
// 127.0.0.1 answers, silent hosts are nftables drop rules.
#include "EchoService.h"
#include "Harness.h"
#include "MessageBoxChannel.h"
#include "SocketLayer.h"
#include "modPing.h"

#include <QThread>
#include <QtTest>

using namespace Pelorin;

namespace {

quint32 networkOrder(const QString &dotted)
{
    QString text = dotted;
    return qToLittleEndian(quint32(AddressStringToLong(text)));
}

struct EchoResult {
    quint32 count = 0;
    ICMP_ECHO_REPLY reply;
    QByteArray echoed;
    qint64 elapsedMs = 0;
};

EchoResult sendOne(IcmpHandle handle, const QString &dotted, quint32 timeOutMs, const QByteArray &data)
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
        for (int octet = 9; octet <= 10; ++octet)
            QVERIFY(m_lab->addSilentHost(Harness::host(octet)));
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

    void ping_data()
    {
        QTest::addColumn<EchoSocketKind>("kind");
        QTest::addColumn<QString>("target");
        QTest::newRow("datagram, answered") << EchoSocketKind::Datagram << "127.0.0.1";
        QTest::newRow("raw, answered") << EchoSocketKind::Raw << "127.0.0.1";
        QTest::newRow("datagram, silent") << EchoSocketKind::Datagram << "127.0.0.9";
        QTest::newRow("raw, silent") << EchoSocketKind::Raw << "127.0.0.10";
    }

    // One echo answered at once with the data sent, or none in the time-out.
    // While a silent host is waited for, this thread keeps pinging 127.0.0.1
    // with the same request data: every reply reaches a waiting raw socket
    // too, and none may end the wait or stretch it. PingAddr sends up to three
    // echoes before it gives up.
    void ping()
    {
        QFETCH(EchoSocketKind, kind);
        QFETCH(QString, target);
        const bool answers = target == QStringLiteral("127.0.0.1");
        setEchoSocketKindForTesting(kind);
        QVERIFY(echoAvailability().usable);

        const QByteArray data = EchoRequestData(QDateTime::currentDateTime());
        std::atomic<bool> done{false};
        EchoResult r;
        std::unique_ptr<QThread> waiter(QThread::create([&] {
            IcmpHandleGuard handle(IcmpCreateFile());
            if (IcmpHandleKind(handle.get()) == kind)
                r = sendOne(handle.get(), target, answers ? 2000 : 800, data);
            done = true;
        }));
        waiter->start();
        IcmpHandleGuard handle(IcmpCreateFile());
        int answered = 0;
        int unanswered = 0;
        QElapsedTimer flood;
        flood.start();
        while (!answers && !done && flood.elapsed() < 3000)
            ++(sendOne(handle.get(), QStringLiteral("127.0.0.1"), 1000, data).count == 1 ? answered : unanswered);
        QVERIFY(waiter->wait(5000));

        QCOMPARE(r.count, answers ? 1u : 0u);
        QCOMPARE(r.reply.Status, answers ? IpStatus::Success : IpStatus::RequestTimedOut);
        QCOMPARE(r.reply.Address, networkOrder(target));
        QCOMPARE(r.echoed, answers ? data : QByteArray());
        if (answers) {
            QCOMPARE(r.reply.RoundTripTime, 0u);
        } else {
            QCOMPARE(unanswered, 0);
            QVERIFY2(answered >= 20, qPrintable(QString::number(answered)));
            QVERIFY2(r.elapsedMs >= 800 && r.elapsedMs < 1500, qPrintable(QString::number(r.elapsedMs)));
        }

        // Through the module: a name from the hosts file; a silent host gets three tries.
        const int sentBefore = m_lab->echoRequestCount(target);
        QString host = answers ? QStringLiteral("localhost") : target;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(PingAddr(host, 200)), answers ? 0 : -int(IpStatus::RequestTimedOut));
        QCOMPARE(host, target);
        if (!answers) {
            QVERIFY2(clock.elapsed() >= 600 && clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(m_lab->echoRequestCount(target) - sentBefore, 3);
        }
    }

    // 0.0.0.0/8 would be answered by this machine at once if it were sent.
    void addressZeroIsNeverSent()
    {
        for (const char *text : {"0.0.0.0", "0.1.2.3", "127.0.0.1.2"}) {
            QString host = QString::fromLatin1(text);
            QCOMPARE(int(PingAddr(host, 1000)), -int(IpStatus::BadDestination));
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
            for (const char *text : {"127.0.0.1", "127.0.0.1", "127.0.0.9", "0.0.0.0"}) {
                QString host = QString::fromLatin1(text);
                const bool answers = kind != EchoSocketKind::None && host == QStringLiteral("127.0.0.1");
                QCOMPARE(PingAddr(host, answers ? 1000 : 5) == 0, answers);
            }
            (void)echoAvailability();
        }
        QCOMPARE(Harness::procEntries(0, "fd"), descriptors);
        QCOMPARE(socketLayerStartupCount(), startUps);
    }

private:
    std::unique_ptr<Lab::LabNetwork> m_lab;
    RecordingChannel m_channel;
};

QTEST_GUILESS_MAIN(ProbeEchoTest)
#include "probe_echo_test.moc"
