// lanterra-scan's options, checks and scan run.
#include "ScanCommand.h"

#include "SignalPipe.h"
#include "client/PelorinConnection.h"
#include "client/PelorinProbe.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "netinfo/LocalSegments.h"
#include "netinfo/NeighbourTable.h"
#include "ProbeInterface.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QHostInfo>
#include <QSet>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <memory>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcScan, "lanterra-scan", QtInfoMsg)

namespace Cli {

namespace {

// Ping results of an echo request the kernel refused for want of a route
// (minus pelorin's "network unreachable" and "host unreachable" statuses).
constexpr qint16 kNetUnreachable = -qint16(Pelorin::IpStatus::DestNetUnreachable);
constexpr qint16 kHostUnreachable = -qint16(Pelorin::IpStatus::DestHostUnreachable);
constexpr int kProgressMs = 100; // at most 10 redraws a second

// All of bytes to fd; false once the reader has gone (a closed pipe).
bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// The address of dotted text, host byte order.
std::optional<quint32> addressOf(const QString &host)
{
    const QStringList parts = host.split(u'.');
    quint32 address = 0;
    for (const QString &part : parts)
        address = address << 8 | part.toUInt();
    return parts.size() == 4 ? std::optional<quint32>(address) : std::nullopt;
}

} // namespace

QString usageText()
{
    return QStringLiteral("Usage: lanterra-scan [options] TARGET... (lanterra-scan --help tells more)\n");
}

QString helpText()
{
    return QStringLiteral(
        "Usage: lanterra-scan [options] TARGET...\n"
        "\n"
        "Finds Quorvane equipment on an IPv4 network as Lanterra's window does: pings\n"
        "every address of the targets and lists each host that answers, with the\n"
        "equipment description of its page id.htm. A host on this machine's own\n"
        "segment that drops the pings but answered the ARP request they caused is\n"
        "listed too, with no ping time (field seen: echo or arp).\n"
        "\n"
        "Targets, scanned in the order given, each address once (at most 65536):\n"
        "  A.B.C                .1 to .254 of that network\n"
        "  A.B.C.D              one host\n"
        "  A.B.C.D-E            .D to .E, both included\n"
        "  A.B.C.D/N            the host addresses of that network, N from 16 to 32\n"
        "\n"
        "Options:\n"
        "  -i, --input FILE     read targets from FILE (- for stdin), one a line;\n"
        "                       blank lines and # comments are ignored\n"
        "  -T, --timeout MS     time-out of each ping and page request, 1 to 60000\n"
        "                       (default 100)\n"
        "  -r, --retries N      retries of each ping and page request, 1 to 99\n"
        "                       (default 3)\n"
        "  -w, --workers N      addresses probed at once, 1 to 255 (default 50)\n"
        "  -n, --names          add each host's reverse DNS name (field name)\n"
        "  -e, --equipment-only list only hosts with an equipment description\n"
        "      --echo-only      list only hosts that answer the pings, as the window\n"
        "      --arp            first ask every target on this machine's segments by\n"
        "                       ARP, and ping only those that answer (needs\n"
        "                       cap_net_raw on pelorin; without it the scan goes on)\n"
        "  -o, --format FORMAT  table (default), csv or jsonl\n"
        "  -h, --help           show this help and exit\n"
        "  -v, --version        show the version and exit\n"
        "\n"
        "Every number must be a whole decimal number in its range. Each host is\n"
        "printed on stdout once its page has answered or it has none. On a terminal,\n"
        "progress is shown on stderr; a summary line always ends the run there.\n"
        "CSV cells that begin with = + - @, a tab or a carriage return get a leading '.\n"
        "Control characters other than tab, CR and LF are shown as \\x1b in table\n"
        "and CSV; JSON Lines escape them as JSON does.\n"
        "\n"
        "Examples:\n"
        "  lanterra-scan 10.1.2.0/24 -o csv          every host, seen by echo or arp\n"
        "  lanterra-scan --echo-only 10.1.2.0/24     only hosts that answer pings\n"
        "  lanterra-scan --arp 10.1.2.0/24           ARP sweep first, then the hosts found\n"
        "\n"
        "Exit status: 0 at least one host listed; 1 the scan completed and listed\n"
        "none; 2 bad input (nothing sent); 3 cannot probe (no echo rights, pelorin\n"
        "missing, failed or died); 130 or 143 after SIGINT or SIGTERM, once what was\n"
        "found has been printed.\n");
}

QString versionText()
{
    return QStringLiteral("lanterra-scan %1\n").arg(QCoreApplication::applicationVersion());
}

Options parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    auto valued = [](const char *shortName, const char *longName, const char *valueName) {
        return QCommandLineOption({QString::fromLatin1(shortName), QString::fromLatin1(longName)}, QString(),
                                  QString::fromLatin1(valueName));
    };
    auto flag = [](const char *shortName, const char *longName) {
        return QCommandLineOption(QStringList{QString::fromLatin1(shortName), QString::fromLatin1(longName)});
    };
    const QCommandLineOption input = valued("i", "input", "FILE");
    const QCommandLineOption timeOut = valued("T", "timeout", "MS");
    const QCommandLineOption retries = valued("r", "retries", "N");
    const QCommandLineOption workers = valued("w", "workers", "N");
    const QCommandLineOption format = valued("o", "format", "FORMAT");
    const QCommandLineOption names = flag("n", "names");
    const QCommandLineOption equipmentOnly = flag("e", "equipment-only");
    const QCommandLineOption echoOnly(QStringLiteral("echo-only"));
    const QCommandLineOption arp(QStringLiteral("arp"));
    const QCommandLineOption help = flag("h", "help");
    const QCommandLineOption version = flag("v", "version");
    parser.addOptions({input, timeOut, retries, workers, format, names, equipmentOnly, echoOnly, arp, help, version});

