#include "PipeWriter.h"

#include "PelorinLog.h"
#include "ProbeProtocol.h"

#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Pelorin {

PipeWriter::PipeWriter(int fd) : m_fd(fd) {}

void PipeWriter::setClosedHandler(std::function<void()> handler)
{
    QMutexLocker lock(&m_mutex);
    m_onClosed = std::move(handler);
}

bool PipeWriter::write(const QByteArray &frame, const std::atomic_bool *suppress)
{
    std::function<void()> notify;
    {
        QMutexLocker lock(&m_mutex);
        if (m_closed.load() || (suppress && suppress->load()))
            return false;
        const char *p = frame.constData();
        qsizetype left = frame.size();
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, size_t(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                qCWarning(lcPelorin, "stdout closed (%s); shutting down",
                          n < 0 ? std::strerror(errno) : "no progress");
                m_closed.store(true);
                notify = std::move(m_onClosed);
                m_onClosed = nullptr;
                break;
            }
            p += n;
            left -= n;
        }
    }
    if (notify) {
        notify();
        return false;
    }
    return !m_closed.load();
}

void PipeWriter::protocolError(quint32 objectId, const QString &text, const std::atomic_bool *suppress)
{
    qCWarning(lcPelorin, "protocol error (object %u): %s", objectId, qPrintable(text));
    Wire::Message m;
    m.type = Wire::Type::ProtocolError;
    m.objectId = objectId;
    m.text = text;
    write(Wire::encode(m), suppress);
}

void PipeWriter::raise(std::atomic_bool &flag)
{
    QMutexLocker lock(&m_mutex);
    flag.store(true);
}

} // namespace Pelorin
