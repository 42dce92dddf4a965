// One probe object of the server on its own thread: the thread's event loop
// runs the object's calls and timer ticks, carries its events and message
// boxes to the client and waits, nested, for the client's answers. Owned by
// PelorinServer, which routes incoming frames here from the pipe reader.
#pragma once

#include "MessageBoxChannel.h"
#include "WireProtocol.h"

#include <QHash>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

class QEventLoop;

namespace Pelorin {

class clsMain;
class PipeWriter;

class ObjectHost : public QThread, private MessageBoxChannel
{
    Q_OBJECT

public:
    // Starts the thread; the probe object is created on it.
    ObjectHost(quint32 objectId, PipeWriter &writer);
    ~ObjectHost() override; // joins the thread

    quint32 objectId() const { return m_objectId; }

    // Called on the pipe reader's thread; each is carried out on the object's
    // thread in arrival order. The call's arguments are already checked.
    void call(qint32 dispId, const QList<Wire::Value> &args);
    void eventReturned(quint32 serial);
    void messageBoxAnswered(quint32 serial, qint32 answer);

    // Ends every wait of the object at once, stops its timers and ends the
    // thread once the current handler has returned. No frame of the object is
    // written after this returns. Does not block.
    void release();
    bool isReleased() const { return m_released.load(); }

    // Runs job on the object's thread with its probe object, the way one of
    // its timer ticks would run. Used by tests to drive raises and boxes.
    void runOnObjectThread(std::function<void(clsMain &)> job);

protected:
    void run() override;

private:
    struct Wait;

    int show(const QString &text, int style, const QString &title) override;
    void raise(qint32 dispId, const QList<Wire::Value> &args);
    void waitUntil(const std::function<bool()> &done);
    void wakeWaits();
    void post(std::function<void()> job);
    void protocolError(const QString &text);
    // A frame of this object that the client must answer, with a new serial.
    Wire::Message answeredFrame(Wire::Type type);

    const quint32 m_objectId;
    PipeWriter &m_writer;
    std::atomic_bool m_released{false};
    QObject *const m_agent;   // lives on the object's thread; receives posted jobs
    clsMain *m_object = nullptr;

    // Object thread only.
    quint32 m_nextSerial = 0;
    bool m_raising = false;
    quint32 m_raiseSerial = 0;
    bool m_raiseReturned = false;
    QHash<quint32, std::optional<qint32>> m_boxes; // open boxes and their answers
    std::vector<Wait *> m_waits;
};

} // namespace Pelorin
