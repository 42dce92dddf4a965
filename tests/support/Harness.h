// Helpers shared by the tests: pelorin on raw pipes and /proc figures.
#pragma once

#include "LabNetwork.h"
#include "ProbeInterface.h"
#include "ProbeProtocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <optional>

namespace Harness {

inline QString host(int octet) { return QStringLiteral("127.0.0.%1").arg(octet); }

// Writes a new file; false unless all of it is written.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QString procPath(qint64 pid, const char *what) // pid 0 is this process
{
    return QStringLiteral("/proc/%1/%2").arg(pid ? QString::number(pid) : QStringLiteral("self"), QLatin1String(what));
}

// Entries of /proc/<pid>/<what>: "task" counts threads, "fd" descriptors.
inline int procEntries(qint64 pid, const char *what)
{
    return int(QDir(procPath(pid, what)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

inline qint64 cpuTicks(qint64 pid) // user plus system time
{
    QFile stat(procPath(pid, "stat"));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    // Fields after the command's closing parenthesis start with field 3 (state): utime is 14, stime 15.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

} // namespace Harness

// pelorin on raw pipes, frames read as they come.
class PelorinPipe
{
public:
    ~PelorinPipe()
    {
        m_process.closeWriteChannel();
        m_process.waitForFinished(5000); // QProcess kills it after that
    }
    bool start()
    {
        m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"), {});
        greeting = next<Pelorin::Wire::Greeting>();
        return greeting.has_value();
    }
    void sendRaw(const QByteArray &bytes) { m_process.write(bytes); }
    // The next frame, waiting at most timeoutMs for it, if it is a Packet; its object id in objectId.
    template <class Packet>
    std::optional<Packet> next(int timeoutMs = 5000, quint32 *objectId = nullptr)
    {
        const QDeadlineTimer deadline(timeoutMs);
        m_reader.append(m_process.readAllStandardOutput()); // what an event loop read meanwhile
        std::optional<Pelorin::Wire::FrameReader::Frame> f = m_reader.next();
        while (!f && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            m_reader.append(m_process.readAllStandardOutput());
            f = m_reader.next();
        }
        if (f && objectId)
            *objectId = f->objectId;
        return f && f->type == Packet::kType ? Pelorin::Wire::decode<Packet>(f->payload) : std::nullopt;
    }
    // True while the server creates, routes to and releases objects (a second release is refused).
    bool serves(quint32 id)
    {
        sendRaw(create(id));
        sendRaw(Pelorin::Wire::encode(id, Pelorin::Wire::Release{}));
        sendRaw(Pelorin::Wire::encode(id, Pelorin::Wire::Release{}));
        quint32 refusedId = 0;
        const auto refused = next<Pelorin::Wire::ProtocolError>(5000, &refusedId);
        return refused && refusedId == id && refused->text.contains(QLatin1String("unknown object"));
    }
    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }
    std::optional<Pelorin::Wire::Greeting> greeting;

    static QByteArray create(quint32 id, const char *classId = Pelorin::kClsMainClassId)
    {
        return Pelorin::Wire::encode(id, Pelorin::Wire::Create{QLatin1String(classId)});
    }

private:
    QProcess m_process;
    Pelorin::Wire::FrameReader m_reader;
};