    Options options;
    error->clear();
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return options;
    }
    options.help = parser.isSet(help);
    options.version = parser.isSet(version);
    options.names = parser.isSet(names);
    options.equipmentOnly = parser.isSet(equipmentOnly);
    options.echoOnly = parser.isSet(echoOnly);
    options.arp = parser.isSet(arp);
    options.targetFiles = parser.values(input);
    options.targets = parser.positionalArguments();
    // The last of a repeated option counts; each is checked as it is given.
    auto take = [&parser, error](const QCommandLineOption &option, int min, int max, int &into) {
        if (!parser.isSet(option) || !error->isEmpty())
            return;
        const QString text = parser.values(option).constLast();
        if (const std::optional<int> value = number(text, min, max))
            into = *value;
        else
            *error = numberRefusal(QStringLiteral("--%1 %2").arg(option.names().constLast(), text), min, max);
    };
    take(timeOut, 1, kMaxTimeOut, options.timeOut);
    take(retries, 1, kMaxRetries, options.retries);
    take(workers, 1, kMaxWorkers, options.workers);
    if (parser.isSet(format) && error->isEmpty()) {
        const std::optional<ResultFormat::Format> chosen = ResultFormat::parse(parser.values(format).constLast());
        if (!chosen)
            *error = QStringLiteral("--format must be table, csv or jsonl.");
        else
            options.format = *chosen;
    }
    return options;
}

bool collectTargets(const Options &options, TargetList *targets, QString *error)
{
    for (const QString &target : options.targets) {
        if (!targets->add(target, error))
            return false;
    }
    for (const QString &name : options.targetFiles) {
        QFile file;
        const bool opened = name == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                       : (file.setFileName(name), file.open(QIODevice::ReadOnly));
        if (!opened) {
            *error = QStringLiteral("--input %1: %2").arg(name, file.errorString());
            return false;
        }
        if (!targets->addLines(QString::fromUtf8(file.readAll()), name, error))
            return false;
    }
    if (targets->size() == 0) {
        *error = QStringLiteral("no address to scan.");
        return false;
    }
    return true;
}

