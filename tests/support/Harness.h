// Helpers shared by the tests: pelorin on raw pipes and /proc figures.
#pragma once

#include "LabNetwork.h"
#include "ProbeInterface.h"
#include "ProbeProtocol.h"

#include <QDeadlineTimer>
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

// Entries of /proc/<pid>/<what>: "task" counts threads, "fd" descriptors; pid 0 is this process.
int procEntries(qint64 pid, const char *what);
qint64 cpuTicks(qint64 pid); // user plus system time

} // namespace Harness

// pelorin on raw pipes, frames read as they come.
class PelorinPipe
{
public:
    ~PelorinPipe();
    bool start();
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
    bool serves(quint32 id);
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
