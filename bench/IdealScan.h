// The ideal duration of a scan: an event simulation of the worker slots (50
// as the window has, or the command line's --workers)
// with the probe server's timers and time-outs and no overhead at all. No
// implementation can finish the same lab faster.
#pragma once

#include <QList>

namespace Bench {

enum class HostKind {
    Silent,     // answers nothing
    PingOnly,   // answers ping, refuses port 80 (empty page, fetched 1 + retries times)
    WebHost,    // answers ping, serves a page that is not an identification page
    Device,     // answers ping, serves an identification page
};

struct ScanTiming {
    int slotCount = 50;
    int workDelayMs = 10;   // a request's work starts this long after the call
    int notifyDelayMs = 100; // the answer is raised this long after the work
    int echoAttempts = 3;   // echo attempts per ping run
    int timeOutMs = 100;
    int retries = 3;
};

// Milliseconds from start to the last answer, for hosts handed out in order.
double idealScanMs(const QList<HostKind> &hosts, const ScanTiming &timing = {});

} // namespace Bench
