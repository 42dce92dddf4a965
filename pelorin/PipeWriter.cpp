#include "PipeWriter.h"

#include "PelorinLog.h"
#include "ProbeProtocol.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Pelorin {

bool PipeWriter::write(const QByteArray &frame)
{
    if (m_closed)
        return false;
    const char *p = frame.constData();
    qsizetype left = frame.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            qCWarning(lcPelorin, "stdout closed (%s); shutting down", n < 0 ? std::strerror(errno) : "no progress");
            m_closed = true;
            if (const std::function<void()> notify = std::exchange(m_onClosed, nullptr))
                notify();
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void PipeWriter::protocolError(quint32 objectId, const QString &text)
{
    qCWarning(lcPelorin, "protocol error (object %u): %s", objectId, qPrintable(text));
    write(Wire::encode(objectId, Wire::ProtocolError{text}));
}

} // namespace Pelorin
