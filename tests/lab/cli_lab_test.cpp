// Guards lanterra-scan end to end on 127.0.0.x: every exit status (0 1 2 3 130 143) and its path, the hosts and
// echoes of a scan (the last address included), names, the equipment filter, a target without a route, output
// flushed on a signal; SIGINT and SIGTERM to the whole process group (pelorin in it) are an interrupt, never
// "pelorin has stopped".
#include "Harness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <unistd.h>

using Harness::host;

class CliLabTest : public QObject
{
    Q_OBJECT

    Lab::LabNetwork m_net;

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        // .4 and .22 serve identification pages, .9 a page that is not one, .1 no page; .42 never answers.
        const QHash<int, QByteArray> pages = {{4, Lab::LabNetwork::idPage("Model 7")},
                                              {22, Lab::LabNetwork::idPage("=1+2, \"quoted\"")},
                                              {9, "<html><head><title>Printer</title></head><body>Welcome</body>"}};
        for (int octet = 2; octet <= 100; ++octet) {
            const Lab::Behaviour device{pages.contains(octet) ? Lab::Behaviour::Page : Lab::Behaviour::NoAnswer,
                                        pages.value(octet)};
            const bool serves = octet == 42 || pages.contains(octet);
            QVERIFY(serves ? m_net.addDevice(host(octet), device) : m_net.addSilentHost(host(octet)));
        }
        // The kernel refuses echo requests to 127.0.9.x for want of a route.
        QCOMPARE(QProcess::execute("ip", {"route", "add", "unreachable", "127.0.9.0/24", "table", "local"}), 0);
    }

    void run_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // the sorted host lines, | between; or part of stderr's one line
        QTest::addColumn<QString>("err"); // how stderr begins

        const QString summary = "lanterra-scan: %1 addresses scanned, %2 hosts found (%2 by echo, 0 by ARP), "
                                "%3 with a description, ";
        const QStringList slow = {"127.0.0.1-60", "-T", "3000", "-r", "1", "-o", "csv"};
        auto row = [](const char *name, const QStringList &args, int status, const QString &out, const QString &err) {
            QTest::newRow(name) << args << status << out << err;
        };
        row("last included, names", {"127.0.0.1-41", "-o", "jsonl", "-n"}, 0,
            "127.0.0.1=localhost=|127.0.0.22===1+2, \"quoted\"|127.0.0.4==Model 7|127.0.0.9==",
            summary.arg(41).arg(4).arg(2));
        row("targets, names, equipment", {"-n", "-e", "-o", "csv", "127.0.0.22", "127.0.0.1-5", "127.0.0.4"}, 0,
            QStringList{"127.0.0.22,,ms,\"'=1+2, \"\"quoted\"\"\",,,echo", "127.0.0.4,,ms,Model 7,,,echo",
                        "host,name,ping_ms,description,mac,vendor,seen"}.join(u'|'),
            summary.arg(6).arg(3).arg(2));
        row("none answered, no route", {"127.0.9.0/30", "127.0.0.41", "-r", "1", "-o", "jsonl"}, 1, "",
            "lanterra-scan: no route to 127.0.9.0/30\n" + summary.arg(3).arg(0).arg(0));
        row("limit + 1", {"127.0.0.41", "127.1.0.0/16", "127.2.0.1-2"}, 2, "more than 65536", "");
        row("pelorin missing", {"127.0.0.1-41"}, 3, "pelorin could not be started", "");
        row("pelorin killed", slow, 3, "", "");
        for (int i = 0; i < 40; ++i) // 20 each (exit 130, 143), to the group as from a terminal or a job's kill
            QTest::addRow(i % 2 ? "SIGTERM %d" : "SIGINT %d", i / 2) << slow << 130 + i % 2 * 13 << "" << "";
    }

    void run()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const bool alone = exitCode == 3 && !out.isEmpty(); // run from a folder without pelorin
        // Sent once a host has been printed: a signal, or pelorin killed.
        const int signal = exitCode == 130 ? SIGINT : exitCode == 143 ? SIGTERM : exitCode == 3 && !alone ? SIGKILL : 0;

        const int echoes = m_net.echoRequestCount(host(41));
        const QString built = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
        QTemporaryDir dir;
        if (alone)
            QVERIFY(QFile::copy(built, dir.filePath(QStringLiteral("lanterra-scan"))));
        QProcess scan;
        scan.setChildProcessModifier([] { ::setpgid(0, 0); }); // its own process group, as a shell's job
        scan.start(alone ? dir.filePath(QStringLiteral("lanterra-scan")) : built, args);
        QVERIFY(scan.waitForStarted());
        QByteArray stdOut;
        if (signal) {
            QTRY_VERIFY_WITH_TIMEOUT((stdOut += scan.readAllStandardOutput()).contains(host(1).toUtf8() + ','), 20000);
            QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(scan.processId())); // pelorin
            QVERIFY(children.open(QIODevice::ReadOnly));
            const qint64 pelorin = children.readAll().trimmed().split(' ').value(0).toLongLong();
            ::kill(pid_t(signal == SIGKILL ? pelorin : -scan.processId()), signal);
        }
        QVERIFY(scan.waitForFinished(60000));
        stdOut += scan.readAllStandardOutput();
        const QString errText = QString::fromUtf8(scan.readAllStandardError());
        QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scan.exitCode(), exitCode);

        if (exitCode == 2 || alone) { // one line, nothing on stdout, nothing sent
            QVERIFY2(errText.contains(out), qPrintable(errText));
            QCOMPARE(errText.count(u'\n'), 1);
            QCOMPARE(stdOut, QByteArray());
            QCOMPARE(m_net.echoRequestCount(host(41)), echoes);
            return;
        }
        const QString text = QString::fromUtf8(stdOut);
        if (signal) { // what was listed is out, the page-less host too
            for (int octet : {1, signal == SIGKILL ? 1 : 42})
                QVERIFY(text.contains(QRegularExpression(QStringLiteral("(^|\n)%1,\\d+,,,,echo\r\n").arg(host(octet)))));
            QCOMPARE(errText.contains("pelorin has stopped"), signal == SIGKILL);
            const QRegularExpression interrupted("interrupted after \\d+ of 60 addresses, ");
            QCOMPARE(errText.contains(interrupted), signal != SIGKILL);
            return;
        }
        // The host lines, then stderr: the summary and what went before it.
        QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString &line : lines) { // jsonl: host=name=description; csv: the line, a ping's time (it varies) as "ms"
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            const QString fields = QStringList{o["host"].toString(), o["name"].toString(), o["description"].toString()}
                                       .join(u'=');
            line = args.contains("jsonl") ? fields : line.remove(u'\r').replace(QRegularExpression(",\\d+,"), ",ms,");
        }
        lines.sort();
        QCOMPARE(lines.join(u'|'), out);
        QCOMPARE(errText.left(err.size()), err);
        QVERIFY2(QRegularExpression(" \\d+\\.\\d s\n$").match(errText).hasMatch(), qPrintable(errText));
        QCOMPARE(errText.count(u'\n'), err.count(u'\n') + 1);
        // .41 pinged: the first and three retries, three echoes each.
        if (args.constFirst() == QLatin1String("127.0.0.1-41"))
            QCOMPARE(m_net.echoRequestCount(host(41)) - echoes, 12);
    }
};

QTEST_GUILESS_MAIN(CliLabTest)
#include "cli_lab_test.moc"
