// What the operator can type into the window's boxes, typed key by key: how each value is read, and what a Start with
// it does. Starts run in the lab namespace on 127.0.0.x only; junk in the
// first three octets is only ever read, never sent.
#include "LabNetwork.h"
#include "MessageBoxes.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ResultList.h"
#include "frmMain.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

#include <limits>
#include <memory>

namespace MsgBox = Pelorin::MsgBox;

namespace {

constexpr qint32 kMaxTimeOut = std::numeric_limits<qint32>::max();

QString host(int octet)
{
    return QStringLiteral("127.0.0.%1").arg(octet);
}

class RecordingChannel : public MessageBoxes
{
public:
    int show(const QString &text, int style, const QString &) override
    {
        boxes.append({text, style});
        return answer;
    }
    QList<QPair<QString, int>> boxes;
    int answer = MsgBox::AnswerOK;
};

// Key by key, so the box's length limit applies; also for characters that
// keyClicks can't send.
void type(QLineEdit *box, const QString &text)
{
    box->clear();
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

const QString kArabicThree = QString(QChar(0x0663));
const QString kFullWidthThree = QString(QChar(0xFF13));
const QString kEAcute = QString(QChar(0x00E9));

} // namespace

class ScannerInputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void octetsAsAddressed_data();
    void octetsAsAddressed();
    void settingsAsRequested_data();
    void settingsAsRequested();
    void startWithTypedValues_data();
    void startWithTypedValues();

private:
    RecordingChannel m_channel;
    std::unique_ptr<frmMain> m_window;
};

void ScannerInputTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    MessageBoxes::install(&m_channel);
    // The probe server's own reports become the window's boxes, as in the program.
    PelorinClient::Connection::instance().setMessageBoxHandler(
        [](const QString &text, int style, const QString &title) {
            return MessageBoxes::current().show(text, style, title);
        });
}

void ScannerInputTest::init()
{
    m_channel.boxes.clear();
    m_channel.answer = MsgBox::AnswerOK;
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void ScannerInputTest::cleanup()
{
    m_window.reset();
}

void ScannerInputTest::octetsAsAddressed_data()
{
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("octet");

    const QList<QPair<QString, QString>> values = {
        {QString(), QStringLiteral("0")},
        {QStringLiteral("   "), QStringLiteral("0")},
        {QStringLiteral("+5"), QStringLiteral("5")},
        {QStringLiteral("-5"), QStringLiteral("-5")},
        {QStringLiteral("2.5"), QStringLiteral("2.5")},
        {QStringLiteral("-.5"), QStringLiteral("-0.5")},
        {kArabicThree + kArabicThree, QStringLiteral("0")},
        {kFullWidthThree, QStringLiteral("0")},
        {kEAcute, QStringLiteral("0")},
        {QStringLiteral("12345"), QStringLiteral("123")}, // three characters at most
        {QStringLiteral("1e9"), QStringLiteral("1000000000")},
        {QStringLiteral("&HF"), QStringLiteral("15")},
    };
    for (int box = 0; box < 3; ++box) {
        for (const auto &value : values) {
            QTest::addRow("txtIP(%d) \"%s\"", box, qPrintable(value.first))
                << box << value.first << value.second;
        }
    }
}

// Whatever the first three boxes hold, NextAddress builds the address text
// from their numbers and moves the fourth octet on.
void ScannerInputTest::octetsAsAddressed()
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
}

