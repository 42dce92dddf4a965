// Lanterra's only window: the operator's range and settings, the Start/Stop
// button, the result list and the progress line, bound to the scan engine
// it owns. Holds worker 0 (ScanObjArr(0)) for its whole life; the engine's
// workers need no widget.
#pragma once

#include <QColor>
#include <QHash>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <array>
#include <memory>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;
class ProbeFactory;
class QTreeWidgetItem;
class ResultList;
class ScanEngine;
class ScanObjShell;

class frmMain : public QWidget
{
    Q_OBJECT

public:
    // Scans with probes of factory, or of pelorin when none is given.
    explicit frmMain(QWidget *parent = nullptr, ProbeFactory *factory = nullptr);
    ~frmMain() override;

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

    ScanObjShell *worker0() const { return m_worker0; }
    ScanEngine &engine() const { return *m_engine; }

    // Layout units: twips to pixels with the screen's logical DPI.
    double twipsPerPixelX() const { return m_twipsPerPixelX; }
    double twipsPerPixelY() const { return m_twipsPerPixelY; }
    int toPixelsX(double twips) const;
    int toPixelsY(double twips) const;

public slots:
    void cmdScan_Click();
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
    bool startRefused();
    void bindEngine();
    void setRangeLocked(bool locked);

    std::unique_ptr<ProbeFactory> m_ownFactory;
    ScanEngine *m_engine = nullptr;
    ScanObjShell *m_worker0 = nullptr;
    // The list's entry of each row the engine has reported.
    QHash<quint64, QTreeWidgetItem *> m_entries;
    // Layout geometry in twips, relative to each control's container.
    QHash<QWidget *, QRectF> m_twips;
    double m_twipsPerPixelX = 15.0;
    double m_twipsPerPixelY = 15.0;
};
