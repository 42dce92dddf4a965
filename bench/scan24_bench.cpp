// The /24 scan benchmark. Builds a lab on 127.0.0.0-255 inside the private
// network namespace, drives the real window offscreen like an operator (127.0.0,
// From 0, To 255, default time-out and retries, Start) with the real pelorin,
// and compares each scan with the ideal duration of the same lab.
//
//   scan24_bench [--runs N] [--devices N] [--web N] [--ping-only N]
//
// Default mix over the 255 pinged addresses .0-.254: 16 identification devices,
// 16 plain web hosts, 32 hosts that answer ping but serve no page, the rest
// (191) silent. Hosts of each kind are spread evenly over the range.

#include "IdealScan.h"
#include "LabNetwork.h"
#include "PelorinConnection.h"
#include "ResultList.h"
#include "ScanEngine.h"
#include "frmMain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
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

QString address(int octet)
{
    return QStringLiteral("127.0.0.%1").arg(octet);
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

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption runsOpt(QStringLiteral("runs"), QStringLiteral("scans in one window"), QStringLiteral("N"), QStringLiteral("10"));
    QCommandLineOption devOpt(QStringLiteral("devices"), QStringLiteral("identification devices"), QStringLiteral("N"), QStringLiteral("16"));
    QCommandLineOption webOpt(QStringLiteral("web"), QStringLiteral("plain web hosts"), QStringLiteral("N"), QStringLiteral("16"));
    QCommandLineOption pingOpt(QStringLiteral("ping-only"), QStringLiteral("hosts that answer ping only"), QStringLiteral("N"), QStringLiteral("32"));
    parser.addOptions({runsOpt, devOpt, webOpt, pingOpt});
    parser.process(app);

    if (!Lab::isIsolated()) {
        std::fprintf(stderr, "scan24_bench: not inside a private network namespace; run it through tests/lab/run-in-netns.sh\n");
        return 2;
    }

    // The lab: octets 0..255; the scan pings 0..254.
    QList<Bench::HostKind> kinds(256, Bench::HostKind::Silent);
    place(kinds, parser.value(devOpt).toInt(), Bench::HostKind::Device, 5);
    place(kinds, parser.value(webOpt).toInt(), Bench::HostKind::WebHost, 9);
    place(kinds, parser.value(pingOpt).toInt(), Bench::HostKind::PingOnly, 1);

    Lab::LabNetwork lab;
    QSet<QString> expectedHosts;
    QHash<QString, QString> expectedDescriptions;
    for (int o = 0; o < 256; ++o) {
        const QString a = address(o);
        switch (kinds[o]) {
        case Bench::HostKind::Silent:
            if (!lab.addSilentHost(a))
                return 3;
            break;
        case Bench::HostKind::Device: {
            Lab::Behaviour b;
            b.body = Lab::LabNetwork::idPage(QStringLiteral("Bench unit %1").arg(o));
            lab.addDevice(a, b);
            expectedDescriptions.insert(a, QStringLiteral("Bench unit %1").arg(o));
            break;
        }
        case Bench::HostKind::WebHost: {
            Lab::Behaviour b;
            b.body = "<html><body>plain host</body></html>";
            lab.addDevice(a, b);
            break;
        }
        case Bench::HostKind::PingOnly:
            break;
        }
        if (o < 255 && kinds[o] != Bench::HostKind::Silent)
            expectedHosts.insert(a);
    }
    const double idealMs = Bench::idealScanMs(kinds.mid(0, 255));

    frmMain window;
    window.show();
    window.txtIP[0]->setText(QStringLiteral("127"));
    window.txtIP[1]->setText(QStringLiteral("0"));
    window.txtIP[2]->setText(QStringLiteral("0"));
    window.txtIPScan[0]->setText(QStringLiteral("0"));
    window.txtIPScan[1]->setText(QStringLiteral("255"));

    PelorinClient::Connection &server = PelorinClient::Connection::instance();
    QString error;
    if (!server.ensureStarted(&error)) {
        std::fprintf(stderr, "scan24_bench: %s\n", qPrintable(error));
        return 4;
    }
    const qint64 pelorinPid = server.serverPid();
    const QString mainTask = QStringLiteral("/proc/self/task/%1/stat").arg(gettid());

    const int runs = parser.value(runsOpt).toInt();
    std::printf("lab: %d devices, %d web hosts, %d ping-only, %d silent of 255 pinged; ideal %.3f s\n",
                int(kinds.mid(0, 255).count(Bench::HostKind::Device)),
                int(kinds.mid(0, 255).count(Bench::HostKind::WebHost)),
                int(kinds.mid(0, 255).count(Bench::HostKind::PingOnly)),
                int(kinds.mid(0, 255).count(Bench::HostKind::Silent)), idealMs / 1000.0);
    std::printf("%-4s %8s %8s %6s %10s %10s %10s %10s %8s %6s\n", "run", "wall_s", "ideal_s", "ratio",
                "lant_cpu", "pel_cpu", "lant_rss", "pel_rss", "pel_thr", "ok");

    QList<QPair<double, double>> ratioAndCpu;
    ProcStats first{}, firstSelf{};
    bool allOk = true, leakFree = true;
    for (int run = 1; run <= runs; ++run) {
        const double pelCpu0 = processStats(pelorinPid).cpuSeconds;
        const double lantCpu0 = cpuSeconds(mainTask);
        QElapsedTimer wall;
        int peakThreads = 0;
        {
            ThreadSampler sampler(pelorinPid);
            wall.start();
            QTimer::singleShot(0, window.cmdScan, &QPushButton::click);
            // Runs the window until the scan has ended and the Start handler has returned.
            QEventLoop wait;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, &wait, [&] {
                if (!window.engine().isScanning() && window.cmdScan->text() == QLatin1String("Start")
                    && window.lblThreads->text() == QLatin1String("Scan Completed"))
                    wait.quit();
            });
            poll.start(5);
            QTimer::singleShot(120000, &wait, &QEventLoop::quit);
            wait.exec();
            peakThreads = sampler.peak();
        }
        const double wallS = wall.nsecsElapsed() / 1e9;
        const ProcStats pel = processStats(pelorinPid);
        const ProcStats self = processStats(getpid());
        const double pelCpu = pel.cpuSeconds - pelCpu0;
        const double lantCpu = cpuSeconds(mainTask) - lantCpu0;

        // Check the list: every answering host once, descriptions right.
        bool ok = window.lstIPs->Count() == expectedHosts.size();
        for (int i = 1; ok && i <= window.lstIPs->Count(); ++i) {
            QTreeWidgetItem *item = window.lstIPs->Item(i);
            ok = expectedHosts.contains(item->text(0)) && item->text(2) == expectedDescriptions.value(item->text(0));
        }
        allOk = allOk && ok;
        const double ratio = wallS / (idealMs / 1000.0);
        ratioAndCpu.append({ratio, pelCpu + lantCpu});
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
        } else if (pelRest.threads > first.threads || pelRest.fds > first.fds || selfRest.fds > firstSelf.fds
                   || pelRest.rssMb > first.rssMb * 1.25 + 2 || selfRest.rssMb > firstSelf.rssMb * 1.25 + 4) {
            leakFree = false;
            std::printf("     resting level grew: pelorin %d threads %d fds %.1f MB; lanterra %d fds %.1f MB\n",
                        pelRest.threads, pelRest.fds, pelRest.rssMb, selfRest.fds, selfRest.rssMb);
        }
    }
    const ProcStats pel = processStats(pelorinPid);
    const ProcStats self = processStats(getpid());
    std::printf("resting after first scan / at end: pelorin %d/%d threads, %d/%d fds; lanterra %d/%d fds; %s\n",
                first.threads, pel.threads, first.fds, pel.fds, firstSelf.fds, self.fds,
                leakFree ? "no growth" : "GROWTH");
    // The median run speaks for the machine; one slow or fast outlier does not.
    std::sort(ratioAndCpu.begin(), ratioAndCpu.end());
    const QPair<double, double> median = ratioAndCpu.value(ratioAndCpu.size() / 2);
    std::printf("scan24 ratio=%.3f cpu_s=%.3f pelorin_rss_mb=%.1f lanterra_rss_mb=%.1f\n", median.first, median.second,
                pel.peakRssMb, self.peakRssMb);
    return allOk ? 0 : 1;
}
