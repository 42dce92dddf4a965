// lanterra-scan, the real program, inside the lab namespace on 127.0.0.x only: the hosts and descriptions of
// the window's whole-scan lab, bad input refused with nothing sent (a negative value is read as a value, see
// "To -1"), no pelorin, SIGINT/SIGTERM flushing what was found; help and version.
#include "Harness.h"
#include "ScanCommand.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using Harness::host;

class ScannerCliTest : public QObject
{
    Q_OBJECT

    Lab::LabNetwork m_net;
    QHash<int, QString> m_descriptions;

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        m_descriptions = Harness::scanLab(m_net);
        QVERIFY(!m_descriptions.isEmpty());
        // Its page never comes: listed, and flushed without a page when stopped.
        QVERIFY(m_net.addDevice(host(45), {Lab::Behaviour::NoAnswer}));
    }

    void run_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error"); // part of the one stderr line, when refused or failed
        QTest::addColumn<int>("signal");    // sent once a host has been printed
        QTest::addColumn<bool>("alone");    // run from a folder without pelorin

        const QStringList lab = {"127.0.0", "-f", "1", "-t", "41", "--format=jsonl"}; // default time-out and retries
        QTest::newRow("jsonl") << lab << 0 << "" << 0 << false;
        QTest::newRow("pelorin missing") << lab << 3 << "pelorin could not be started" << 0 << true;
        auto refused = [](const char *name, const QStringList &args, const char *error) {
            QTest::newRow(name) << args << 2 << error << 0 << false;
        };
        refused("From 2.5", {"127.0.0", "--from", "2.5"}, "--from must be a whole number from 0 to 255.");
        refused("To -1", {"127.0.0", "-f", "1", "-t", "-1"}, "--to must be");
        refused("first octet 999", {"999.0.0"}, "The first octet of NETWORK must be");
        refused("four octets", {"127.0.0.1"}, "three octets");
        refused("range reversed", {"127.0.0", "-f", "5", "-t", "4"}, "Scan range is incorrect.  Upper range bound must be higher than the lower one.");
        refused("retries 100", {"127.0.0", "-r", "100"}, "--retries");
        refused("unknown format", {"127.0.0", "-o", "xml"}, "--format");
        refused("unknown option", {"127.0.0", "--frm", "3"}, "frm");
        const QStringList slow = {"127.0.0", "-f", "1", "-t", "60", "-T", "3000", "-r", "1", "-o", "csv"};
        QTest::newRow("SIGINT") << slow << 130 << "" << int(SIGINT) << false;
        QTest::newRow("SIGTERM") << slow << 143 << "" << int(SIGTERM) << false;
    }

    void run()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        QFETCH(int, signal);
        QFETCH(bool, alone);

        const int echoes = m_net.echoRequestCount(host(2));
        QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
        QTemporaryDir dir;
        if (alone) {
            QVERIFY(QFile::copy(program, dir.filePath(QStringLiteral("lanterra-scan"))));
            program = dir.filePath(QStringLiteral("lanterra-scan"));
        }
        QProcess scan;
        scan.start(program, args);
        QVERIFY(scan.waitForStarted());
        QByteArray out;
        if (signal) {
            QTRY_VERIFY_WITH_TIMEOUT((out += scan.readAllStandardOutput()).contains(host(1).toUtf8() + ','), 20000);
            ::kill(pid_t(scan.processId()), signal);
        }
        QVERIFY(scan.waitForFinished(60000));
        out += scan.readAllStandardOutput();
        const QString err = QString::fromUtf8(scan.readAllStandardError());
        QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scan.exitCode(), exitCode);

        if (!error.isEmpty()) {
            QVERIFY2(err.contains(error), qPrintable(err));
            QCOMPARE(err.count(QLatin1Char('\n')), 1);
            QVERIFY(out.isEmpty());
            QCOMPARE(m_net.echoRequestCount(host(2)), echoes); // nothing sent
            return;
        }
        const QString text = QString::fromUtf8(out);
        if (signal) { // what was listed is out, the page-less host too
            for (int octet : {1, 45})
                QVERIFY(text.contains(QRegularExpression(QStringLiteral("(^|\n)%1,\\d+,,,\r\n").arg(host(octet)))));
            QVERIFY(!text.contains(host(59) + QLatin1Char(',')));
            return;
        }
        QVERIFY2(err.isEmpty(), qPrintable(err));

        // The same hosts and descriptions as the window lists for this lab.
        QHash<QString, QString> listed, expected;
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            listed.insert(object.value(QLatin1String("host")).toString(), object.value(QLatin1String("description")).toString());
        }
        for (auto it = m_descriptions.cbegin(); it != m_descriptions.cend(); ++it)
            expected.insert(host(it.key()), it.value());
        QCOMPARE(listed, expected);
        QCOMPARE(m_net.echoRequestCount(host(40)), 12); // the first and three retries, three echoes each
        QCOMPARE(m_net.echoRequestCount(host(41)), 0);
    }

    void helpAndVersion()
    {
        QString error;
        QVERIFY(Cli::parse({"lanterra-scan", "-h"}, &error).help && Cli::parse({"lanterra-scan", "--version"}, &error).version);
        QVERIFY(error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(ScannerCliTest)
#include "scanner_cli_test.moc"
