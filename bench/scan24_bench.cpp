// The /24 scan benchmark. Builds a lab on 127.0.0.0-255 inside the private
// network namespace, drives the real window offscreen like an operator (127.0.0,
// From 0, To 255, default time-out and retries, start) with the real pelorin,
// and compares each scan with the ideal duration of the same lab.
//
//   scan24_bench [--runs N] [--labs NAME,...] [--devices N --web N --ping-only N]
//
// Without a mix it scans three labs in turn, each runs times (default 5):
//   default  16 identification devices, 16 plain web hosts, 32 ping-only hosts
//   dense    200 identification devices (199 of them pinged), 55 ping-only hosts
//   silent   nothing but 127.0.0.1, which loopback always answers
// the rest of the 255 pinged addresses .0-.254 silent, each kind spread evenly.
// and then the default lab once more with the command line lanterra-scan in
// place of the window (lab=cli), started afresh for every scan with its own
// pelorin, and the default mix four times over on 127.0.0.0/22, scanned by
// lanterra-scan with 255 workers (lab=cli-wide, against the ideal of 255 slots).
// Last, the same default mix on the layer-2 lab (198.18.0.0/24 on one bridge, a
// namespace and kernel per host, the empty addresses failing ARP), live hosts up to
// .254, scanned by the window (lab=lan) and by lanterra-scan (lab=lan-cli), and last by lanterra-scan --arp
// with a host that drops echo and a late one added (lab=lan-arp).
// --labs picks some of these by name; they still run in the order above, since the
// layer-2 lab, once made, stays until the end and the loopback lab needs lo alone.
// The last lines, one per lab, are the medians of its runs:
//   scan24 lab=NAME ratio=R cpu_s=C pelorin_rss_mb=P lanterra_rss_mb=L pelorin_cpu_s=PC
//          pelorin_threads=T ctx_switches_per_addr=S missed=M wall_s=W (W: median wall time, command-line labs)
// missed is the most hosts that answer echo but were left out of the list in any one run.
// cpu_s is both programs' CPU per scan; the RSS figures are each scan's peak
// (lanterra's includes the lab's devices, which run in the same process; on
// lab=cli it is lanterra-scan's own).

#include "IdealScan.h"
#include "LabNetwork.h"
#include "LanSegment.h"
#include "ResultList.h"
#include "client/PelorinConnection.h"
#include "engine/ScanEngine.h"
#include "MainWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

