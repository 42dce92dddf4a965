// What the operator can type into the window's boxes, typed key by key: how
// each value is read, and what a Start with it does. Starts run in the lab
// namespace on 127.0.0.x only; junk in the first three octets is only ever
// read, never sent.
#include "Harness.h"
#include "PelorinConnection.h"
#include "ResultList.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <limits>

namespace MsgBox = Pelorin::MsgBox;
using Harness::host;

namespace {

constexpr qint32 kMaxTimeOut = std::numeric_limits<qint32>::max();
const QString kArabicThree = QString(QChar(0x0663));
const QString kFullWidthThree = QString(QChar(0xFF13));
const QString kEAcute = QString(QChar(0x00E9));

// Key by key, so the box's length limit applies; also for characters that
// keyClicks can't send.
void type(QLineEdit *box, const QString &text)
{
    box->clear();
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

} // namespace

class ScannerInputTest : public ScanFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        MessageBoxes::install(&m_boxes);
        // The probe server's own reports become the window's boxes, as in the program.
        PelorinClient::Connection::instance().setMessageBoxHandler(
            [](const QString &text, int style, const QString &title) {
                return MessageBoxes::current().show(text, style, title);
            });
    }

    void init()
    {
        m_boxes.boxes.clear();
        m_boxes.answer = MsgBox::AnswerOK;
        newWindow();
    }

    void cleanup() { m_window.reset(); }

    void octetsAsAddressed_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("octet");

        const QList<QPair<QString, QString>> values = {
            {QString(), "0"},       {"   ", "0"},        {"+5", "5"},       {"-5", "-5"},
            {"-.5", "-0.5"},        {kArabicThree, "0"}, {kEAcute, "0"},    {"12345", "123"}, // three characters at most
            {"1e9", "1000000000"}, {"&HF", "15"},
        };
        for (int box = 0; box < 3; ++box) {
            for (const auto &value : values)
                QTest::addRow("txtIP(%d) \"%s\"", box, qPrintable(value.first)) << box << value.first << value.second;
        }
    }

    // Whatever the first three boxes hold, NextAddress builds the address text
    // from their numbers and moves the fourth octet on.
    void octetsAsAddressed()
    {
        QFETCH(int, box);
        QFETCH(QString, typed);
        QFETCH(QString, octet);

        frmMain &w = *m_window;
        QStringList octets = {QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("30")};
        for (int i = 0; i < 3; ++i)
            w.txtIP[i]->setText(octets[i]);
        type(w.txtIP[box], typed);
        QVERIFY(w.txtIP[box]->text().size() <= 3);
        w.txtIPScan[1]->setText(QStringLiteral("9"));
        w.txtIP[3]->setText(QStringLiteral("7"));

        octets[box] = octet;
        QCOMPARE(w.NextAddress(), octets.join(QLatin1Char('.')) + QStringLiteral(".7"));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("8"));
        // At the upper value the fourth octet stays.
        w.txtIPScan[1]->setText(QStringLiteral("8"));
        QCOMPARE(w.NextAddress(), octets.join(QLatin1Char('.')) + QStringLiteral(".8"));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("8"));
    }

    void settingsAsRequested_data()
    {
        QTest::addColumn<bool>("retriesBox");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("used");

        const QList<QPair<QString, int>> timeOuts = {
            {"", 1}, {" ", 1}, {"-5", 1}, {"0.4", 1}, {"+7", 7}, {"2.5", 2}, {"3.5", 4}, {kArabicThree, 1},
            {kFullWidthThree, 1}, {"2147483646.5", 2147483646}, {"2147483647", kMaxTimeOut},
            {"2147483648", kMaxTimeOut}, {"1e20", kMaxTimeOut}, {QString(300, QLatin1Char('9')), kMaxTimeOut},
        };
        for (const auto &t : timeOuts)
            QTest::addRow("time-out \"%s\"", qPrintable(t.first.left(24))) << false << t.first << t.first << t.second;

        auto retries = [](const QString &typed, const QString &shown, int used) {
            QTest::addRow("retries \"%s\"", qPrintable(typed)) << true << typed << shown << used;
        };
        retries(QString(), QString(), 1);
        retries(QStringLiteral("-2"), QStringLiteral("-2"), 1);
        retries(QStringLiteral("+3"), QStringLiteral("+3"), 3);
        retries(QStringLiteral("2.5"), QStringLiteral("2."), 2); // two characters at most
        retries(QStringLiteral("0.5"), QStringLiteral("0."), 1);
        retries(QStringLiteral("255"), QStringLiteral("25"), 25);
        retries(kEAcute, kEAcute, 1);
    }

    void settingsAsRequested()
    {
        QFETCH(bool, retriesBox);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, used);

        frmMain &w = *m_window;
        type(retriesBox ? w.txtPingRetries : w.txtPingTO, typed);
        QCOMPARE((retriesBox ? w.txtPingRetries : w.txtPingTO)->text(), shown);
        QCOMPARE(int(w.requestRetries()), retriesBox ? used : 3);
        QCOMPARE(w.requestTimeOut(), retriesBox ? 100 : used);
    }

    void startWithTypedValues_data()
    {
        QTest::addColumn<QString>("timeOut");
        QTest::addColumn<QString>("retries");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("answer");           // to the retry question, if asked
        QTest::addColumn<QStringList>("messages"); // the boxes expected, in order
        QTest::addColumn<bool>("scans");
        QTest::addColumn<QList<int>>("pinged"); // octets that get echo requests
        QTest::addColumn<int>("echoes");        // per silent host pinged

        const QString range = QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one.");
        const QString question = QStringLiteral("Program will retry %1 times at %2 ms interval for each IP.  This may take "
                                                "long time to complete.  Are you sure you want to continue?");
        // Not an address: the probe reports it in a box at each of its two tries and pings nothing here.
        const QString notAddress = QStringLiteral("Error 9 (Subscript out of range) in procedure AddressStringToLong of "
                                                  "Module Ping on line 100");
        auto row = [](const char *name, const QString &timeOut, const QString &retries, const QString &from,
                      const QString &to, QList<int> pinged, int echoes = 6, QStringList messages = {},
                      bool scans = true, int answer = MsgBox::AnswerNo) {
            QTest::newRow(name) << timeOut << retries << from << to << answer << messages << scans << pinged << echoes;
        };
        // Settings that read as below 1 are used as 1: one retry, three echoes a try.
        row("empty settings", "", "", "2", "4", {2, 3});
        row("negative settings", "-5", "-2", "2", "3", {2});
        row("non-ASCII settings", kArabicThree, kEAcute, "2", "3", {2});
        row("fractions below 1", "0.4", "0.5", "2", "3", {2});
        // The largest time-outs only on a host that answers at once.
        row("time-out 2147483647", "2147483647", "1", "1", "1", {1}, 0);
        row("time-out 2147483648", "2147483648", "3", "1", "1", {1}, 0);
        row("time-out of 40 nines", QString(40, QLatin1Char('9')), "1", "1", "1", {1}, 0);
        row("retries 11, Yes", "0", "11", "2", "3", {2}, 36, {question.arg("11", "0")}, true, MsgBox::AnswerYes);
        row("retries 99 at 2.5, No", "2.5", "99", "2", "3", {}, 0, {question.arg("99", "2.5")}, false);
        row("From empty", "1", "1", "", "2", {0, 1});
        row("From blank", "1", "1", " ", "2", {0, 1});
        row("From +1", "1", "1", "+1", "2", {1});
        row("From -1", "1", "1", "-1", "1", {0, 255}); // the probe reads the octet -1 as 255
        row("From non-ASCII", "1", "1", kArabicThree, "1", {0});
        row("From 2.5", "1", "1", "2.5", "4", {}, 0, QStringList(4, notAddress));
        row("From = To", "1", "1", "4", "4", {4});
        row("over-long From and To", "1", "1", "1234", "1245", {123});
        row("To below From", "1", "1", "3", "2", {}, 0, {range}, false);
        row("To non-ASCII", "1", "1", "1", kFullWidthThree, {}, 0, {range}, false);
        row("To negative", "1", "1", "0", "-1", {}, 0, {range}, false);
    }

    // A Start either refuses with the designed box and changes nothing, or runs
    // to "Scan Completed" having pinged exactly the designed addresses.
    void startWithTypedValues()
    {
        QFETCH(QString, timeOut);
        QFETCH(QString, retries);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, answer);
        QFETCH(QStringList, messages);
        QFETCH(bool, scans);
        QFETCH(QList<int>, pinged);
        QFETCH(int, echoes);

        const QList<int> silent = {0, 2, 3, 4, 5, 6, 123, 124, 255};
        Lab::LabNetwork net;
        for (int octet : silent)
            QVERIFY(net.addSilentHost(host(octet)));

        frmMain &w = *m_window;
        prepare(0, 0, QString(), QString());
        type(w.txtPingTO, timeOut);
        type(w.txtPingRetries, retries);
        type(w.txtIPScan[0], from);
        type(w.txtIPScan[1], to);
        m_boxes.answer = answer;

        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
        if (scans)
            QTRY_COMPARE_WITH_TIMEOUT(w.lblThreads->text(), QStringLiteral("Scan Completed"), 20000);
        else
            QCOMPARE(w.lblThreads->text(), QStringLiteral("Ready"));
        QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
        QCOMPARE(w.busyWorkerCount(), 0);
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);

        QCOMPARE(m_boxes.texts(), messages);
        QCOMPARE(entries(), pinged.contains(1) ? QStringList{host(1)} : QStringList{});
        for (int octet : silent)
            QCOMPARE(net.echoRequestCount(host(octet)), pinged.contains(octet) ? echoes : 0);
    }
};

QTEST_MAIN(ScannerInputTest)
#include "scanner_input_test.moc"
