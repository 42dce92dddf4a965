#include "IdealScan.h"

#include <algorithm>
#include <queue>
#include <vector>

namespace Bench {

namespace {

// How long one address keeps its slot busy, from dispatch to its last answer.
double busyMs(HostKind kind, const ScanTiming &t)
{
    const int runs = 1 + t.retries;
    if (kind == HostKind::Silent) // every run: work delay, then all echo attempts time out
        return runs * (t.workDelayMs + t.echoAttempts * t.timeOutMs) + t.notifyDelayMs;
    const double ping = t.workDelayMs + t.notifyDelayMs; // answered at once
    // An empty page is fetched again after the work delay until retries run out.
    const double fetch = (kind == HostKind::PingOnly ? runs : 1) * t.workDelayMs + t.notifyDelayMs;
    return ping + fetch;
}

} // namespace

double idealScanMs(const QList<HostKind> &hosts, const ScanTiming &timing)
{
    // Free times of the slots; with no overhead the lowest-slot rule changes
    // who works where, not when, so a min-heap of free times is enough.
    std::priority_queue<double, std::vector<double>, std::greater<double>> freeAt;
    for (int s = 0; s < timing.slotCount; ++s)
        freeAt.push(0.0);
    double end = 0.0;
    for (HostKind kind : hosts) {
        const double start = freeAt.top();
        freeAt.pop();
        const double done = start + busyMs(kind, timing);
        end = std::max(end, done);
        freeAt.push(done);
    }
    return end;
}

} // namespace Bench
