// lanterra-scan on a lab of 127.0.0.x hosts (inside the lab namespace): the
// window's hosts with the last address pinged too, several targets, names, the
// equipment filter, a target without a route, and a row for every exit status.
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
        // .4 and .22 serve identification pages, .9 a page that is not one, .1 no page; .42 never answers.
        m_expected = {{host(1), ""}, {host(4), "Model 7"}, {host(9), ""}, {host(22), "=1+2, \"quoted\""}};
        const QHash<int, QByteArray> pages = {{4, Lab::LabNetwork::idPage(m_expected[host(4)])},
            {9, "<html><head><title>Printer</title></head><body>Welcome</body></html>"}, {22, Lab::LabNetwork::idPage(m_expected[host(22)])}};
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
        QTest::addColumn<QString>("out"); // sorted host lines (jsonl: host=description), " | ", stderr's start; or part of its one line

        const QString summary = "lanterra-scan: %1 addresses scanned, %2 hosts found, %3 with a description, ";
        QTest::newRow("as the window, last included") << QStringList{"127.0.0.1-41", "-o", "jsonl"} << int(Cli::Found)
            << "127.0.0.1=|127.0.0.22==1+2, \"quoted\"|127.0.0.4=Model 7|127.0.0.9= | " + summary.arg(41).arg(4).arg(2);
        QTest::newRow("targets, names, equipment") << QStringList{"-n", "-e", "-o", "csv", "127.0.0.22", "127.0.0.1-5", "127.0.0.4"}
            << int(Cli::Found) << "127.0.0.22,,0,\"'=1+2, \"\"quoted\"\"\",,|127.0.0.4,,0,Model 7,,|host,name,ping_ms,description,mac,vendor | " + summary.arg(6).arg(3).arg(2);
        QTest::newRow("names") << QStringList{"--names", "127.0.0.1", "-o", "csv", "-r", "1"} << int(Cli::Found)
            << "127.0.0.1,localhost,0,,,|host,name,ping_ms,description,mac,vendor | lanterra-scan: 1 address scanned, 1 host found, 0";
        QTest::newRow("none answered, no route") << QStringList{"127.0.9.0/30", "127.0.0.41", "-r", "1", "-o", "jsonl"}
            << int(Cli::NoneFound) << " | lanterra-scan: no route to 127.0.9.0/30\n" + summary.arg(3).arg(0).arg(0);
        QTest::newRow("pelorin missing") << QStringList{"127.0.0.1-41"} << int(Cli::CannotProbe) << "pelorin could not be started";
        const QStringList slow = {"127.0.0.1-60", "-T", "3000", "-r", "1", "-o", "csv"};
        QTest::newRow("pelorin killed") << slow << int(Cli::CannotProbe) << "";
        QTest::newRow("no target") << QStringList{"-o", "csv"} << int(Cli::BadInput) << "Usage: lanterra-scan [options] TARGET...";
        QTest::newRow("bad number") << QStringList{"127.0.0.41", "-T", "0x10"} << int(Cli::BadInput) << "--timeout 0x10 must be";
        QTest::newRow("limit + 1") << QStringList{"127.0.0.41", "127.1.0.0/16", "127.2.0.1-2"} << int(Cli::BadInput) << "more than 65536";
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

        const int echoes = m_net.echoRequestCount(host(41));
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
            QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(scan.processId())); // pelorin
            QVERIFY(children.open(QIODevice::ReadOnly));
            ::kill(pid_t(signal == SIGKILL ? children.readAll().trimmed().split(' ').value(0).toLongLong() : scan.processId()), signal);
        }
        QVERIFY(scan.waitForFinished(60000));
        stdOut += scan.readAllStandardOutput();
        const QString err = QString::fromUtf8(scan.readAllStandardError());
        QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scan.exitCode(), exitCode);

        if (exitCode == Cli::BadInput || alone) { // one line, nothing on stdout, nothing sent
            QVERIFY2(err.contains(out) && err.count(QLatin1Char('\n')) == 1 && stdOut.isEmpty(), qPrintable(err));
            QCOMPARE(m_net.echoRequestCount(host(41)), echoes);
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
        if (args.constFirst() == QLatin1String("127.0.0.1-41")) // .41 pinged: the first and three retries, three echoes each
            QCOMPARE(m_net.echoRequestCount(host(41)) - echoes, 12);
    }
};

QTEST_GUILESS_MAIN(CliLabTest)
#include "cli_lab_test.moc"
