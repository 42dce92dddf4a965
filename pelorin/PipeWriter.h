// The server's side of stdout: whole frames, one writer at a time, from any
// thread. A closed pipe (the client has gone) is remembered and reported once.
#pragma once

#include <QByteArray>
#include <QString>
#include <QMutex>

#include <atomic>
#include <functional>

namespace Pelorin {

class PipeWriter
{
public:
    explicit PipeWriter(int fd);
    PipeWriter(const PipeWriter &) = delete;
    PipeWriter &operator=(const PipeWriter &) = delete;

    // Called once, on the thread whose write found the pipe closed.
    void setClosedHandler(std::function<void()> handler);

    // Writes one whole frame. Nothing is written when the pipe has closed or
    // when suppress is given and set. True when the frame went out.
    bool write(const QByteArray &frame, const std::atomic_bool *suppress = nullptr);

    // Sets flag between frames, so a frame written against it is either wholly
    // out before this returns or never written.
    void raise(std::atomic_bool &flag);

    // Logs a refusal of the client's input and tells the client (object 0: none).
    void protocolError(quint32 objectId, const QString &text, const std::atomic_bool *suppress = nullptr);

    bool isClosed() const { return m_closed.load(); }

private:
    QMutex m_mutex;
    int m_fd;
    std::atomic_bool m_closed{false};
    std::function<void()> m_onClosed;
};

} // namespace Pelorin
