// lanterra-scan, the real program, inside the lab namespace on 127.0.0.x only:
// the hosts and descriptions of the window's whole-scan lab in each format,
// bad input refused with nothing sent, no pelorin, and SIGINT/SIGTERM
// flushing what was found.
#include "Harness.h"
#include "ResultFormat.h"
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
using ResultFormat::Format;
Q_DECLARE_METATYPE(Format)

class ScannerCliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LAB_REQUIRE_ISOLATED(); }

    void run_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error"); // part of the one stderr line, when refused or failed
        QTest::addColumn<int>("signal");    // sent once a host has been printed
        QTest::addColumn<bool>("alone");    // run from a folder without pelorin

        const QStringList lab = {"127.0.0", "-f", "1", "-t", "41"}; // default time-out and retries
        QTest::newRow("table") << lab << 0 << "" << 0 << false;
        QTest::newRow("csv") << (lab + QStringList{"-o", "csv"}) << 0 << "" << 0 << false;
        QTest::newRow("jsonl") << (lab + QStringList{"--format=jsonl"}) << 0 << "" << 0 << false;
        QTest::newRow("From 2.5") << QStringList{"127.0.0", "--from", "2.5"} << 2 << "--from must be a whole number from 0 to 255." << 0 << false;
        QTest::newRow("To -1") << QStringList{"127.0.0", "-f", "1", "-t", "-1"} << 2 << "--to must be" << 0 << false;
        QTest::newRow("first octet 999") << QStringList{"999.0.0"} << 2 << "The first octet of NETWORK must be" << 0 << false;
        QTest::newRow("four octets") << QStringList{"127.0.0.1"} << 2 << "three octets" << 0 << false;
        QTest::newRow("range reversed") << QStringList{"127.0.0", "-f", "5", "-t", "4"} << 2
                                        << "Scan range is incorrect.  Upper range bound must be higher than the lower one." << 0 << false;
        QTest::newRow("retries 100") << QStringList{"127.0.0", "-r", "100"} << 2 << "--retries" << 0 << false;
        QTest::newRow("unknown format") << QStringList{"127.0.0", "-o", "xml"} << 2 << "--format" << 0 << false;
        QTest::newRow("unknown option") << QStringList{"127.0.0", "--frm", "3"} << 2 << "frm" << 0 << false;
        QTest::newRow("pelorin missing") << lab << 3 << "pelorin could not be started" << 0 << true;
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
        QVERIFY(Lab::isIsolated());

        Lab::LabNetwork net;
        const QHash<int, QString> descriptions = Harness::scanLab(net);
        QVERIFY(!descriptions.isEmpty());
        // Its page never comes: listed, and flushed without a page when stopped.
        QVERIFY(net.addDevice(host(45), Harness::device(Lab::Behaviour::NoAnswer)));

        QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
        QTemporaryDir dir;
        if (alone) {
            QVERIFY(QFile::copy(program, dir.filePath(QStringLiteral("lanterra-scan"))));
            program = dir.filePath(QStringLiteral("lanterra-scan"));
        }
        QProcess scan;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        scan.setProcessEnvironment(env);
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
            QCOMPARE(net.echoRequestCount(host(2)), 0); // nothing sent
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

        // The same hosts and descriptions as the window lists for this lab
        // (ping times aside: they vary).
        const Format format = args.contains(QStringLiteral("csv")) ? Format::Csv
            : args.contains(QStringLiteral("--format=jsonl"))      ? Format::JsonLines
                                                                   : Format::Table;
        QVERIFY(text.startsWith(ResultFormat::header(format)));
        const QString end = format == Format::Csv ? QStringLiteral("\r\n") : QStringLiteral("\n");
        QHash<QString, QString> listed;
        for (const QString &line : text.mid(ResultFormat::header(format).size()).split(end, Qt::SkipEmptyParts)) {
            if (format == Format::Table) {
                listed.insert(line.left(15).trimmed(), line.mid(33).replace(QLatin1String("\\n"), QLatin1String("\n")));
            } else if (format == Format::Csv) {
                QString description = line.section(QLatin1Char(','), 2).chopped(2);
                if (description.startsWith(QLatin1Char('"')))
                    description = description.mid(1).chopped(1).replace(QLatin1String("\"\""), QLatin1String("\""));
                listed.insert(line.section(QLatin1Char(','), 0, 0), description);
            } else {
                const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
                QCOMPARE(object.keys().size(), 5);
                listed.insert(object.value(QLatin1String("host")).toString(),
                              object.value(QLatin1String("description")).toString());
            }
        }
        QHash<QString, QString> expected;
        for (auto it = descriptions.cbegin(); it != descriptions.cend(); ++it)
            expected.insert(host(it.key()), it.value());
        QCOMPARE(listed, expected);
        QCOMPARE(net.echoRequestCount(host(40)), 12); // three retries, three echoes a try
        QCOMPARE(net.echoRequestCount(host(41)), 0);
    }

    // Help and version, without a display or a scan.
    void helpAndVersion()
    {
        QString error;
        QVERIFY(Cli::parse({"lanterra-scan", "-h"}, &error).help);
        QVERIFY(Cli::parse({"lanterra-scan", "--version"}, &error).version);
        QVERIFY(Cli::helpText().contains(QLatin1String("To itself\n                       is not pinged unless From equals To")));
        const Cli::Options defaults = Cli::parse({"lanterra-scan"}, &error);
        QVERIFY(error.isEmpty());
        QCOMPARE(defaults.network + defaults.from + defaults.to + defaults.timeOut + defaults.retries,
                 QStringLiteral("192.168.002551003"));
        QCOMPARE(Cli::parse({"lanterra-scan", "-f", "-3"}, &error).from, QStringLiteral("-3"));
    }
};

QTEST_GUILESS_MAIN(ScannerCliTest)
#include "scanner_cli_test.moc"
