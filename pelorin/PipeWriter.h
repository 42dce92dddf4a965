// The server's side of stdout: whole frames, written from the event loop's
// thread. A closed pipe (the client has gone) is remembered and reported once.
// Owned by PelorinServer.
#pragma once

#include "ProbePorts.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace Pelorin {

class PipeWriter : public FrameSink
{
public:
    explicit PipeWriter(int fd) : m_fd(fd) {}
    PipeWriter(const PipeWriter &) = delete;
    PipeWriter &operator=(const PipeWriter &) = delete;

    // Called once, when a write finds the pipe closed.
    void setClosedHandler(std::function<void()> handler) { m_onClosed = std::move(handler); }

    // Writes one whole frame; nothing once the pipe has closed. True when the frame went out.
    bool write(const QByteArray &frame) override;

    // Logs a refusal of the client's input and tells the client (object 0: none).
    void protocolError(quint32 objectId, const QString &text);

    bool isClosed() const { return m_closed; }

private:
    int m_fd;
    bool m_closed = false;
    std::function<void()> m_onClosed;
};

} // namespace Pelorin
