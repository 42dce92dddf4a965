// Lanterra's only window: the operator's range and settings, the Start/Stop
// button with the scan controller behind it, the handling of the workers'
// answers, the result list and the progress line. Owns its worker shells
// (ScanObjArr: element 0 for the window's life, 1 to 50 while a scan runs).
#pragma once

#include <QColor>
#include <QHash>
#include <QMap>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <array>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;
class ResultList;
class ScanObjShell;

class frmMain : public QWidget
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    static constexpr const char *kAppTitle = "Lanterra";
    static constexpr quint8 kSlotCount = 50;
    static constexpr quint8 kNoFreeSlot = 51;

    // Pointer codes as the controller names them.
    enum PointerCode { PointerDefault = 0, PointerHourglass = 11, PointerArrowHourglass = 13 };

    // Controls, public so that tests can drive and read them like an operator.
    std::array<QGroupBox *, 2> fraMain{};
    QWidget *XPHolder = nullptr;
    std::array<QLabel *, 5> lblDisp{};
    std::array<QLineEdit *, 4> txtIP{};
    std::array<QLineEdit *, 2> txtIPScan{};
    QLineEdit *txtPingTO = nullptr;
    QLineEdit *txtPingRetries = nullptr;
    QPushButton *cmdScan = nullptr;
    ResultList *lstIPs = nullptr;
    QLabel *lblThreads = nullptr;
    QFrame *picScanning = nullptr;
    QLabel *imgScanning = nullptr;
    QLabel *lblScanning = nullptr;

    // The worker array: index -> shell. Element 0 always, 1..50 while busy.
    ScanObjShell *worker(int index) const { return ScanObjArr.value(index, nullptr); }
    int busyWorkerCount() const;
    // True from a Start that passed its checks until the scan has ended
    // (dispatching or draining).
    bool isScanning() const;
    // True while the Start click's handler runs its dispatch loop.
    bool isDispatching() const { return m_dispatching; }

    // Design units: twips to pixels with the screen's logical DPI.
    double twipsPerPixelX() const { return m_twipsPerPixelX; }
    double twipsPerPixelY() const { return m_twipsPerPixelY; }
    int toPixelsX(double twips) const;
    int toPixelsY(double twips) const;

    // Scan controller.
    QString NextAddress();
    quint8 FindFreeSlot() const;
    bool IsSlotLoaded(quint8 Index) const;
    void StartPing(quint8 Index);
    void StartHTTPRequest(quint8 Index);
    void UpdateProgress();
    void ScanFinished();

    // Settings of the next request, read anew each time: at least 1, and held
    // at the largest value the request type can carry.
    qint32 requestTimeOut() const;
    quint8 requestRetries() const;

public slots:
    void cmdScan_Click();

    // Response handling.
    void ScanObjArr_PingResponse(qint16 Index, QString &sIP, qint16 &iPingTime);
    void ScanObjArr_HTTPReqResponse(qint16 Index, QString &sIP, QString &sRaw);
    void lstIPs_DblClick();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void applyFonts();
    void place(QWidget *control, double left, double top, double width, double height);
    void applyGeometry(QWidget *control);
    void layoutOnResize();
    void setPointer(PointerCode code);
    void setThreadsCaption(const QString &caption, const QColor &colour);

    void startSteps();
    void stopSteps();
    void runDispatchLoop();
    void restoreIdleDisplay();
    bool probeServerReady();

    ScanObjShell *loadWorker(quint8 Index);
    void unloadWorker(int Index);
    void unloadAllWorkers();
    bool isCurrentWorker(qint16 Index) const;

    void onServerDied(const QString &reason);
    void reportServerFailure(const QString &text);

    QMap<int, ScanObjShell *> ScanObjArr;
    // Design geometry in twips, relative to each control's container.
    QHash<QWidget *, QRectF> m_twips;
    double m_twipsPerPixelX = 15.0;
    double m_twipsPerPixelY = 15.0;

    // Entries of this scan already handed to a page request. Wider than a
    // byte: a scan with more than 255 answering hosts keeps asking the right
    // host instead of wrapping back to the first entry.
    quint32 bytQueried = 0;
    bool bDispatchDone = false;
    bool bThreadsBusy = false;

    bool m_dispatching = false;
    bool m_scanAnnounced = true;
    bool m_serverFailureShown = false;
    // Counts Starts and Stops: work begun in one scan is dropped when the scan
    // it belonged to has been stopped meanwhile.
    quint64 m_scanGeneration = 0;
};