void ScannerInputTest::settingsAsRequested_data()
{
    QTest::addColumn<bool>("retriesBox");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("used");

    auto timeOut = [](const QString &typed, int used) {
        QTest::addRow("time-out \"%s\"", qPrintable(typed.left(24))) << false << typed << typed << used;
    };
    timeOut(QString(), 1);
    timeOut(QStringLiteral(" "), 1);
    timeOut(QStringLiteral("-5"), 1);
    timeOut(QStringLiteral("-1e20"), 1);
    timeOut(QStringLiteral("0.4"), 1);
    timeOut(QStringLiteral("+7"), 7);
    timeOut(QStringLiteral("2.5"), 2);
    timeOut(QStringLiteral("3.5"), 4);
    timeOut(kArabicThree, 1);
    timeOut(kFullWidthThree, 1);
    timeOut(kEAcute, 1);
    timeOut(QStringLiteral("2147483646.5"), 2147483646);
    timeOut(QStringLiteral("2147483647"), kMaxTimeOut);
    timeOut(QStringLiteral("2147483648"), kMaxTimeOut);
    timeOut(QStringLiteral("1e20"), kMaxTimeOut);
    timeOut(QStringLiteral("1e999"), kMaxTimeOut);
    timeOut(QString(300, QLatin1Char('9')), kMaxTimeOut);

    auto retries = [](const QString &typed, const QString &shown, int used) {
        QTest::addRow("retries \"%s\"", qPrintable(typed)) << true << typed << shown << used;
    };
    retries(QString(), QString(), 1);
    retries(QStringLiteral("-2"), QStringLiteral("-2"), 1);
    retries(QStringLiteral("+3"), QStringLiteral("+3"), 3);
    retries(QStringLiteral("2.5"), QStringLiteral("2."), 2); // two characters at most
    retries(QStringLiteral("0.5"), QStringLiteral("0."), 1);
    retries(QStringLiteral("99"), QStringLiteral("99"), 99);
    retries(QStringLiteral("255"), QStringLiteral("25"), 25);
    retries(QStringLiteral("9e9"), QStringLiteral("9e"), 9);
    retries(kArabicThree, kArabicThree, 1);
    retries(kEAcute, kEAcute, 1);
}

void ScannerInputTest::settingsAsRequested()
{
    QFETCH(bool, retriesBox);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, used);

    frmMain &w = *m_window;
    type(retriesBox ? w.txtPingRetries : w.txtPingTO, typed);
    QCOMPARE((retriesBox ? w.txtPingRetries : w.txtPingTO)->text(), shown);
    QVERIFY(w.requestTimeOut() >= 1);
    QVERIFY(w.requestRetries() >= 1);
    if (retriesBox) {
        QCOMPARE(int(w.requestRetries()), used);
        QCOMPARE(w.requestTimeOut(), 100);
    } else {
        QCOMPARE(w.requestTimeOut(), used);
        QCOMPARE(int(w.requestRetries()), 3);
    }
}

