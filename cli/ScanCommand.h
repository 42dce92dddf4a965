// lanterra-scan: the command line's options, its checks and the run of one
// scan on the engine, with hosts written to stdout as their rows complete
// (and their names are known), progress and a summary on stderr.
// main() only makes the QCoreApplication and calls run().
#pragma once

#include "Targets.h"
#include "engine/ResultFormat.h"

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

Q_DECLARE_LOGGING_CATEGORY(lcScan)

namespace Cli {

enum Exit { Found = 0, NoneFound = 1, BadInput = 2, CannotProbe = 3, Interrupted = 130, Terminated = 143 };

inline constexpr int kMaxTimeOut = 60000;
inline constexpr int kMaxRetries = 99; // the window's retries box holds two digits
inline constexpr int kMaxWorkers = 255;
// How long a host's line waits for its name.
inline constexpr int kNameWaitMs = 2000;

// The operator's inputs, checked: every number is in its range.
struct Options {
    QStringList targets;
    QStringList targetFiles; // -i, "-" for stdin
    int timeOut = 100;
    int retries = 3;
    int workers = 50;
    ResultFormat::Format format = ResultFormat::Format::Table;
    bool names = false;
    bool equipmentOnly = false;
    bool echoOnly = false; // list only hosts that answer echo, as the window does
    bool arp = false;      // an ARP sweep first: only the on-segment addresses that answer it are probed
    bool help = false;
    bool version = false;
};

// Options from the program's arguments (the first is the program). On bad
// input error holds the one line to show.
Options parse(const QStringList &arguments, QString *error);
// The targets of the arguments and files, in order; false with *error set.
bool collectTargets(const Options &options, TargetList *targets, QString *error);

QString usageText();
QString helpText();
QString versionText();

// The whole program after QCoreApplication: the exit status.
int run(const QStringList &arguments);

} // namespace Cli