namespace {

// One run: the engine, its output and the end of the program.
class ScanRun : public QObject
{
public:
    ScanRun(const Options &options, const TargetList &targets)
        : m_options(options),
          m_targets(targets),
          m_factory(PelorinClient::Connection::instance()),
          m_engine(m_factory,
                   [this] {
                       return ScanEngine::Settings{qint32(m_options.timeOut), quint8(m_options.retries)};
                   }),
          m_progressShown(::isatty(STDERR_FILENO) == 1),
          m_segments(LocalSegments::current())
    {
        for (qsizetype i = 0; i < m_targets.targets().size(); ++i) {
            for (const quint32 address : m_targets.targets()[i].addresses)
                m_targetOf.insert(address, i);
        }
        // A host on this machine's segments that the echo requests made ARP find is listed too.
        if (!m_options.echoOnly) {
            m_engine.setArpLookup([this](const QString &host, qint64 scanMs) {
                const std::optional<quint32> address = addressOf(host);
                return address && m_segments.contains(*address) ? m_neighbours.arpConfirmedMac(*address, scanMs)
                                                                : QString();
            });
        }
        m_refused.resize(m_targets.targets().size());
        m_answered.resize(m_targets.targets().size());
        connect(&m_engine, &ScanEngine::started, this,
                [this] { output(ResultFormat::header(m_options.format, m_options.names)); });
        connect(&m_engine, &ScanEngine::hostFound, this, [this](quint64, const HostRecord &record) {
            ++m_hosts;
            if (record.seen == HostRecord::Seen::Arp)
                ++m_arpHosts;
            if (const auto target = targetOf(record.host))
                m_answered[*target] = true;
            m_progressDirty = true;
        });
        connect(&m_engine, &ScanEngine::rowComplete, this, &ScanRun::onRowComplete);
        connect(&m_engine, &ScanEngine::progress, this, [this] { m_progressDirty = true; });
        connect(&m_engine, &ScanEngine::pingFailed, this, [this](const QString &address, qint16 result) {
            if (result != kNetUnreachable && result != kHostUnreachable)
                return;
            if (const auto target = targetOf(address))
                m_refused[*target] = true;
        });
        connect(&m_engine, &ScanEngine::message, this, [this](const QString &text, int) {
            // A pelorin that ends while an interrupt is handled is part of it (a
            // terminal's Ctrl-C or a kill of the job reaches pelorin too), not a failure.
            m_signals.deliverPending();
            if (m_interrupted)
                return;
            eraseProgress();
            qCCritical(lcScan).noquote() << text.simplified();
        });
        // A start held until pelorin answered, then refused: the message said why.
        connect(&m_engine, &ScanEngine::startRefused, this, [this] {
            m_progressTimer.stop();
            eraseProgress();
            QCoreApplication::exit(m_interrupted ? m_interrupted : CannotProbe);
        });
        connect(&m_engine, &ScanEngine::finished, this, [this] {
            m_scanDone = true;
            finishIfDone();
        });
        connect(&m_signals, &SignalPipe::caught, this, [this](int signal) {
            m_interrupted = signal == SIGINT ? Interrupted : Terminated;
            if (m_engine.isScanning())
                m_engine.stop(); // the end of the scan exits
            else
                QCoreApplication::exit(m_interrupted);
        });
        if (m_progressShown) {
            m_progressTimer.setInterval(kProgressMs);
            connect(&m_progressTimer, &QTimer::timeout, this, &ScanRun::drawProgress);
        }
    }

    void start()
    {
        m_elapsed.start();
        if (m_progressShown)
            m_progressTimer.start();
        if (!m_options.arp || !startSweep())
            startEngine(m_targets.addresses(), false);
    }

private:
    void startEngine(const QList<quint32> &addresses, bool moreToCome)
    {
        if (!m_engine.start(addresses, m_options.workers, moreToCome)) {
            m_progressTimer.stop();
            QCoreApplication::exit(m_interrupted ? m_interrupted : CannotProbe);
        }
    }

    // Asks pelorin which on-segment targets answer ARP, one sweep per segment. The scan probes the off-segment
    // targets at once and each on-segment one as soon as it answers; it ends once every sweep has. False when
    // there is nothing to sweep or pelorin can't be started (the engine says so).
    bool startSweep()
    {
        QHash<quint32, QList<quint32>> bySegment; // this machine's address on the segment to its targets
        QHash<quint32, LocalSegments::Segment> segments;
        QList<quint32> offSegment;
        for (const quint32 address : m_targets.addresses()) {
            if (const std::optional<LocalSegments::Segment> segment = m_segments.segmentOf(address)) {
                bySegment[segment->address].append(address);
                segments.insert(segment->address, *segment);
            } else {
                offSegment.append(address);
            }
        }
        PelorinClient::Connection &connection = PelorinClient::Connection::instance();
        if (bySegment.isEmpty() || !connection.start())
            return false;
        m_sweepsLeft = int(bySegment.size());
        // A server that ends before the sweeps do: the engine reports it and ends the scan.
        auto abandon = [this] {
            m_sweepsLeft = 0;
            m_engine.endAddresses();
        };
        connect(&connection, &PelorinClient::Connection::startFailed, this, abandon);
        connect(&connection, &PelorinClient::Connection::serverDied, this, abandon);
        startEngine(offSegment, true);
        for (auto it = bySegment.cbegin(); it != bySegment.cend(); ++it) {
            const LocalSegments::Segment &segment = segments[it.key()];
            const QList<quint32> swept = it.value();
            connection.arpSweep(
                segment.interfaceIndex, segment.address, swept, m_options.timeOut,
                [this](const QList<quint32> &answered) { probe(answered); },
                [this, swept](bool usable, const QString &reason, const QList<quint32> &answered) {
                    onSweepDone(swept, usable, reason, answered);
                });
        }
        return true;
    }

