// Makes the README's picture (docs/lanterra-scan.png) from a real scan: the window, offscreen, scans a few
// hosts of the layer-2 lab with MAC Address and Vendor shown. Run by `make picture`, inside the private
// namespace of run-in-netns.sh, as root (the lab needs it).
//
//   readme_picture OUTPUT.png

#include "LanSegment.h"
#include "MainWindow.h"
#include "ResultList.h"
#include "engine/ScanEngine.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: readme_picture OUTPUT.png\n");
        return 2;
    }
    Lab::LanSegment lan;
    if (!lan.isBuilt() || !Lab::isIsolated()) {
        std::fprintf(stderr, "readme_picture: no layer-2 lab (run as root through run-in-netns.sh)\n");
        return 1;
    }
    // Equipment with pages, a printer with a page of its own, a host with none; makers from the IEEE registry.
    const struct { int octet; const char *mac; QByteArray page; } hosts[] = {
        {4, "00:1b:1b:10:20:04", Lab::LabNetwork::idPage(QStringLiteral("QV-2400 Switch, 24 ports, firmware 3.1"))},
        {9, "f4:bd:9e:44:19:09", "<html><head><title>Printer</title></head><body>Ready</body></html>"},
        {12, "00:1b:1b:10:20:12", Lab::LabNetwork::idPage(QStringLiteral("QV-800 Gateway, rev B"))},
        {17, "88:3a:30:5e:00:17", {}},
        {20, "00:1b:1b:10:20:20", Lab::LabNetwork::idPage(QStringLiteral("QV-120 Sensor hub"))},
    };
    for (const auto &h : hosts) {
        const auto page = h.page.isEmpty() ? std::nullopt : std::optional(Lab::Behaviour{Lab::Behaviour::Page, h.page});
        if (!lan.addHost(h.octet, Lab::LanSegment::Host::Echo, page, QString::fromLatin1(h.mac))) {
            std::fprintf(stderr, "readme_picture: could not add host .%d\n", h.octet);
            return 1;
        }
    }

    MainWindow window;
    window.show();
    const QStringList texts = {"198", "18", "0", "3", "22", "1", "100"};
    const QList<QLineEdit *> boxes = {window.txtIP[0], window.txtIP[1], window.txtIP[2], window.txtIPScan[0],
                                      window.txtIPScan[1], window.txtPingRetries, window.txtPingTO};
    for (qsizetype i = 0; i < boxes.size(); ++i)
        boxes[i]->setText(texts[i]);
    window.mnuShowMac->trigger();
    window.mnuShowVendor->trigger();
    window.lstIPs->setFocus();
    // Narrower columns, as an operator would drag them, so that MAC Address and Vendor fit.
    const int widths[] = {76, 60, 84, 108};
    for (int column = 0; column < 4; ++column)
        window.lstIPs->setColumnWidth(column, widths[column]);
    QObject::connect(&window.engine(), &ScanEngine::finished, &window, [&] {
        // One paint pace after the end, so the last state is drawn.
        QTimer::singleShot(200, &window, [&] {
            const bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
            std::fprintf(stderr, "readme_picture: %d hosts listed, %s\n", window.lstIPs->rowCount(),
                         saved ? "saved" : "not saved");
            QApplication::exit(saved ? 0 : 1);
        });
    });
    QTimer::singleShot(0, window.cmdScan, &QPushButton::click);
    return QApplication::exec();
}
