// ICMP echo on real sockets of both kinds inside the private test namespace
// (127.0.0.1 answers, silent hosts are nftables drop rules): the reply and its
// data, a wait that other replies neither end nor stretch, the this-host net
// never sent to, and PingAddr's three echoes with nothing left open.
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
    return qToLittleEndian(quint32(AddressStringToLong(dotted)));
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
        for (int octet = 9; octet <= 10; ++octet)
            QVERIFY(m_lab.addSilentHost(Harness::host(octet)));
        setThreadMessageBoxChannel(&m_channel);
    }

    void cleanup()
    {
        setEchoSocketKindForTesting(EchoSocketKind::Automatic);
        QVERIFY2(m_channel.boxes.isEmpty(), qPrintable(m_channel.texts().join(QLatin1Char('\n'))));
    }

    void ping_data()
    {
        QTest::addColumn<EchoSocketKind>("kind");
        QTest::addColumn<QString>("target");
        QTest::addColumn<quint32>("status");
        QTest::newRow("datagram, answered") << EchoSocketKind::Datagram << "127.0.0.1" << IpStatus::Success;
        QTest::newRow("raw, answered") << EchoSocketKind::Raw << "127.0.0.1" << IpStatus::Success;
        QTest::newRow("datagram, silent") << EchoSocketKind::Datagram << "127.0.0.9" << IpStatus::RequestTimedOut;
        QTest::newRow("raw, silent") << EchoSocketKind::Raw << "127.0.0.10" << IpStatus::RequestTimedOut;
        // 0.0.0.0/8 would be answered by this machine at once if it were sent.
        QTest::newRow("datagram, this-host net") << EchoSocketKind::Datagram << "0.0.0.0" << IpStatus::BadDestination;
        QTest::newRow("raw, this-host net") << EchoSocketKind::Raw << "0.1.2.3" << IpStatus::BadDestination;
    }

    // One echo answered with the data sent, or none in the time-out. While a
    // silent host is waited for, this thread pings 127.0.0.1 with the same
    // data: every reply reaches a waiting raw socket too, and none may end the
    // wait or stretch it. Then PingAddr: a name from the hosts file, three
    // echoes to a silent host, and no descriptor or socket start-up left open.
    void ping()
    {
        QFETCH(EchoSocketKind, kind);
        QFETCH(QString, target);
        QFETCH(quint32, status);
        const bool silent = status == IpStatus::RequestTimedOut;
        setEchoSocketKindForTesting(kind);
        const int descriptors = Harness::procEntries(0, "fd");
        const int startUps = socketLayerStartupCount();

        const QByteArray data = EchoRequestData(QDateTime::currentDateTime());
        std::atomic<bool> done{false};
        EchoResult r;
        std::unique_ptr<QThread> waiter(QThread::create([&] {
            IcmpHandleGuard handle(IcmpCreateFile());
            if (IcmpHandleKind(handle.get()) == kind)
                r = sendOne(handle.get(), target, silent ? 500 : 2000, data);
            done = true;
        }));
        waiter->start();
        int flood = 0;
        {
            IcmpHandleGuard handle(IcmpCreateFile());
            QElapsedTimer clock;
            clock.start();
            while (silent && !done && clock.elapsed() < 4000)
                flood += int(sendOne(handle.get(), QStringLiteral("127.0.0.1"), 1000, data).count);
        }
        QVERIFY(waiter->wait(10000));

        QCOMPARE(r.reply.Status, status);
        QCOMPARE(r.count, status == IpStatus::Success ? 1u : 0u);
        QCOMPARE(r.reply.Address, networkOrder(target));
        QCOMPARE(r.echoed, status == IpStatus::Success ? data : QByteArray());
        QVERIFY2(r.reply.RoundTripTime <= r.elapsedMs, qPrintable(QString::number(r.reply.RoundTripTime))); // in ms
        if (silent) {
            QVERIFY2(flood >= 20, qPrintable(QString::number(flood)));
            QVERIFY2(r.elapsedMs >= 500 && r.elapsedMs < 2500, qPrintable(QString::number(r.elapsedMs)));
        }

        const int sent = m_lab.echoRequestCount(target);
        QString host = target == QLatin1String("127.0.0.1") ? QStringLiteral("localhost") : target;
        QCOMPARE(qMin(int(PingAddr(host, 200)), 0), -int(status)); // an answer is its time, 0 or more
        QCOMPARE(host, target);
        if (silent)
            QCOMPARE(m_lab.echoRequestCount(target) - sent, 3);
        QCOMPARE(Harness::procEntries(0, "fd"), descriptors);
        QCOMPARE(socketLayerStartupCount(), startUps);
    }

private:
    Lab::LabNetwork m_lab;
    RecordingChannel m_channel;
};

QTEST_GUILESS_MAIN(ProbeEchoTest)
#include "probe_echo_test.moc"