struct ProcStats {
    double cpuSeconds = 0; // user + sys
    double rssMb = 0;
    double peakRssMb = 0;
    int threads = 0;
    int fds = 0;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

double statusKb(const QByteArray &status, const char *key)
{
    for (const QByteArray &line : status.split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toDouble();
    return 0;
}

// CPU seconds of a whole process, or of one thread with a task path.
double cpuSeconds(const QString &statPath)
{
    const QByteArray stat = readFile(statPath);
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / ticks; // utime, stime
}

// Starts a new peak-RSS measurement (VmHWM) for the process.
void resetPeak(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// Voluntary plus involuntary context switches of one task's status file.
double taskSwitches(const QString &statusPath)
{
    const QByteArray status = readFile(statusPath);
    return statusKb(status, "voluntary_ctxt_switches:") + statusKb(status, "nonvoluntary_ctxt_switches:");
}

// The same, summed over every thread of a process.
double processSwitches(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    double sum = 0;
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        sum += taskSwitches(tasks + tid + QStringLiteral("/status"));
    return sum;
}

ProcStats processStats(qint64 pid)
{
    const QString base = QStringLiteral("/proc/%1/").arg(pid);
    const QByteArray status = readFile(base + QStringLiteral("status"));
    ProcStats s;
    s.cpuSeconds = cpuSeconds(base + QStringLiteral("stat"));
    s.rssMb = statusKb(status, "VmRSS:") / 1024.0;
    s.peakRssMb = statusKb(status, "VmHWM:") / 1024.0;
    s.threads = int(statusKb(status, "Threads:"));
    s.fds = int(QDir(base + QStringLiteral("fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
    return s;
}

// Samples pelorin's thread count while a scan runs, off the window's thread.
class ThreadSampler
{
public:
    explicit ThreadSampler(qint64 pid) : m_pid(pid), m_thread([this] { run(); }) {}
    ~ThreadSampler()
    {
        m_stop = true;
        m_thread.join();
    }
    int peak() const { return m_peak; }

private:
    void run()
    {
        while (!m_stop) {
            const int t = int(statusKb(readFile(QStringLiteral("/proc/%1/status").arg(m_pid)), "Threads:"));
            m_peak = std::max(m_peak.load(), t);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    qint64 m_pid;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_peak{0};
    std::thread m_thread;
};

// The lab's address of index: 127.0.0.0 is 0, 127.0.1.0 is 256; on the layer-2 lab 198.18.0.0 is 0.
QString address(int index, bool layer2)
{
    return layer2 ? Lab::LanSegment::address(index) : QStringLiteral("127.0.%1.%2").arg(index / 256).arg(index % 256);
}

// Spreads count hosts of one kind evenly over the free octets.
void place(QList<Bench::HostKind> &kinds, int count, Bench::HostKind kind, int phase)
{
    const int n = int(kinds.size());
    if (count <= 0)
        return;
    int placed = 0;
    for (int k = 0; placed < count && k < n * 2; ++k) {
        const int octet = (phase + (k * n) / count) % n;
        for (int probe = 0; probe < n; ++probe) {
            const int o = (octet + probe) % n;
            if (o != 0 && kinds[o] == Bench::HostKind::Silent) {
                kinds[o] = kind;
                ++placed;
                break;
            }
        }
    }
}

struct LabMix {
    const char *name;
    int devices, web, pingOnly;
    int networks = 1; // /24s: 1 for 127.0.0.0/24, 4 for 127.0.0.0/22
    int slotCount = 50;
    bool commandLine = false; // scanned by lanterra-scan, not the window
    bool layer2 = false;      // on the layer-2 lab, one /24
    bool arp = false;         // lanterra-scan --arp, with a host that drops echo and a late one added to the lab
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

struct LabResult {
    QByteArray name;
    double ratio = 0, cpu = 0, pelorinRss = 0, lanterraRss = 0;
    double pelorinCpu = 0, pelorinThreads = 0, ctxPerAddress = 0;
    qsizetype missed = 0;
    double wall = 0; // seconds, command-line labs only
};

// Addresses a scan of the lab pings.
constexpr double kAddresses = 255;

} // namespace


// Drops every packet to 127.0.0.x addresses of the loopback lab, each an nftables rule; 127.0.0.1, where every
// loopback reply goes, is refused. The table goes with it.
struct SilentHosts {
    bool tableMade = false;
    ~SilentHosts()
    {
        if (tableMade)
            Lab::shell("nft delete table ip lanterra_lab");
    }
    bool add(const QString &address)
    {
        if (!Lab::isIsolated() || !QHostAddress(address).isLoopback() || QHostAddress(address) == QHostAddress::LocalHost)
            return false;
        tableMade = tableMade || Lab::shell("nft 'add table ip lanterra_lab; add chain ip lanterra_lab in "
                                            "{ type filter hook input priority 0; }'");
        return Lab::shell("nft add rule ip lanterra_lab in ip daddr " + address.toLatin1() + " drop");
    }
};

// One lab on 127.0.0.0-255 (or the /22 from 127.0.0.0, or the layer-2 lab's
// 198.18.0.0/24): its hosts, and what a scan of .0-.254 (or of the /22's host
// addresses) must list.
struct BuiltLab {
    Lab::LabNetwork network;
    SilentHosts silent;
    std::unique_ptr<Lab::LanSegment> segment; // the layer-2 lab's, with its hosts and their pages
    QList<Bench::HostKind> kinds; // by address(index)
    QSet<QString> expectedHosts;
    QHash<QString, QString> expectedDescriptions;
    bool arpOnlyHosts = false; // lab=lan-arp's two hosts are there
    double idealMs = 0;

    QString address(int index) const { return ::address(index, segment != nullptr); }
    // The hosts of expectedHosts that listed leaves out.
    qsizetype missed(const QSet<QString> &listed) const { return QSet<QString>(expectedHosts).subtract(listed).size(); }
};

// Sets up the lab of mix; false when a host cannot be made.
static bool buildLab(const LabMix &mix, BuiltLab &lab)
{
    QList<Bench::HostKind> &kinds = lab.kinds;
    const int size = 256 * mix.networks;
    // The window scans .0 to .254; a wider lab is scanned as a network, its
    // host addresses only.
    const int first = mix.networks == 1 ? 0 : 1;
    const int last = size - 2;
    kinds = QList<Bench::HostKind>(size, Bench::HostKind::Silent);
    if (mix.layer2) {
        // The scanner (.1) and the router (.2) answer echo and refuse port 80; the rest of the mix is
        // spread so that its last hosts sit at .252-.254, where a scan's final wave reaches them.
        lab.segment = std::make_unique<Lab::LanSegment>();
        if (!lab.segment->isBuilt()) {
            std::fprintf(stderr, "scan24_bench: lab %s: no layer-2 lab (it needs root and lo alone)\n", mix.name);
            return false;
        }
        kinds[1] = kinds[2] = Bench::HostKind::PingOnly;
        place(kinds, mix.devices, Bench::HostKind::Device, 14);
        place(kinds, mix.web, Bench::HostKind::WebHost, 12);
        place(kinds, mix.pingOnly - 2, Bench::HostKind::PingOnly, 6);
    } else {
        place(kinds, mix.devices, Bench::HostKind::Device, 5);
        place(kinds, mix.web, Bench::HostKind::WebHost, 9);
        place(kinds, mix.pingOnly, Bench::HostKind::PingOnly, 1);
        // Loopback answers every ping to 127.0.0.1 (all replies go there): never silent.
        if (kinds[1] == Bench::HostKind::Silent)
            kinds[1] = Bench::HostKind::PingOnly;
    }

    for (int o = 0; o < size; ++o) {
        const QString a = lab.address(o);
        std::optional<Lab::Behaviour> page;
        if (kinds[o] == Bench::HostKind::Device) {
            page = Lab::Behaviour{Lab::Behaviour::Page, Lab::LabNetwork::idPage(QStringLiteral("Bench unit %1").arg(o))};
            lab.expectedDescriptions.insert(a, QStringLiteral("Bench unit %1").arg(o));
        } else if (kinds[o] == Bench::HostKind::WebHost) {
            page = Lab::Behaviour{Lab::Behaviour::Page, "<html><body>plain host</body></html>"};
        }
        bool made = true;
        if (lab.segment) // an empty address needs nothing; .1 and .2 are there already
            made = kinds[o] == Bench::HostKind::Silent || o < 3 || lab.segment->addHost(o, Lab::LanSegment::Host::Echo, page);
        else if (kinds[o] == Bench::HostKind::Silent)
            made = lab.silent.add(a);
        else if (page)
            made = lab.network.addDevice(a, *page);
        if (!made) {
            std::fprintf(stderr, "scan24_bench: lab %s: cannot set up %s\n", mix.name, qPrintable(a));
            return false;
        }
        if (o >= first && o <= last && kinds[o] != Bench::HostKind::Silent)
            lab.expectedHosts.insert(a);
    }
    const QList<Bench::HostKind> pinged = kinds.mid(first, last - first + 1);
    Bench::ScanTiming timing;
    timing.slotCount = mix.slotCount;
    lab.idealMs = Bench::idealScanMs(pinged, timing);
    std::printf("lab %s: %d devices, %d web hosts, %d ping-only, %d silent of %d pinged, %d slots; ideal %.3f s\n",
                mix.name, int(pinged.count(Bench::HostKind::Device)), int(pinged.count(Bench::HostKind::WebHost)),
                int(pinged.count(Bench::HostKind::PingOnly)), int(pinged.count(Bench::HostKind::Silent)),
                int(pinged.size()), mix.slotCount, lab.idealMs / 1000.0);
    return true;
}

// For lab=lan-arp, once: a host that drops echo (with a page) and a late one, on the two highest empty
// addresses below .250, which lanterra-scan lists through ARP. The labs before it are over by then.
static bool addArpOnlyHosts(BuiltLab &lab)
{
    if (!lab.segment || lab.arpOnlyHosts)
        return lab.segment != nullptr;
    int octet = 250;
    for (const Lab::LanSegment::Host kind : {Lab::LanSegment::Host::DropsEcho, Lab::LanSegment::Host::Late}) {
        while (lab.kinds[--octet] != Bench::HostKind::Silent) {
        }
        const QString a = lab.address(octet);
        std::optional<Lab::Behaviour> page;
        if (kind == Lab::LanSegment::Host::DropsEcho) {
            page = Lab::Behaviour{Lab::Behaviour::Page, Lab::LabNetwork::idPage(QStringLiteral("Bench unit %1").arg(octet))};
            lab.expectedDescriptions.insert(a, QStringLiteral("Bench unit %1").arg(octet));
        }
        if (!lab.segment->addHost(octet, kind, page)) {
            std::fprintf(stderr, "scan24_bench: lab lan-arp: cannot set up %s\n", qPrintable(a));
            return false;
        }
        lab.expectedHosts.insert(a);
        std::printf("lab lan-arp: %s %s\n", qPrintable(a),
                    kind == Lab::LanSegment::Host::DropsEcho ? "drops echo" : "answers echo late");
    }
    lab.arpOnlyHosts = true;
    return true;
}

// Runs the event loop until done() says so or timeoutMs have passed, checking every 5 ms.
static void runUntil(const std::function<bool()> &done, int timeoutMs = 120000)
{
    QEventLoop wait;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &wait, [&] {
        if (done())
            wait.quit();
    });
    poll.start(5);
    QTimer::singleShot(timeoutMs, &wait, &QEventLoop::quit);
    wait.exec();
}

// Scans lab runs times in the window and prints a line per run.
// Returns false when a scan listed the wrong hosts.
static bool scanLab(MainWindow &window, qint64 pelorinPid, const LabMix &mix, const BuiltLab &lab, int runs,
                    LabResult &result)
{
    const double idealMs = lab.idealMs;
    const QStringList network = lab.address(0).split(QLatin1Char('.'));
    for (int i = 0; i < 3; ++i)
        window.txtIP[i]->setText(network[i]);
    const QString mainTask = QStringLiteral("/proc/self/task/%1/stat").arg(gettid());

    std::printf("%-4s %8s %8s %6s %10s %10s %10s %10s %8s %6s\n", "run", "wall_s", "ideal_s", "ratio",
                "lant_cpu", "pel_cpu", "lant_rss", "pel_rss", "pel_thr", "ok");

    QList<double> ratios, cpus, pelRss, lantRss, pelCpus, pelThreads, switches;
    const QString mainStatus = QStringLiteral("/proc/self/task/%1/status").arg(gettid());
    ProcStats first{}, firstSelf{};
    bool allOk = true, leakFree = true;
    qsizetype missed = 0;
    for (int run = 1; run <= runs; ++run) {
        resetPeak(pelorinPid);
        resetPeak(getpid());
        const double pelCpu0 = processStats(pelorinPid).cpuSeconds;
        const double lantCpu0 = cpuSeconds(mainTask);
        // Exited threads' switches leave the sum: with no thread per object, none should exit.
        const double switches0 = processSwitches(pelorinPid) + taskSwitches(mainStatus);
        QElapsedTimer wall;
        int peakThreads = 0;
        {
            ThreadSampler sampler(pelorinPid);
            wall.start();
            QTimer::singleShot(0, window.cmdScan, &QPushButton::click);
            // Runs the window until the scan has ended: woken by the end itself, so
            // that no polling of the bench's counts as the window's CPU.
            QEventLoop wait;
            QObject::connect(&window.engine(), &ScanEngine::finished, &wait, &QEventLoop::quit, Qt::QueuedConnection);
            QTimer::singleShot(120000, &wait, &QEventLoop::quit);
            wait.exec();
            peakThreads = sampler.peak();
        }
        const double wallS = wall.nsecsElapsed() / 1e9;
        const ProcStats pel = processStats(pelorinPid);
        const ProcStats self = processStats(getpid());
        const double pelCpu = pel.cpuSeconds - pelCpu0;
        const double lantCpu = cpuSeconds(mainTask) - lantCpu0;
        switches.append((processSwitches(pelorinPid) + taskSwitches(mainStatus) - switches0) / kAddresses);
        pelCpus.append(pelCpu);
        pelThreads.append(peakThreads);

        // Check the list: every answering host once, descriptions right.
        bool ok = !window.engine().isScanning() && window.lblThreads->text() == QLatin1String("Scan Completed")
                  && window.lstIPs->rowCount() == lab.expectedHosts.size();
        QSet<QString> listed;
        for (int i = 0; i < window.lstIPs->rowCount(); ++i) {
            QTreeWidgetItem *item = window.lstIPs->row(i);
            listed.insert(item->text(0));
            ok = ok && lab.expectedHosts.contains(item->text(0))
                 && item->text(2) == lab.expectedDescriptions.value(item->text(0));
        }
        missed = std::max(missed, lab.missed(listed));
        allOk = allOk && ok;
        const double ratio = wallS / (idealMs / 1000.0);
        ratios.append(ratio);
        cpus.append(pelCpu + lantCpu);
        pelRss.append(pel.peakRssMb);
        lantRss.append(self.peakRssMb);
        std::printf("%-4d %8.3f %8.3f %6.3f %10.3f %10.3f %10.1f %10.1f %8d %6s\n", run, wallS, idealMs / 1000.0, ratio,
                    lantCpu, pelCpu, self.peakRssMb, pel.peakRssMb, peakThreads, ok ? "yes" : "NO");
        // Let released objects finish before reading the resting level.
        QEventLoop settle;
        QTimer::singleShot(300, &settle, &QEventLoop::quit);
        settle.exec();
        const ProcStats pelRest = processStats(pelorinPid);
        const ProcStats selfRest = processStats(getpid());
        if (run == 1) {
            first = pelRest;
            firstSelf = selfRest;
        } else if (selfRest.fds > firstSelf.fds || pelRest.rssMb > first.rssMb * 1.25 + 2
                   || selfRest.rssMb > firstSelf.rssMb * 1.25 + 4) {
            leakFree = false;
            std::printf("     resting level grew: pelorin %d threads %d fds %.1f MB; lanterra %d fds %.1f MB\n",
                        pelRest.threads, pelRest.fds, pelRest.rssMb, selfRest.fds, selfRest.rssMb);
        }
    }
    // pelorin's spare object threads (and their descriptors) end after a few idle
    // seconds: by then it must hold no more than after the first scan.
    runUntil([&] {
        const ProcStats p = processStats(pelorinPid);
        return p.threads <= first.threads && p.fds <= first.fds;
    }, 5000);
    const ProcStats pel = processStats(pelorinPid);
    const ProcStats self = processStats(getpid());
    leakFree = leakFree && pel.threads <= first.threads && pel.fds <= first.fds;
    std::printf("lab %s resting after first scan / at end: pelorin %d/%d threads, %d/%d fds, %.1f/%.1f MB; lanterra %d/%d fds; %s\n\n",
                mix.name, first.threads, pel.threads, first.fds, pel.fds, first.rssMb, pel.rssMb, firstSelf.fds, self.fds,
                leakFree ? "no growth" : "GROWTH");
    // The median run speaks for the machine; one slow or fast outlier does not.
    result = {mix.name, median(ratios), median(cpus), median(pelRss), median(lantRss),
              median(pelCpus), median(pelThreads), median(switches), missed};
    return allOk;
}

// CPU seconds of this process's ended and reaped children, their own reaped children included.
static double reapedChildrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Voluntary plus involuntary context switches of the same children.
static double reapedChildrenSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_nvcsw) + double(usage.ru_nivcsw);
}

// The first child process of pid (lanterra-scan's pelorin), 0 while it has none.
static qint64 firstChild(qint64 pid)
{
    return readFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid)).trimmed().split(' ').value(0).toLongLong();
}

// Scans lab runs times with the command line lanterra-scan, a new one (and so
// a new pelorin) for every scan, and checks its CSV against the lab.
static bool scanCli(const LabMix &mix, const BuiltLab &lab, int runs, LabResult &result)
{
    const double idealMs = lab.idealMs;
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
    std::printf("%-4s %8s %8s %6s %10s %10s %10s %10s %6s\n", "run", "wall_s", "ideal_s", "ratio", "cli_cpu",
                "pel_cpu", "cli_rss", "pel_rss", "ok");

    QList<double> ratios, cpus, pelRss, cliRss, pelCpus, pelThreads, switches;
    bool allOk = true;
    qsizetype missed = 0;
    for (int run = 1; run <= runs; ++run) {
        QProcess cli;
        cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const double cpu0 = reapedChildrenCpuSeconds();
        const double switches0 = reapedChildrenSwitches();
        QElapsedTimer wall;
        wall.start();
        int prefix = 24;
        for (int n = mix.networks; n > 1; n /= 2)
            --prefix;
        cli.start(program, (mix.networks == 1 ? QStringList{lab.address(0) + QStringLiteral("-254"), "--format", "csv"}
                                              : QStringList{QStringLiteral("127.0.0.0/%1").arg(prefix), "--workers",
                                                            QString::number(mix.slotCount), "--format", "csv"})
                               + (mix.arp ? QStringList{"--arp"} : QStringList()));
        // Peak RSS only grows, and pelorin's CPU only adds up: the last sample is the figure.
        double cliPeak = 0, pelPeak = 0, pelCpu = 0, pelSwitches = 0;
        int pelThr = 0;
        runUntil([&] {
            if (cli.state() == QProcess::NotRunning)
                return true;
            if (const qint64 pid = cli.processId()) {
                cliPeak = std::max(cliPeak, statusKb(readFile(QStringLiteral("/proc/%1/status").arg(pid)), "VmHWM:") / 1024.0);
                if (const qint64 pelorin = firstChild(pid)) {
                    const QString base = QStringLiteral("/proc/%1/").arg(pelorin);
                    pelPeak = std::max(pelPeak, statusKb(readFile(base + QStringLiteral("status")), "VmHWM:") / 1024.0);
                    pelCpu = std::max(pelCpu, cpuSeconds(base + QStringLiteral("stat")));
                    pelThr = std::max(pelThr, int(statusKb(readFile(base + QStringLiteral("status")), "Threads:")));
                    pelSwitches = std::max(pelSwitches, processSwitches(pelorin));
                }
            }
            return false;
        });
        cli.waitForFinished(5000);
        const double wallS = wall.nsecsElapsed() / 1e9;
        // lanterra-scan does not wait for its pelorin, which ends at its closed stdin on its own: it is
        // never reaped here, so its last sample counts instead.
        const double cpu = reapedChildrenCpuSeconds() - cpu0 + pelCpu;
        const double addresses = mix.networks == 1 ? kAddresses : mix.networks * 256.0 - 2; // a /22's host addresses
        switches.append((reapedChildrenSwitches() - switches0 + pelSwitches) / addresses);
        pelCpus.append(pelCpu);
        pelThreads.append(pelThr);

        // Check the output: every answering host once, descriptions right.
        QStringList lines = QString::fromUtf8(cli.readAllStandardOutput()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        bool ok = cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0 && !lines.isEmpty()
                  && lines.size() - 1 == lab.expectedHosts.size();
        QSet<QString> listed;
        for (int i = 1; i < lines.size(); ++i) {
            const QStringList fields = lines[i].split(QLatin1Char(','));
            listed.insert(fields.value(0));
            ok = ok && lab.expectedHosts.contains(fields.value(0))
                 && fields.value(2) == lab.expectedDescriptions.value(fields.value(0));
        }
        missed = std::max(missed, lab.missed(listed));
        allOk = allOk && ok;
        const double ratio = wallS / (idealMs / 1000.0);
        ratios.append(ratio);
        cpus.append(cpu);
        pelRss.append(pelPeak);
        cliRss.append(cliPeak);
        std::printf("%-4d %8.3f %8.3f %6.3f %10.3f %10.3f %10.1f %10.1f %6s\n", run, wallS, idealMs / 1000.0, ratio,
                    cpu - pelCpu, pelCpu, cliPeak, pelPeak, ok ? "yes" : "NO");
    }
    std::printf("\n");
    result = {mix.name, median(ratios), median(cpus), median(pelRss), median(cliRss),
              median(pelCpus), median(pelThreads), median(switches), missed, median(ratios) * idealMs / 1000.0};
    return allOk;
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Every lab, in the order they run.
    const QList<LabMix> allMixes{
        {"default", 16, 16, 32},
        {"dense", 200, 0, 55},
        {"silent", 0, 0, 0},
        {.name = "cli", .devices = 16, .web = 16, .pingOnly = 32, .commandLine = true},
        {.name = "cli-wide", .devices = 64, .web = 64, .pingOnly = 128, .networks = 4, .slotCount = 255,
         .commandLine = true},
        {.name = "lan", .devices = 16, .web = 16, .pingOnly = 32, .layer2 = true},
        {.name = "lan-cli", .devices = 16, .web = 16, .pingOnly = 32, .commandLine = true, .layer2 = true},
        {.name = "lan-arp", .devices = 16, .web = 16, .pingOnly = 32, .commandLine = true, .layer2 = true,
         .arp = true},
    };
    QStringList labNames;
    for (const LabMix &mix : allMixes)
        labNames << QString::fromLatin1(mix.name);

    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption runsOpt(QStringLiteral("runs"), QStringLiteral("scans of each lab"), QStringLiteral("N"), QStringLiteral("5"));
    QCommandLineOption labsOpt(QStringLiteral("labs"), QStringLiteral("the labs to scan, of ") + labNames.join(QLatin1Char(',')),
                               QStringLiteral("NAME,..."), labNames.join(QLatin1Char(',')));
    QCommandLineOption devOpt(QStringLiteral("devices"), QStringLiteral("identification devices"), QStringLiteral("N"), QStringLiteral("0"));
    QCommandLineOption webOpt(QStringLiteral("web"), QStringLiteral("plain web hosts"), QStringLiteral("N"), QStringLiteral("0"));
    QCommandLineOption pingOpt(QStringLiteral("ping-only"), QStringLiteral("hosts that answer ping only"), QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({runsOpt, labsOpt, devOpt, webOpt, pingOpt});
    parser.process(app);

    if (!Lab::isIsolated()) {
        std::fprintf(stderr, "scan24_bench: not inside a private network namespace; run it through tests/lab/run-in-netns.sh\n");
        return 2;
    }

    QList<LabMix> mixes;
    const QStringList chosen = parser.value(labsOpt).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &name : chosen)
        if (!labNames.contains(name)) {
            std::fprintf(stderr, "scan24_bench: no lab %s; the labs are %s\n", qPrintable(name),
                         qPrintable(labNames.join(QLatin1Char(','))));
            return 2;
        }
    for (const LabMix &mix : allMixes)
        if (chosen.contains(QString::fromLatin1(mix.name)))
            mixes.append(mix);
    if (parser.isSet(devOpt) || parser.isSet(webOpt) || parser.isSet(pingOpt))
        mixes = {{"custom", parser.value(devOpt).toInt(), parser.value(webOpt).toInt(), parser.value(pingOpt).toInt()}};

    MainWindow window;
    window.show();
    window.txtIPScan[0]->setText(QStringLiteral("0"));
    window.txtIPScan[1]->setText(QStringLiteral("255"));

    PelorinClient::Connection &server = PelorinClient::Connection::instance();
    QString error;
    bool started = server.start(&error);
    if (started && !server.isReady()) {
        QEventLoop greeting; // the bench's own wait, outside the programs measured
        QObject::connect(&server, &PelorinClient::Connection::ready, &greeting, &QEventLoop::quit);
        QObject::connect(&server, &PelorinClient::Connection::startFailed, &greeting, [&](const QString &why) {
            error = why;
            greeting.quit();
        });
        greeting.exec();
        started = server.isReady();
    }
    if (!started) {
        std::fprintf(stderr, "scan24_bench: %s\n", qPrintable(error));
        return 4;
    }
    const int runs = std::max(1, parser.value(runsOpt).toInt());
    bool allOk = true;
    QList<LabResult> results;
    std::unique_ptr<BuiltLab> lab;
    for (const LabMix &mix : std::as_const(mixes)) {
        // Each loopback lab is made afresh; the layer-2 lab, made once, serves lan and lan-cli alike.
        if (!mix.layer2 || !lab || !lab->segment) {
            lab.reset();
            lab = std::make_unique<BuiltLab>();
            if (!buildLab(mix, *lab)) {
                allOk = false;
                continue;
            }
        }
        if (mix.arp && !addArpOnlyHosts(*lab)) {
            allOk = false;
            continue;
        }
        if (mix.commandLine)
            std::printf("command line lanterra-scan, lab %s\n", mix.name);
        LabResult r;
        allOk = (mix.commandLine ? scanCli(mix, *lab, runs, r) : scanLab(window, server.serverPid(), mix, *lab, runs, r))
                && allOk;
        results.append(r);
    }
    for (const LabResult &r : std::as_const(results))
        std::printf("scan24 lab=%s ratio=%.3f cpu_s=%.3f pelorin_rss_mb=%.1f lanterra_rss_mb=%.1f pelorin_cpu_s=%.3f "
                    "pelorin_threads=%.0f ctx_switches_per_addr=%.1f missed=%lld wall_s=%.3f\n",
                    r.name.constData(), r.ratio, r.cpu, r.pelorinRss, r.lanterraRss, r.pelorinCpu, r.pelorinThreads,
                    r.ctxPerAddress, qlonglong(r.missed), r.wall);
    return allOk ? 0 : 1;
}