    // Hands addresses that answered ARP to the engine, each once.
    void probe(const QList<quint32> &answered)
    {
        if (m_sweepsLeft == 0)
            return;
        QList<quint32> fresh;
        for (const quint32 address : answered) {
            if (!m_present.contains(address)) {
                m_present.insert(address);
                fresh.append(address);
            }
        }
        if (!fresh.isEmpty())
            m_engine.addAddresses(fresh);
    }

    void onSweepDone(const QList<quint32> &swept, bool usable, const QString &reason, const QList<quint32> &answered)
    {
        if (m_sweepsLeft == 0)
            return;
        if (!usable && !m_sweepRefused) {
            m_sweepRefused = true;
            eraseProgress();
            qCWarning(lcScan).noquote() << reason.simplified();
        }
        probe(usable ? answered : swept); // without a sweep every address is probed
        for (const quint32 address : swept) {
            if (!m_present.contains(address))
                m_silent.insert(address);
        }
        if (--m_sweepsLeft == 0)
            m_engine.endAddresses();
    }

    std::optional<qsizetype> targetOf(const QString &host) const
    {
        const std::optional<quint32> address = addressOf(host);
        const auto found = address ? m_targetOf.constFind(*address) : m_targetOf.cend();
        return found != m_targetOf.cend() ? std::optional<qsizetype>(*found) : std::nullopt;
    }

    void onRowComplete(quint64, const HostRecord &record)
    {
        if (!record.description.isEmpty())
            ++m_described;
        if (m_options.equipmentOnly && record.description.isEmpty())
            return;
        ++m_listed;
        if (!m_options.names) {
            output(ResultFormat::line(m_options.format, record));
            return;
        }
        // The name is looked up on Qt's look-up threads; the line waits for
        // it at most kNameWaitMs, then goes without one.
        ++m_pendingNames;
        auto done = std::make_shared<bool>(false);
        auto print = [this, record, done](const QString &name) {
            if (*done)
                return;
            *done = true;
            --m_pendingNames;
            output(ResultFormat::line(m_options.format, record, name));
            finishIfDone();
        };
        const int id = QHostInfo::lookupHost(record.host, this, [print, host = record.host](const QHostInfo &info) {
            print(info.error() == QHostInfo::NoError && info.hostName() != host ? info.hostName() : QString());
        });
        QTimer::singleShot(kNameWaitMs, this, [print, id] {
            QHostInfo::abortHostLookup(id);
            print(QString());
        });
    }

    void output(const QString &text)
    {
        eraseProgress();
        if (m_outputOpen && !writeAll(STDOUT_FILENO, text.toUtf8())) {
            m_outputOpen = false; // the reader has gone: nothing more to find for it
            qCDebug(lcScan) << "stdout closed, stopping the scan";
            m_engine.stop();
        }
    }

    void drawProgress()
    {
        if (!m_progressDirty)
            return;
        m_progressDirty = false;
        writeAll(STDERR_FILENO, QStringLiteral("\r\033[K%1/%2 addresses, %3 hosts")
                                    .arg(m_engine.dispatchedCount())
                                    .arg(m_engine.addressCount())
                                    .arg(m_hosts)
                                    .toUtf8());
        m_progressLine = true;
    }

    void eraseProgress()
    {
        if (!m_progressLine)
            return;
        writeAll(STDERR_FILENO, "\r\033[K");
        m_progressLine = false;
        m_progressDirty = true;
    }