void ScannerInputTest::startWithTypedValues_data()
{
    QTest::addColumn<QString>("timeOut");
    QTest::addColumn<QString>("retries");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("answer");     // to the retry question, if asked
    QTest::addColumn<QStringList>("messages"); // the boxes expected, in order
    QTest::addColumn<bool>("scans");
    QTest::addColumn<QList<int>>("pinged"); // octets that get echo requests
    QTest::addColumn<int>("echoes");        // per silent host pinged

    const QString range = QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one.");
    auto question = [](const QString &r, const QString &t) {
        return QStringLiteral("Program will retry %1 times at %2 ms interval for each IP.  This may take long time "
                              "to complete.  Are you sure you want to continue?")
            .arg(r, t);
    };
    const int yes = MsgBox::AnswerYes;
    const int no = MsgBox::AnswerNo;
    const QString nine40(40, QLatin1Char('9'));

    // Settings that read as below 1 are used as 1: one retry, three echoes a try.
    QTest::newRow("empty settings") << "" << "" << "2" << "4" << no << QStringList() << true << QList<int>{2, 3} << 6;
    QTest::newRow("negative settings") << "-5" << "-2" << "2" << "3" << no << QStringList() << true << QList<int>{2} << 6;
    QTest::newRow("non-ASCII settings") << kArabicThree << kEAcute << "2" << "3" << no << QStringList() << true
                                        << QList<int>{2} << 6;
    QTest::newRow("fractions below 1") << "0.4" << "0.5" << "2" << "3" << no << QStringList() << true << QList<int>{2} << 6;
    // The largest time-outs only on a host that answers at once.
    QTest::newRow("time-out 2147483647") << "2147483647" << "1" << "1" << "1" << no << QStringList() << true
                                         << QList<int>{1} << 0;
    QTest::newRow("time-out 2147483648") << "2147483648" << "3" << "1" << "1" << no << QStringList() << true
                                         << QList<int>{1} << 0;
    QTest::newRow("time-out 1e20") << "1e20" << "" << "1" << "1" << no << QStringList() << true << QList<int>{1} << 0;
    QTest::newRow("time-out of 40 nines") << nine40 << "1" << "1" << "1" << no << QStringList() << true << QList<int>{1} << 0;
    QTest::newRow("retries 11, Yes") << "0" << "11" << "2" << "3" << yes << QStringList{question("11", "0")} << true
                                     << QList<int>{2} << 36;
    QTest::newRow("retries 99 at 2.5, No") << "2.5" << "99" << "2" << "3" << no << QStringList{question("99", "2.5")} << false
                                           << QList<int>{} << 0;
    QTest::newRow("From empty") << "1" << "1" << "" << "2" << no << QStringList() << true << QList<int>{0, 1} << 6;
    QTest::newRow("From blank") << "1" << "1" << " " << "2" << no << QStringList() << true << QList<int>{0, 1} << 6;
    QTest::newRow("From +1") << "1" << "1" << "+1" << "2" << no << QStringList() << true << QList<int>{1} << 6;
    // The probe reads the octet -1 as 255.
    QTest::newRow("From -1") << "1" << "1" << "-1" << "1" << no << QStringList() << true << QList<int>{0, 255} << 6;
    QTest::newRow("From non-ASCII") << "1" << "1" << kArabicThree << "1" << no << QStringList() << true << QList<int>{0} << 6;
    // Not an address: the probe reports it in a box at each of its two tries and pings nothing here.
    const QString notAddress = QStringLiteral("Error 9 (Subscript out of range) in procedure AddressStringToLong of "
                                              "Module Ping on line 100");
    QTest::newRow("From 2.5") << "1" << "1" << "2.5" << "4" << no << QStringList(4, notAddress) << true
                              << QList<int>{} << 0;
    QTest::newRow("From = To") << "1" << "1" << "4" << "4" << no << QStringList() << true << QList<int>{4} << 6;
    QTest::newRow("over-long From and To") << "1" << "1" << "1234" << "1245" << no << QStringList() << true
                                           << QList<int>{123} << 6;
    QTest::newRow("To below From") << "1" << "1" << "3" << "2" << no << QStringList{range} << false << QList<int>{} << 0;
    QTest::newRow("To non-ASCII") << "1" << "1" << "1" << kFullWidthThree << no << QStringList{range} << false << QList<int>{}
                                  << 0;
    QTest::newRow("To negative") << "1" << "1" << "0" << "-1" << no << QStringList{range} << false << QList<int>{} << 0;
}

// A Start either refuses with the designed box and changes nothing, or runs
// to "Scan Completed" having pinged exactly the designed addresses.
void ScannerInputTest::startWithTypedValues()
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
    w.txtIP[0]->setText(QStringLiteral("127"));
    w.txtIP[1]->setText(QStringLiteral("0"));
    w.txtIP[2]->setText(QStringLiteral("0"));
    type(w.txtPingTO, timeOut);
    type(w.txtPingRetries, retries);
    type(w.txtIPScan[0], from);
    type(w.txtIPScan[1], to);
    m_channel.answer = answer;

    QVERIFY(Lab::isIsolated());
    QCOMPARE(w.txtIP[0]->text() + w.txtIP[1]->text() + w.txtIP[2]->text(), QStringLiteral("12700"));
    bool clickReturned = false;
    QPointer<frmMain> window = m_window.get();
    QTimer::singleShot(0, this, [&clickReturned, window] {
        if (window)
            QTest::mouseClick(window->cmdScan, Qt::LeftButton);
        clickReturned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(clickReturned, 20000);
    if (scans)
        QTRY_COMPARE_WITH_TIMEOUT(w.lblThreads->text(), QStringLiteral("Scan Completed"), 20000);
    else
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Ready"));
    QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
    QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
    QCOMPARE(w.busyWorkerCount(), 0);
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);

    QStringList shown;
    for (const auto &box : std::as_const(m_channel.boxes))
        shown.append(box.first);
    QCOMPARE(shown, messages);
    QStringList listed;
    for (int i = 1; i <= w.lstIPs->Count(); ++i)
        listed.append(w.lstIPs->Item(i)->text(0));
    QCOMPARE(listed, pinged.contains(1) ? QStringList{host(1)} : QStringList{});
    for (int octet : silent)
        QCOMPARE(net.echoRequestCount(host(octet)), pinged.contains(octet) ? echoes : 0);
}

QTEST_MAIN(ScannerInputTest)
#include "scanner_input_test.moc"
