// Guards lanterra-scan's arguments: strict numbers at and past their limits, every target form with its bounds, the
// 65536-address limit, order and each address once, files; exit status 0 for help/version, 2 for every refusal.
#include "Harness.h"
#include "ScanCommand.h"

#include <QTemporaryDir>
#include <QTest>

class CliRulesTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir; // the working folder, with the target files

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QVERIFY(Harness::writeFile("FILE", "# lab\n\n127.0.0.1-3 # first three\n  127.0.0.2\n"));
        QVERIFY(Harness::writeFile("BAD", "127.0.0.1\n127.2.3.x\n"));
        QVERIFY(Harness::writeFile("EMPTY", "# nothing\n"));
    }

    void arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected"); // "count first last T r w", or the refusal
        const QString octet = R"(octet %1 of target "%2" must be a whole number from 0 to 255.)";
        auto row = [](const QString &name, const QStringList &args, const QString &expected) {
            QTest::newRow(qPrintable(name)) << args << expected;
        };
        row("network", {"127.77.0"}, "254 127.77.0.1 127.77.0.254 T100 r3 w50");
        row("one host", {"127.77.0.7"}, "1 127.77.0.7 127.77.0.7 T100 r3 w50");
        row("range of one", {"127.0.0.9-9"}, "1 127.0.0.9 127.0.0.9 T100 r3 w50");
        row("range to 255", {"127.0.0.0-255"}, "256 127.0.0.0 127.0.0.255 T100 r3 w50");
        row("/24, host bits ignored", {"127.77.0.9/24"}, "254 127.77.0.1 127.77.0.254 T100 r3 w50");
        row("/30", {"127.77.0.8/30"}, "2 127.77.0.9 127.77.0.10 T100 r3 w50");
        row("/31 both", {"127.77.0.8/31"}, "2 127.77.0.8 127.77.0.9 T100 r3 w50");
        row("/32", {"127.77.0.8/32"}, "1 127.77.0.8 127.77.0.8 T100 r3 w50");
        row("order given, each once", {"127.0.0.9", "127.0.0.1-9", "127.0.0.5"}, "9 127.0.0.9 127.0.0.8 T100 r3 w50");
        row("at the limit", {"127.77.0.0/16", "127.78.0.0-1"}, "65536 127.77.0.1 127.78.0.1 T100 r3 w50");
        row("one past the limit", {"127.77.0.0/16", "127.78.0.0-2"},
            R"(more than 65536 addresses to scan (at "127.78.0.0-2"); scan fewer at a time.)");
        row("file", {"-i", "FILE", "127.0.0.40"}, "4 127.0.0.40 127.0.0.3 T100 r3 w50");
        row("bad line", {"-i", "BAD"}, R"(BAD:2: octet 4 of target "127.2.3.x" must be a whole number from 0 to 255.)");
        row("file missing", {"-i", "/nonexistent"}, "--input /nonexistent: No such file or directory");
        row("no address", {"-i", "EMPTY"}, "no address to scan.");
        row("limits", {"-T", "1", "-r", "99", "-w", "255", "127.0.0.1"}, "1 127.0.0.1 127.0.0.1 T1 r99 w255");

        for (const char *bad : {"abc.77.0", "256.0.0", "+127.0.0", " 127.0.0", "0x7f.0.0", "127e0.0.0", ".0.0"})
            row(octet.arg(1).arg(bad), {bad, "-w", "2"}, octet.arg(1).arg(bad)); // each row named by its refusal
        row("octet 4", {"127.2.3.256"}, R"(octet 4 of target "127.2.3.256" must be a whole number from 0 to 255.)");
        const QString shape = R"(target "%1" must be A.B.C, A.B.C.D, A.B.C.D-E or A.B.C.D/N.)";
        for (const char *bad : {"1.2", "127.2.3.4.5", "1.2.3-4", "127.2.3/24", ""})
            row(shape.arg(bad), {bad}, shape.arg(bad));
        const QString end = R"(the end of target "%1" must be a whole number from 9 to 255.)";
        for (const char *bad : {"127.2.3.9-8", "127.2.3.9-256", "127.2.3.9-"}) // reversed, past 255, empty
            row(end.arg(bad), {bad}, end.arg(bad));
        const QString prefix = R"(the prefix of target "127.2.3.0/%1" must be a whole number from 16 to 32.)";
        for (const char *bits : {"15", "33", "", "24.0", "-8"})
            row(prefix.arg(bits), {"127.2.3.0/" + QString::fromLatin1(bits)}, prefix.arg(bits));
        const QList<std::pair<QStringList, const char *>> numbers = { // option, values refused; the refusal
            {{"-T", "abc", "0x10", "0", "60001", "1.5", "-1", " 5", "5\t", "\u0665", "99999999999"},
             "--timeout %1 must be a whole number from 1 to 60000."},
            {{"--retries", "0", "100", "abc"}, "--retries %1 must be a whole number from 1 to 99."},
            {{"-w", "0", "256", "2.5"}, "--workers %1 must be a whole number from 1 to 255."}};
        for (const auto &[values, refusal] : numbers)
            for (const QString &value : values.mid(1))
                row(values[0] + ' ' + value, {values[0], value, "127.0.0.1"},
                    QString::fromLatin1(refusal).arg(value));
        row("format", {"-o", "xml", "127.0.0.1"}, "--format must be table, csv or jsonl.");
        row("unknown option", {"--from", "1", "127.0.0"}, "Unknown option 'from'.");
    }

    // What the arguments make, or their refusal with status 2.
    void arguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        QString error;
        const Cli::Options options = Cli::parse(QStringList{"lanterra-scan"} + args, &error);
        Cli::TargetList targets;
        if (error.isEmpty() && Cli::collectTargets(options, &targets, &error)) {
            const QList<quint32> all = targets.addresses();
            const QString first = Cli::addressText(all.constFirst()), last = Cli::addressText(all.constLast());
            QCOMPARE(QStringLiteral("%1 %2 %3 T%4 r%5 w%6").arg(all.size()).arg(first, last).arg(options.timeOut)
                         .arg(options.retries).arg(options.workers), expected);
        } else {
            QCOMPARE(error, expected);
            QCOMPARE(Cli::run(QStringList{"lanterra-scan"} + args), 2);
        }
    }

    void helpAndVersion()
    {
        QCOMPARE(Cli::run({"lanterra-scan", "-h"}), 0);
        QCOMPARE(Cli::run({"lanterra-scan", "--version"}), 0);
    }
};

QTEST_GUILESS_MAIN(CliRulesTest)
#include "cli_rules_test.moc"