    void finishIfDone()
    {
        if (!m_scanDone || m_pendingNames > 0)
            return;
        m_signals.deliverPending(); // a scan ended by pelorin's end may be one the operator interrupted
        m_progressTimer.stop();
        eraseProgress();
        for (qsizetype i = 0; i < m_targets.targets().size(); ++i) {
            if (m_refused[i] && !m_answered[i])
                qCWarning(lcScan).noquote() << "no route to" << m_targets.targets()[i].text;
        }
        auto counted = [](qsizetype n, const char *one, const char *many) -> QString {
            return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
        };
        const qsizetype probed = m_engine.probedCount() + m_silent.size();
        const QString scanned =
            m_interrupted ? QStringLiteral("interrupted after %1 of %2")
                                .arg(probed)
                                .arg(counted(m_targets.addresses().size(), "address", "addresses"))
                          : counted(probed, "address", "addresses") + QStringLiteral(" scanned");
        const QString kinds = m_options.echoOnly
                                  ? QString()
                                  : QStringLiteral(" (%1 by echo, %2 by ARP)").arg(m_hosts - m_arpHosts).arg(m_arpHosts);
        qCInfo(lcScan).noquote() << QStringLiteral("%1, %2 found%3, %4 with a description, %5 s")
                                        .arg(scanned, counted(m_hosts, "host", "hosts"), kinds)
                                        .arg(m_described)
                                        .arg(double(m_elapsed.elapsed()) / 1000.0, 0, 'f', 1);
        QCoreApplication::exit(m_interrupted       ? m_interrupted
                               : m_engine.failed() ? CannotProbe
                               : m_listed > 0      ? Found
                                                   : NoneFound);
    }

    const Options &m_options;
    const TargetList &m_targets;
    PelorinProbeFactory m_factory;
    ScanEngine m_engine;
    SignalPipe m_signals;
    QHash<quint32, qsizetype> m_targetOf;
    RecentNeighbours m_neighbours; // the kernel's table, for hosts that did not answer echo
    QSet<quint32> m_present; // on-segment targets that answered the ARP sweep: probed as they did
    QSet<quint32> m_silent;  // on-segment targets that did not answer it: never probed
    int m_sweepsLeft = 0;
    bool m_sweepRefused = false; // pelorin may not send ARP: said once
    QList<bool> m_refused;  // a target's echo request was refused for want of a route
    QList<bool> m_answered; // a host of the target answered
    QElapsedTimer m_elapsed;
    QTimer m_progressTimer;
    const bool m_progressShown;
    const LocalSegments m_segments; // this machine's, at the start
    bool m_progressLine = false;
    bool m_progressDirty = true;
    bool m_outputOpen = true;
    bool m_scanDone = false;
    int m_interrupted = 0;
    int m_pendingNames = 0;
    qsizetype m_hosts = 0;
    qsizetype m_arpHosts = 0; // of m_hosts, those seen only through ARP
    qsizetype m_described = 0;
    qsizetype m_listed = 0;
};

} // namespace

int run(const QStringList &arguments)
{
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral("%{category}: %{message}"));
    // stderr carries this program's own lines; the libraries' warnings (the
    // probe client logs as "lanterra") only when asked for (QT_LOGGING_RULES).
    // Failures are reported here anyway.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(
            QStringLiteral("default.warning=false\nqt.*.warning=false\nlanterra.warning=false"));

    QString error;
    const Options options = parse(arguments, &error);
    TargetList targets;
    if (error.isEmpty() && !options.help && !options.version) {
        if (options.targets.isEmpty() && options.targetFiles.isEmpty()) {
            writeAll(STDERR_FILENO, usageText().toUtf8());
            return BadInput; // nothing named, nothing pinged
        }
        collectTargets(options, &targets, &error);
    }
    if (!error.isEmpty()) {
        qCCritical(lcScan).noquote() << error;
        return BadInput;
    }
    if (options.help)
        return writeAll(STDOUT_FILENO, helpText().toUtf8()) ? Found : BadInput;
    if (options.version)
        return writeAll(STDOUT_FILENO, versionText().toUtf8()) ? Found : BadInput;
    const QString retries = QString::number(options.retries);
    if (ScanChecks::retriesNeedQuestion(retries))
        qCWarning(lcScan).noquote() << "note: each IP is retried" << retries << "times at" << options.timeOut
                                    << "ms interval; this may take long time to complete.";

    // A closed stdout shows up as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    connection.setMessageBoxHandler([](const QString &text, int, const QString &title,
                                       PelorinClient::Connection::MessageBoxReply reply) {
        qCWarning(lcScan).noquote() << title + QStringLiteral(": ") + text.simplified();
        reply(Pelorin::MsgBox::AnswerOK);
    });
    int status = BadInput;
    {
        ScanRun scan(options, targets);
        QTimer::singleShot(0, &scan, [&scan] { scan.start(); });
        status = QCoreApplication::exec();
    }
    connection.shutdown();
    return status;
}

} // namespace Cli
