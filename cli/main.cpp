// lanterra-scan: scans like Lanterra's window, from a terminal or a script.
#include "ScanCommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lanterra-scan"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LANTERRA_VERSION));
    return Cli::run(QCoreApplication::arguments());
}
