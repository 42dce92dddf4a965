// Helpers shared by the tests: recorded message boxes, a watcher, pelorin on raw pipes and /proc figures.
#pragma once

#include "LabNetwork.h"
#include "MainWindow.h"
#include "ProbeInterface.h"
#include "ProbeProtocol.h"
#include "platform/MessageBoxes.h"

#include <QProcess>
#include <QTimer>

#include <functional>
#include <optional>

namespace Harness {

inline QString host(int octet) { return QStringLiteral("127.0.0.%1").arg(octet); }

// The window's input boxes in the order fill() takes them: octets, From, To, retries, time-out.
QList<QLineEdit *> inputs(const MainWindow &w);
// Sets the input boxes from texts such as "127|0|0|1|41|1|100".
void fill(const MainWindow &w, const QString &texts);

// Entries of /proc/<pid>/<what>: "task" counts threads, "fd" descriptors; pid 0 is this process.
int procEntries(qint64 pid, const char *what);
qint64 cpuTicks(qint64 pid); // user plus system time

} // namespace Harness

// The window's message boxes recorded and answered at once with answer (OK unless set; a question's OK is no Yes).
struct RecordingBoxes : MessageBoxes {
    struct Box { QString text; int style; QString title; };
    QList<Box> boxes;
    int answer = Pelorin::MsgBox::AnswerOK;
    void open(const QString &text, int style, const QString &title, std::function<void(int)> reply, bool) override
    {
        boxes.append({text, style, title});
        reply(answer);
    }
};

// Runs step every few milliseconds until it answers true.
class Watcher : public QObject
{
public:
    explicit Watcher(std::function<bool()> step)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, step = std::move(step)] {
            if (step())
                m_timer.stop();
        });
        m_timer.start(5);
    }
    bool done() const { return !m_timer.isActive(); }

private:
    QTimer m_timer;
};

// pelorin on raw pipes, frames read as they come.
class PelorinPipe
{
public:
    using Frame = Pelorin::Wire::FrameReader::Frame;
    ~PelorinPipe();
    bool start();
    template <class Packet>
    void send(quint32 objectId, const Packet &p) { m_process.write(Pelorin::Wire::encode(objectId, p)); }
    void sendRaw(const QByteArray &bytes) { m_process.write(bytes); }
    std::optional<Frame> nextFrame(int timeoutMs = 5000);
    // The next frame if it is a Packet, its object id in objectId.
    template <class Packet>
    std::optional<Packet> next(int timeoutMs = 5000, quint32 *objectId = nullptr)
    {
        const std::optional<Frame> f = nextFrame(timeoutMs);
        if (f && objectId)
            *objectId = f->objectId;
        return f && f->type == Packet::kType ? Pelorin::Wire::decode<Packet>(f->payload) : std::nullopt;
    }
    // True while the server creates, routes to and releases objects: a frame
    // of no type for the new object is refused, and once released it is unknown.
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
