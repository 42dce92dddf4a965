#include "Harness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

using namespace Pelorin::Wire;

namespace Harness {

static QString procPath(qint64 pid, const char *what)
{
    return QStringLiteral("/proc/%1/%2").arg(pid ? QString::number(pid) : QStringLiteral("self"), QLatin1String(what));
}

int procEntries(qint64 pid, const char *what)
{
    return int(QDir(procPath(pid, what)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

qint64 cpuTicks(qint64 pid)
{
    QFile stat(procPath(pid, "stat"));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    // Fields after the command's closing parenthesis start with field 3 (state): utime is 14, stime 15.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

} // namespace Harness

PelorinPipe::~PelorinPipe()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool PelorinPipe::start()
{
    m_process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"));
    m_process.start();
    if (!m_process.waitForStarted(5000))
        return false;
    greeting = next<Greeting>();
    return greeting.has_value();
}

std::optional<PelorinPipe::Frame> PelorinPipe::nextFrame(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        while (auto frame = m_reader.next())
            if (frame->error.isEmpty())
                return frame;
        if (deadline.hasExpired())
            return std::nullopt;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        m_reader.append(m_process.readAllStandardOutput());
        if (m_process.state() == QProcess::NotRunning && m_reader.buffered() == 0)
            return std::nullopt;
    }
}

bool PelorinPipe::serves(quint32 id)
{
    sendRaw(create(id));
    sendRaw(QByteArray("\x05\0\0\0\x7f", 5) + QByteArray(reinterpret_cast<const char *>(&id), 4));
    quint32 refusedId = 0, unknownId = 0;
    const auto refused = next<ProtocolError>(5000, &refusedId);
    send(id, Release{});
    send(id, Release{});
    const auto unknown = next<ProtocolError>(5000, &unknownId);
    return refused && refusedId == id && refused->text.contains(QLatin1String("unknown message type"))
        && unknown && unknownId == id && unknown->text.contains(QLatin1String("unknown object"));
}
