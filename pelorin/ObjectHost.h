// One probe object of the server and the threads it runs on.
//
// ObjectHost: one probe object from Create to Release. It runs on a thread of
// its own, taken from the ObjectThreadPool: the thread's event loop runs the
// object's calls and timer ticks, carries its events and message boxes to the
// client and waits, nested, for the client's answers. Owned by PelorinServer,
// which routes incoming frames here from the pipe reader.
//
// ObjectThreadPool: the threads the hosts run on, one live object per thread.
// A released object's thread waits for the next object; a few spare threads
// stay, and each ends after some idle seconds. Owned by PelorinServer.
#pragma once

#include "ProbeProtocol.h"
#include "platform/MessageBoxChannel.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QDeadlineTimer;
class QEventLoop;

namespace Pelorin {

class ProbeObject;
class ObjectThreadPool;
class PipeWriter;

class ObjectHost : private MessageBoxChannel
{
public:
    ObjectHost(quint32 objectId, PipeWriter &writer);
    ~ObjectHost() override; // releases the object and waits until its thread has let go of it

    quint32 objectId() const { return m_objectId; }

    // Starts the object on a thread of pool; false when no thread could be
    // had. ended runs on that thread once the object is gone from it.
    bool start(ObjectThreadPool &pool, std::function<void(ObjectHost *)> ended = {});

    // Called on the pipe reader's thread; each is carried out on the object's
    // thread in arrival order. The call is already unpacked and checked.
    void call(const Interface::Method &method);
    void eventReturned(quint32 serial);
    void messageBoxAnswered(quint32 serial, qint32 answer);

    // Ends every wait of the object at once, stops its timers and ends its
    // turn on the thread once the current handler has returned. No frame of
    // the object is written after this returns. Does not block.
    void release();

    // True once the object's thread has let go of it (at once when it never
    // started); false when deadline passes first.
    bool waitEnded(QDeadlineTimer deadline);

    // Runs job on the object's thread with its probe object, the way one of
    // its timer ticks would run. Used by tests to drive raises and boxes.
    void runOnObjectThread(std::function<void(ProbeObject &)> job);

private:
    friend class ObjectThreadPool;
    struct Wait;

    // The object's whole life on thread, from creation to release.
    void run(QThread &thread, const std::function<int()> &eventLoop);
    int show(const QString &text, int style, const QString &title) override;
    template <class Event>
    void raise(const Event &event);
    void waitUntil(const std::function<bool()> &done);
    void wakeWaits();
    void leaveLoop(); // with m_endMutex held and m_thread set
    void post(std::function<void()> job);
    void protocolError(const QString &text);
    // A frame of this object that the client must answer, with a new serial.
    Wire::Message answeredFrame(Wire::Message m);

    const quint32 m_objectId;
    PipeWriter &m_writer;
    std::atomic_bool m_released{false};
    // Lives on the object's thread while the object runs; receives posted jobs.
    std::unique_ptr<QObject> m_agent;
    std::function<void(ObjectHost *)> m_onEnded;

    QMutex m_endMutex;
    QWaitCondition m_endCondition;
    QThread *m_thread = nullptr; // guarded by m_endMutex; null when not running
    bool m_ended = true;         // guarded by m_endMutex
    bool m_loopLeft = false;     // guarded by m_endMutex

    // Object thread only.
    ProbeObject *m_object = nullptr;
    quint32 m_nextSerial = 0;
    bool m_raising = false;
    quint32 m_raiseSerial = 0;
    bool m_raiseReturned = false;
    QHash<quint32, std::optional<qint32>> m_boxes; // open boxes and their answers
    std::vector<Wait *> m_waits;
};

class ObjectThreadPool : public QObject
{
    Q_OBJECT

public:
    // Idle threads end after idleMs; at most maxSpare wait at any time.
    explicit ObjectThreadPool(int idleMs = 3000, int maxSpare = 4);
    ~ObjectThreadPool() override; // ends the idle threads and joins every thread

    // Runs host on a waiting thread, or on a new one. False when no thread
    // could be started. Server's thread only.
    bool run(ObjectHost *host);

private:
    class Worker;

    ObjectHost *take(Worker *worker);   // blocks until a host comes or the idle time is up
    bool giveBack(Worker *worker);      // false: the worker ends
    void reapFinished();

    const int m_idleMs;
    const int m_maxSpare;
    QMutex m_mutex;
    std::vector<Worker *> m_idle; // guarded by m_mutex; the most recently idle last
    bool m_stopping = false;      // guarded by m_mutex
    std::vector<std::unique_ptr<Worker>> m_workers; // server's thread only
};

} // namespace Pelorin
