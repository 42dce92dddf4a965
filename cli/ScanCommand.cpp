// lanterra-scan's options, checks and scan run.
#include "ScanCommand.h"

#include "SignalPipe.h"
#include "client/PelorinConnection.h"
#include "engine/PelorinProbe.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "engine/TextNumber.h"
#include "ProbeInterface.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcScan, "lanterra-scan", QtInfoMsg)

namespace Cli {

namespace {

constexpr double kMaxRetries = 99; // the window's retries box holds two digits

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

} // namespace

QString helpText()
{
    return QStringLiteral(
        "Usage: lanterra-scan [options] [NETWORK]\n"
        "\n"
        "Finds Quorvane equipment on an IPv4 network as Lanterra's window does: pings\n"
        "NETWORK.From up to NETWORK.To through 50 workers and lists every host that\n"
        "answers, with the equipment description of its page id.htm.\n"
        "\n"
        "Arguments:\n"
        "  NETWORK              the three fixed octets A.B.C (default 192.168.0)\n"
        "\n"
        "Options:\n"
        "  -f, --from N         first value of the fourth octet (default 0)\n"
        "  -t, --to N           last value of the fourth octet (default 255). To itself\n"
        "                       is not pinged unless From equals To: 0 to 255 pings\n"
        "                       .0 to .254\n"
        "  -T, --timeout MS     time-out of each ping and page request (default 100)\n"
        "  -r, --retries N      retries of each ping and page request, at most 99\n"
        "                       (default 3)\n"
        "  -o, --format FORMAT  table (default), csv or jsonl\n"
        "  -h, --help           show this help and exit\n"
        "  -v, --version        show the version and exit\n"
        "\n"
        "Numbers are read as the window reads its boxes: the decimal number a value\n"
        "begins with, blanks ignored, 0 when there is none. Octets, From and To must\n"
        "be whole numbers from 0 to 255; a time-out or retries below 1 is used as 1.\n"
        "\n"
        "Each host is printed on stdout as soon as its page has answered or it has\n"
        "none; progress goes to stderr when that is a terminal. pelorin is started\n"
        "from this program's folder, or from ../libexec/lanterra when installed.\n"
        "\n"
        "Exit status: 0 scan completed; 2 bad input (nothing sent); 3 cannot probe\n"
        "(no echo rights, pelorin missing, failed or died); 130 or 143 after SIGINT or\n"
        "SIGTERM, once what was found has been printed.\n");
}

QString versionText()
{
    return QStringLiteral("lanterra-scan %1\n").arg(QCoreApplication::applicationVersion());
}

Options parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    const QCommandLineOption from({QStringLiteral("f"), QStringLiteral("from")}, QString(), QStringLiteral("N"));
    const QCommandLineOption to({QStringLiteral("t"), QStringLiteral("to")}, QString(), QStringLiteral("N"));
    const QCommandLineOption timeOut({QStringLiteral("T"), QStringLiteral("timeout")}, QString(),
                                     QStringLiteral("MS"));
    const QCommandLineOption retries({QStringLiteral("r"), QStringLiteral("retries")}, QString(),
                                     QStringLiteral("N"));
    const QCommandLineOption format({QStringLiteral("o"), QStringLiteral("format")}, QString(),
                                    QStringLiteral("FORMAT"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({from, to, timeOut, retries, format, help, version});

    Options options;
    error->clear();
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return options;
    }
    options.help = parser.isSet(help);
    options.version = parser.isSet(version);
    // The last of a repeated option counts.
    auto take = [&parser](const QCommandLineOption &option, QString &into) {
        if (parser.isSet(option))
            into = parser.values(option).constLast();
    };
    take(from, options.from);
    take(to, options.to);
    take(timeOut, options.timeOut);
    take(retries, options.retries);
    if (parser.isSet(format)) {
        const std::optional<ResultFormat::Format> chosen = ResultFormat::parse(parser.values(format).constLast());
        if (!chosen)
            *error = QStringLiteral("--format must be table, csv or jsonl.");
        else
            options.format = *chosen;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        *error = QStringLiteral("one NETWORK at most, given as A.B.C.");
    else if (positional.size() == 1)
        options.network = positional.constFirst();
    return options;
}

QString refusal(const Options &options)
{
    const QStringList octets = options.network.split(QLatin1Char('.'));
    if (octets.size() != 3)
        return QStringLiteral("NETWORK must be three octets A.B.C, such as 192.168.0.");
    const char *names[] = {"The first octet of NETWORK", "The second octet of NETWORK", "The third octet of NETWORK"};
    for (int i = 0; i < 3; ++i) {
        if (!ScanChecks::octet(octets[i]))
            return ScanChecks::octetRefusal(QString::fromLatin1(names[i]));
    }
    if (!ScanChecks::octet(options.from))
        return ScanChecks::octetRefusal(QStringLiteral("--from"));
    if (!ScanChecks::octet(options.to))
        return ScanChecks::octetRefusal(QStringLiteral("--to"));
    if (ScanChecks::rangeReversed(options.from, options.to))
        return ScanChecks::rangeRefusal();
    if (TextNumber::Val(options.retries) > kMaxRetries)
        return QStringLiteral("--retries must be at most 99.");
    return QString();
}

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
    if (error.isEmpty() && !options.help && !options.version)
        error = refusal(options);
    if (!error.isEmpty()) {
        qCCritical(lcScan).noquote() << error;
        return BadInput;
    }
    if (options.help)
        return writeAll(STDOUT_FILENO, helpText().toUtf8()) ? Completed : BadInput;
    if (options.version)
        return writeAll(STDOUT_FILENO, versionText().toUtf8()) ? Completed : BadInput;
    if (ScanChecks::retriesNeedQuestion(options.retries))
        qCWarning(lcScan).noquote() << "note: each IP is retried" << TextNumber::Str(TextNumber::Val(options.retries))
                                    << "times at" << TextNumber::Str(TextNumber::Val(options.timeOut))
                                    << "ms interval; this may take long time to complete.";

    // A closed stdout shows up as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    connection.setMessageBoxHandler([](const QString &text, int, const QString &title,
                                       PelorinClient::Connection::MessageBoxReply reply) {
        qCWarning(lcScan).noquote() << title + QStringLiteral(": ") + text.simplified();
        reply(Pelorin::MsgBox::AnswerOK);
    });
    PelorinProbeFactory factory(connection);
    ScanEngine engine(factory, [&options] {
        return ScanEngine::Settings{ScanChecks::timeOut(options.timeOut), ScanChecks::retries(options.retries)};
    });
    SignalPipe signalPipe;
    const bool progressShown = ::isatty(STDERR_FILENO) == 1;
    int interrupted = 0;
    bool outputOpen = true;

    auto output = [&](const QString &text) {
        if (outputOpen && !writeAll(STDOUT_FILENO, text.toUtf8())) {
            outputOpen = false; // the reader has gone: nothing more to find for it
            qCDebug(lcScan) << "stdout closed, stopping the scan";
            engine.stop();
        }
    };
    QObject::connect(&engine, &ScanEngine::started, &engine, [&] { output(ResultFormat::header(options.format)); });
    QObject::connect(&engine, &ScanEngine::rowComplete, &engine,
                     [&](quint64, const HostRecord &record) { output(ResultFormat::line(options.format, record)); });
    QObject::connect(&engine, &ScanEngine::progress, &engine, [&](int busy) {
        if (progressShown)
            writeAll(STDERR_FILENO, QStringLiteral("\rProcessing Threads: %1 ").arg(busy).toUtf8());
    });
    QObject::connect(&engine, &ScanEngine::message, &engine,
                     [](const QString &text, int) { qCCritical(lcScan).noquote() << text.simplified(); });
    QObject::connect(&engine, &ScanEngine::finished, &engine, [&] {
        if (progressShown)
            writeAll(STDERR_FILENO, "\r\033[K");
        QCoreApplication::exit(engine.failed() ? CannotProbe : interrupted ? interrupted : Completed);
    });
    QObject::connect(&signalPipe, &SignalPipe::caught, &engine, [&](int signal) {
        interrupted = signal == SIGINT ? Interrupted : Terminated;
        if (engine.isScanning())
            engine.stop(); // the end of the scan exits
        else
            QCoreApplication::exit(interrupted);
    });

    const ScanRange range = ScanChecks::range(options.network.section(QLatin1Char('.'), 0, 0),
                                              options.network.section(QLatin1Char('.'), 1, 1),
                                              options.network.section(QLatin1Char('.'), 2, 2), options.from,
                                              options.to);
    QTimer::singleShot(0, &engine, [&] {
        if (!engine.start(ScanChecks::addresses(range)))
            QCoreApplication::exit(interrupted ? interrupted : CannotProbe);
    });
    const int status = QCoreApplication::exec();
    connection.shutdown();
    return status;
}

} // namespace Cli
