#include "Harness.h"

#include <QCoreApplication>
#include <QDir>

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
    m_process.closeWriteChannel();
    m_process.waitForFinished(5000); // QProcess kills it after that
}

bool PelorinPipe::start()
{
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"), {});
    greeting = next<Greeting>();
    return greeting.has_value();
}

bool PelorinPipe::serves(quint32 id)
{
    sendRaw(create(id));
    sendRaw(encode(id, Release{}));
    sendRaw(encode(id, Release{}));
    quint32 unknownId = 0;
    const auto unknown = next<ProtocolError>(5000, &unknownId);
    return unknown && unknownId == id && unknown->text.contains(QLatin1String("unknown object"));
}
