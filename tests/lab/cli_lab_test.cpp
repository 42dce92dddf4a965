// lanterra-scan run as a technician types it, on a lab of silent, answering
// and page-less hosts (127.0.0.x only, inside the lab namespace): the window's
// hosts for the same addresses with the last one pinged too, several targets
// in one run, names and the equipment filter, a target without a route, and
// one row for every exit status (bad input with nothing sent, pelorin
// missing or killed mid-scan, SIGINT/SIGTERM flushing what was found).
#include "Harness.h"
#include "ScanCommand.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using Harness::host;

class CliLabTest : public QObject
{
    Q_OBJECT

    Lab::LabNetwork m_net;
    QHash<QString, QString> m_expected; // the window's hosts of .1 to .41, with their descriptions

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        // .4 and .22 serve identification pages, .9 and .31 pages that are not,
        // .1 answers ping but serves no page, .42 never answers its page.
        m_expected = {{host(1), ""}, {host(4), "Model 7"}, {host(9), ""}, {host(22), "=1+2, \"quoted\""}, {host(31), ""}};
        const QHash<int, QByteArray> pages = {{4, Lab::LabNetwork::idPage(m_expected[host(4)])},
            {9, "<html><head><title>Printer</title></head><body>Welcome</body></html>"},
            {22, Lab::LabNetwork::idPage(m_expected[host(22)])},
            {31, "<html><head><TITLE>Quorvane Product ID</TITLE></head><body>Model 9</body></html>"}};
        for (int octet = 2; octet <= 100; ++octet) {
            if (pages.contains(octet))
                QVERIFY(m_net.addDevice(host(octet), {Lab::Behaviour::Page, pages[octet]}));
            else
                QVERIFY(octet == 42 ? m_net.addDevice(host(42), {Lab::Behaviour::NoAnswer}) : m_net.addSilentHost(host(octet)));
        }
        // The kernel refuses echo requests to 127.0.9.x for want of a route.
        QCOMPARE(QProcess::execute("ip", {"route", "add", "unreachable", "127.0.9.0/24", "table", "local"}), 0);
    }

    void run_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        // The sorted host lines (jsonl: host=description), " | " and the start of stderr; or part of its one line.
        QTest::addColumn<QString>("out");

        const QString summary = "lanterra-scan: %1 addresses scanned, %2 hosts found, %3 with a description, ";
        QTest::newRow("as the window, last included") << QStringList{"127.0.0.1-41", "-o", "jsonl"} << int(Cli::Found)
            << "127.0.0.1=|127.0.0.22==1+2, \"quoted\"|127.0.0.31=|127.0.0.4=Model 7|127.0.0.9= | " + summary.arg(41).arg(5).arg(2);
        QTest::newRow("targets, names, equipment") << QStringList{"-n", "-e", "-o", "csv", "127.0.0.22", "127.0.0.1-5", "127.0.0.4"}
            << int(Cli::Found) << "127.0.0.22,,0,\"'=1+2, \"\"quoted\"\"\",,|127.0.0.4,,0,Model 7,,|host,name,ping_ms,description,mac,vendor | " + summary.arg(6).arg(3).arg(2);
        QTest::newRow("names") << QStringList{"--names", "127.0.0.1", "-o", "csv", "-r", "1"} << int(Cli::Found)
            << "127.0.0.1,localhost,0,,,|host,name,ping_ms,description,mac,vendor | " + summary.arg(1).arg(1).arg(0);
        QTest::newRow("none answered, no route") << QStringList{"127.0.9.0/30", "127.0.0.41", "-r", "1", "-o", "jsonl"}
            << int(Cli::NoneFound) << " | lanterra-scan: no route to 127.0.9.0/30\n" + summary.arg(3).arg(0).arg(0);
        QTest::newRow("pelorin missing") << QStringList{"127.0.0.1-41"} << int(Cli::CannotProbe) << "pelorin could not be started";
        QTest::newRow("pelorin killed") << QStringList{"127.0.0.1-60", "-T", "3000", "-r", "1", "-o", "csv"} << int(Cli::CannotProbe) << "";
        QTest::newRow("no target") << QStringList{"-o", "csv"} << int(Cli::BadInput) << "Usage: lanterra-scan [options] TARGET...";
        QTest::newRow("bad octet") << QStringList{"127.0.0.40", "abc.77.0"} << int(Cli::BadInput) << "octet 1 of target \"abc.77.0\"";
        QTest::newRow("bad number") << QStringList{"127.0.0.40", "-T", "0x10"} << int(Cli::BadInput) << "--timeout 0x10 must be";
        QTest::newRow("limit + 1") << QStringList{"127.0.0.40", "127.1.0.0/16", "127.2.0.1-2"} << int(Cli::BadInput) << "more than 65536";
        const QStringList slow = {"127.0.0.1-60", "-T", "3000", "-r", "1", "-o", "csv"};
        QTest::newRow("SIGINT") << slow << int(Cli::Interrupted) << "";
        QTest::newRow("SIGTERM") << slow << int(Cli::Terminated) << "";
    }

    void run()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        const bool alone = exitCode == Cli::CannotProbe && !out.isEmpty(); // run from a folder without pelorin
        // Sent once a host has been printed: a signal, or pelorin killed.
        const int signal = exitCode == Cli::Interrupted ? SIGINT : exitCode == Cli::Terminated ? SIGTERM
                         : exitCode == Cli::CannotProbe && !alone ? SIGKILL : 0;

        const int echoes = m_net.echoRequestCount(host(40)), lastEchoes = m_net.echoRequestCount(host(41));
        QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
        QTemporaryDir dir;
        if (alone) {
            QVERIFY(QFile::copy(program, dir.filePath(QStringLiteral("lanterra-scan"))));
            program = dir.filePath(QStringLiteral("lanterra-scan"));
        }
        QProcess scan;
        scan.start(program, args);
        QVERIFY(scan.waitForStarted());
        QByteArray stdOut;
        if (signal) {
            QTRY_VERIFY_WITH_TIMEOUT((stdOut += scan.readAllStandardOutput()).contains(host(1).toUtf8() + ','), 20000);
            const qint64 pid = scan.processId();
            QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
            QVERIFY(children.open(QIODevice::ReadOnly));
            ::kill(pid_t(signal == SIGKILL ? children.readAll().trimmed().split(' ').value(0).toLongLong() : pid), signal);
        }
        QVERIFY(scan.waitForFinished(60000));
        stdOut += scan.readAllStandardOutput();
        const QString err = QString::fromUtf8(scan.readAllStandardError());
        QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scan.exitCode(), exitCode);

        if (exitCode == Cli::BadInput || alone) { // one line, nothing on stdout, nothing sent
            QVERIFY2(err.contains(out) && err.count(QLatin1Char('\n')) == 1 && stdOut.isEmpty(), qPrintable(err));
            QCOMPARE(m_net.echoRequestCount(host(40)), echoes);
            return;
        }
        const QString text = QString::fromUtf8(stdOut);
        if (signal) { // what was listed is out, the page-less host too
            for (int octet : {1, signal == SIGKILL ? 1 : 42})
                QVERIFY(text.contains(QRegularExpression(QStringLiteral("(^|\n)%1,\\d+,,,\r\n").arg(host(octet)))));
            QVERIFY2(err.contains(signal == SIGKILL ? "pelorin has stopped" : "addresses scanned"), qPrintable(err));
            return;
        }
        // The host lines, then stderr: the summary and what went before it.
        QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString &line : lines) {
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            line = args.contains("jsonl") ? object.value("host").toString() + '=' + object.value("description").toString()
                                          : line.remove(u'\r');
        }
        lines.sort();
        QVERIFY2((lines.join(u'|') + " | " + err).startsWith(out), qPrintable(text + err));
        QVERIFY2(QRegularExpression(" \\d+\\.\\d s\n$").match(err).hasMatch() && err.count('\n') == out.count('\n') + 1, qPrintable(err));
        if (args.constFirst() == QLatin1String("127.0.0.1-41")) { // .40 and .41 pinged: first and three retries, three echoes each
            QCOMPARE(m_net.echoRequestCount(host(40)) - echoes, 12);
            QCOMPARE(m_net.echoRequestCount(host(41)) - lastEchoes, 12);
        }
    }
};

QTEST_GUILESS_MAIN(CliLabTest)
#include "cli_lab_test.moc"
