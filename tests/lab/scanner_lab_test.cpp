// Guards what only the real window and pelorin show together: a lab scan (127.0.0.x, in the lab namespace) lists
// every answering host once, with one GET of /id.htm each; closing the window ends a scan at once.
#include "Harness.h"
#include "ResultList.h"
#include "engine/ScanEngine.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using Harness::host;

class ScannerLabTest : public QObject
{
    Q_OBJECT

    RecordingBoxes m_boxes;
    Lab::LabNetwork m_net;
    std::unique_ptr<MainWindow> m_window;

    // A new window: 127.0.0, the range and time-out, one retry, and start clicked.
    void startScan(int lower, int upper, const char *timeOut)
    {
        QVERIFY(Lab::isIsolated());
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        Harness::fill(*m_window, QStringLiteral("127|0|0|%1|%2|1|%3").arg(lower).arg(upper).arg(QLatin1String(timeOut)));
        QTest::mouseClick(m_window->cmdScan, Qt::LeftButton);
        QTRY_VERIFY(m_window->engine().isScanning()); // a start is held while pelorin starts
    }

    // The hosts listed, each once, with its description.
    QHash<QString, QString> listed() const
    {
        QHash<QString, QString> hosts;
        for (int i = 1; i <= m_window->lstIPs->rowCount(); ++i)
            hosts.insert(m_window->lstIPs->row(i)->text(0), m_window->lstIPs->row(i)->text(2));
        return hosts.size() == m_window->lstIPs->rowCount() ? hosts : QHash<QString, QString>();
    }

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        MessageBoxes::install(&m_boxes);
        // .4 and .22 serve identification pages, .9 and .31 pages that are not (.31's title in other letter case),
        // .1 answers ping but serves no page, .42 never answers its page; every other address is silent.
        const QHash<int, QByteArray> pages = {{4, Lab::LabNetwork::idPage("Model 7 Rev B")},
            {9, "<html><head><title>Printer</title></head><body>Welcome</body></html>"},
            {22, Lab::LabNetwork::idPage("Line one\n<b>Line two</b> &amp; more, \"quoted\"")},
            {31, "<html><head><TITLE>Quorvane Product ID</TITLE></head><body>Model 9</body></html>"}};
        for (int octet = 2; octet <= 100; ++octet)
            QVERIFY(pages.contains(octet) ? m_net.addDevice(host(octet), {Lab::Behaviour::Page, pages[octet]})
                    : octet == 42 ? m_net.addDevice(host(42), {Lab::Behaviour::NoAnswer}) : m_net.addSilentHost(host(octet)));
    }

    // .42 to .99, a two-second time-out: .42 is listed and its page never comes, the others are silent. Closing the
    // window while all fifty workers are out ends the scan at once.
    void closedMidScan()
    {
        startScan(42, 100, "2000");
        QTRY_VERIFY_WITH_TIMEOUT(m_window->lstIPs->findRow(host(42)) && m_window->engine().busyCount() == 50, 20000);
        m_window->close();
        QVERIFY(!m_window->engine().isScanning() && !m_window->isVisible());
    }

    // The whole lab From 1 To 41: every answering host listed once with its ping time and description, one GET of
    // /id.htm each, silent hosts pinged with one retry, To not pinged.
    void wholeLab()
    {
        const int echoes = m_net.echoRequestCount(host(40));
        startScan(1, 41, "100");
        MainWindow &w = *m_window;
        QTRY_VERIFY_WITH_TIMEOUT(w.lblThreads->text() == QLatin1String("Scan Completed"), 30000);
        QCOMPARE(listed(), (QHash<QString, QString>{{host(1), ""}, {host(4), "Model 7 Rev B"}, {host(9), ""}, {host(31), ""},
                                                    {host(22), "Line one\n<b>Line two</b> &amp; more, \"quoted\""}}));
        for (int i = 1; i <= w.lstIPs->rowCount(); ++i)
            QVERIFY(w.lstIPs->row(i)->text(1).endsWith(QLatin1String(" ms")));
        QVERIFY(m_boxes.boxes.isEmpty() && !w.engine().isScanning() && w.engine().busyCount() == 0);
        for (int octet : {4, 9, 22, 31})
            QCOMPARE(m_net.requests(host(octet)), QList<QByteArray>{"GET /id.htm HTTP/1.1\r\nHost: " + host(octet).toLatin1() + "\r\nAccept: */*\r\n\r\n"});
        QCOMPARE(m_net.echoRequestCount(host(40)) - echoes, 6); // time-out and one retry, three echoes a ping
        QCOMPARE(m_net.echoRequestCount(host(41)), 0);
    }
};

QTEST_MAIN(ScannerLabTest)
#include "scanner_lab_test.moc"
