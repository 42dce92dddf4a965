// lanterra-scan: the command line's options, its checks and the run of one
// scan on the engine, with hosts written to stdout as their rows complete.
// main() only makes the QCoreApplication and calls run().
#pragma once

#include "engine/ResultFormat.h"

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

Q_DECLARE_LOGGING_CATEGORY(lcScan)

namespace Cli {

enum Exit { Completed = 0, BadInput = 2, CannotProbe = 3, Interrupted = 130, Terminated = 143 };

// The operator's inputs as typed; read like the window's boxes.
struct Options {
    QString network = QStringLiteral("192.168.0");
    QString from = QStringLiteral("0");
    QString to = QStringLiteral("255");
    QString timeOut = QStringLiteral("100");
    QString retries = QStringLiteral("3");
    ResultFormat::Format format = ResultFormat::Format::Table;
    bool help = false;
    bool version = false;
};

// Options from the program's arguments (the first is the program). On bad
// input error holds the one line to show.
Options parse(const QStringList &arguments, QString *error);
// The refusal of options that can't start a scan, empty when they can.
QString refusal(const Options &options);
QString helpText();
QString versionText();

// The whole program after QCoreApplication: the exit status.
int run(const QStringList &arguments);

} // namespace Cli
