// Lanterra's only window: the operator's range and settings, the start/stop
// button, the result list and the progress line, bound to the scan engine
// it owns. Holds worker 0 (ScanObjArr(0)) for its whole life; the engine's
// workers need no widget. Keeps the listed hosts' records, in list order, for
// Copy and Save as CSV; the row and header menus are its own.
#pragma once

#include "engine/HostRecord.h"
#include "engine/ScanChecks.h"

#include <QColor>
#include <QHash>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QLineEdit;
class QPushButton;
class QFrame;
class DisplayThrottle;
class ProbeFactory;
class QTreeWidgetItem;
class ResultList;
class ScanEngine;
class WorkerShell;

class MainWindow : public QWidget
{
    Q_OBJECT

public:
    // Scans with probes of factory, or of pelorin when none is given.
    explicit MainWindow(QWidget *parent = nullptr, ProbeFactory *factory = nullptr);
    ~MainWindow() override;

    static constexpr const char *kAppTitle = "Lanterra";

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

    // The list's menus: rows (right-click on the list) and columns (on its header).
    QMenu *mnuList = nullptr;
    QAction *mnuOpen = nullptr;
    QAction *mnuCopy = nullptr; // also Ctrl+C in the list
    QAction *mnuCopyAll = nullptr;
    QAction *mnuSaveCsv = nullptr;
    QMenu *mnuColumns = nullptr;
    QAction *mnuShowMac = nullptr;
    QAction *mnuShowVendor = nullptr;

    WorkerShell *worker0() const { return m_worker0; }
    ScanEngine &engine() const { return *m_engine; }

    // Layout units: twips to pixels with the screen's logical DPI.
    double twipsPerPixelX() const { return m_twipsPerPixelX; }
    double twipsPerPixelY() const { return m_twipsPerPixelY; }
    int toPixelsX(double twips) const;
    int toPixelsY(double twips) const;

public slots:
    void startOrStop();
    void openSelectedHost();
    void copyRows(bool all);
    void saveAsCsv();

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void applyFonts();
    void fitToCaption(QLabel *label);
    void place(QWidget *control, double left, double top, double width, double height);
    void applyGeometry(QWidget *control);
    void layoutOnResize();
    void setPointer(PointerCode code);
    void setThreadsCaption(const QString &caption, const QColor &colour);
    void drawScanProgress();

    void startSteps();
    void stopSteps();
    void startScan();
    void writeCsv(QString path);
    void openBox(const QString &text, int style, std::function<void(int)> reply);
    void bindEngine();
    void setRangeLocked(bool locked);

    std::unique_ptr<ProbeFactory> m_ownFactory;
    ScanEngine *m_engine = nullptr;
    WorkerShell *m_worker0 = nullptr;
    // Every listed host in list order, and the list position of each row
    // the engine has not completed yet.
    QList<HostRecord> m_hosts;
    QHash<quint64, int> m_positions;
    // The progress line and txtIP(3) while a scan runs, drawn by m_display
    // at a pace a person can follow: busy workers (0: none reported yet) and
    // the fourth octet of the next address (-1: no scan).
    int m_busy = 0;
    int m_nextOctet = -1;
    ScanRange m_range; // taken at the last start
    // Paces the progress line, txtIP(3) and the window's paints: a paint asked
    // for while a change is held back waits for the pace's next drawing.
    DisplayThrottle *m_display = nullptr;
    bool m_paintHeld = false;
    // Layout geometry in twips, relative to each control's container.
    QHash<QWidget *, QRectF> m_twips;
    double m_twipsPerPixelX = 15.0;
    double m_twipsPerPixelY = 15.0;
};
