#include "ObjectHost.h"

#include "PipeWriter.h"
#include "ProbeObject.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <algorithm>

namespace Pelorin {

using Wire::Message;
using Wire::Type;

struct ObjectHost::Wait {
    QEventLoop loop;
    std::function<bool()> done;
};

ObjectHost::ObjectHost(quint32 objectId, PipeWriter &writer)
    : m_objectId(objectId), m_writer(writer), m_agent(std::make_unique<QObject>())
{
}

ObjectHost::~ObjectHost()
{
    if (!m_released)
        release();
    waitEnded(QDeadlineTimer::Forever);
    // The agent has left the object's thread and no job for it is queued.
}

bool ObjectHost::start(ObjectThreadPool &pool, std::function<void(ObjectHost *)> ended)
{
    m_onEnded = std::move(ended);
    {
        QMutexLocker lock(&m_endMutex);
        m_ended = false;
    }
    if (pool.run(this))
        return true;
    QMutexLocker lock(&m_endMutex);
    m_ended = true;
    return false;
}

void ObjectHost::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(m_agent.get(), std::move(job), Qt::QueuedConnection);
}

void ObjectHost::call(const Interface::Method &method)
{
    post([this, method] {
        if (m_released || !m_object)
            return;
        if (const auto *r = std::get_if<Interface::HTTPRequest>(&method))
            m_object->HTTPRequest(r->host, r->port, r->file, r->timeOut, r->retries);
        else if (const auto *p = std::get_if<Interface::PingRequest>(&method))
            m_object->PingRequest(p->ip, p->timeOut, p->retries);
    });
}

void ObjectHost::runOnObjectThread(std::function<void(ProbeObject &)> job)
{
    post([this, job = std::move(job)] {
        if (m_object && !m_released)
            job(*m_object);
    });
}

void ObjectHost::eventReturned(quint32 serial)
{
    post([this, serial] {
        if (!m_raising || serial != m_raiseSerial) {
            protocolError(QStringLiteral("EventReturn %1 does not answer the outstanding event").arg(serial));
            return;
        }
        m_raiseReturned = true;
        wakeWaits();
    });
}

void ObjectHost::messageBoxAnswered(quint32 serial, qint32 answer)
{
    post([this, serial, answer] {
        const auto box = m_boxes.find(serial);
        if (box == m_boxes.end() || box->has_value()) {
            protocolError(QStringLiteral("MessageBoxAnswer %1 answers no open message box").arg(serial));
            return;
        }
        *box = answer;
        wakeWaits();
    });
}

void ObjectHost::release()
{
    m_writer.raise(m_released);
    post([this] {
        if (m_object)
            m_object->shutdown();
        wakeWaits();
    });
    // Ends the thread's loops, the nested waits included, and makes any loop
    // started later in this turn return at once.
    QMutexLocker lock(&m_endMutex);
    if (m_thread)
        leaveLoop();
}

void ObjectHost::leaveLoop()
{
    // Exactly once per object: a second exit would end the next object's loop on this thread.
    if (!m_loopLeft) {
        m_loopLeft = true;
        m_thread->exit();
    }
}

bool ObjectHost::waitEnded(QDeadlineTimer deadline)
{
    QMutexLocker lock(&m_endMutex);
    while (!m_ended) {
        if (!m_endCondition.wait(&m_endMutex, deadline))
            return m_ended;
    }
    return true;
}

void ObjectHost::run(QThread &thread, const std::function<int()> &eventLoop)
{
    Q_ASSERT(QThread::currentThread() == &thread);
    {
        QMutexLocker lock(&m_endMutex);
        m_thread = &thread;
        // A release that came before the thread did: the loop below returns at once.
        if (m_released)
            leaveLoop();
    }
    setThreadMessageBoxChannel(this);
    {
        ProbeObject object;
        m_object = &object;
        QObject::connect(&object, &ProbeObject::PingResponse, &object,
                         [this](QString &ip, qint16 &pingTime) { raise(Interface::PingResponse{ip, pingTime}); },
                         Qt::DirectConnection);
        QObject::connect(&object, &ProbeObject::HTTPReqResponse, &object,
                         [this](QString &host, QString &rawData) {
                             raise(Interface::HTTPReqResponse{host, rawData});
                         },
                         Qt::DirectConnection);
        eventLoop();
        object.shutdown();
        m_object = nullptr;
    }
    setThreadMessageBoxChannel(nullptr);
    // Jobs that came in after the release die with this object, so the
    // thread's next object starts clean.
    QCoreApplication::removePostedEvents(m_agent.get());
    m_agent->moveToThread(nullptr);
    if (m_onEnded)
        m_onEnded(this);
    QMutexLocker lock(&m_endMutex);
    m_thread = nullptr;
    m_ended = true;
    m_endCondition.wakeAll();
    // The host may be gone from here on.
}

template <class Event>
void ObjectHost::raise(const Event &event)
{
    // One raise at a time: a notify tick while the client still handles the
    // previous event of this object is skipped.
    if (m_released || m_raising)
        return;
    const Message m = answeredFrame(Wire::invocation(Type::Event, m_objectId, event));
    m_raising = true;
    m_raiseSerial = m.serial;
    m_raiseReturned = false;
    if (m_writer.write(Wire::encode(m), &m_released))
        waitUntil([this] { return m_raiseReturned; });
    m_raising = false;
}

int ObjectHost::show(const QString &text, int style, const QString &title)
{
    Message m;
    m.type = Type::MessageBox;
    m.objectId = m_objectId;
    m.style = style;
    m.text = text;
    m.title = title;
    m = answeredFrame(std::move(m));
    const quint32 serial = m.serial;
    m_boxes.insert(serial, std::nullopt);
    if (m_writer.write(Wire::encode(m), &m_released))
        waitUntil([this, serial] { return m_boxes.value(serial).has_value(); });
    const std::optional<qint32> answer = m_boxes.take(serial);
    return answer.value_or(MsgBox::AnswerOK);
}

void ObjectHost::waitUntil(const std::function<bool()> &done)
{
    Wait wait;
    wait.done = done;
    m_waits.push_back(&wait);
    while (!done() && !m_released && !m_writer.isClosed()) {
        if (wait.loop.exec() < 0)
            break; // the object's turn on the thread is ending
    }
    m_waits.erase(std::find(m_waits.begin(), m_waits.end(), &wait));
}

void ObjectHost::wakeWaits()
{
    for (Wait *wait : m_waits) {
        if (m_released || wait->done())
            wait->loop.quit();
    }
}

Message ObjectHost::answeredFrame(Message m)
{
    m.serial = ++m_nextSerial;
    return m;
}

void ObjectHost::protocolError(const QString &text)
{
    m_writer.protocolError(m_objectId, text, &m_released);
}

// ---------------------------------------------------------------------------

class ObjectThreadPool::Worker : public QThread
{
public:
    explicit Worker(ObjectThreadPool &pool) : m_pool(pool) {}
    ObjectHost *next = nullptr; // guarded by the pool's mutex
    QWaitCondition wake;

protected:
    void run() override
    {
        const std::function<int()> loop = [this] { return exec(); };
        while (ObjectHost *host = m_pool.take(this)) {
            host->run(*this, loop);
            if (!m_pool.giveBack(this))
                return;
        }
    }

private:
    ObjectThreadPool &m_pool;
};

ObjectThreadPool::ObjectThreadPool(int idleMs, int maxSpare) : m_idleMs(idleMs), m_maxSpare(maxSpare) {}

ObjectThreadPool::~ObjectThreadPool()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        for (Worker *w : m_idle)
            w->wake.wakeAll();
    }
    for (const auto &w : m_workers)
        w->wait();
}

bool ObjectThreadPool::run(ObjectHost *host)
{
    Q_ASSERT(QThread::currentThread() == thread());
    reapFinished();
    {
        QMutexLocker lock(&m_mutex);
        if (!m_idle.empty()) {
            Worker *w = m_idle.back();
            m_idle.pop_back();
            host->m_agent->moveToThread(w);
            w->next = host;
            w->wake.wakeAll();
            return true;
        }
    }
    auto w = std::make_unique<Worker>(*this);
    w->next = host;
    connect(w.get(), &QThread::finished, this, &ObjectThreadPool::reapFinished, Qt::QueuedConnection);
    w->start();
    if (!w->isRunning() && !w->isFinished())
        return false;
    // Nothing is posted to the agent before this, and the object cannot end
    // its turn before its release.
    host->m_agent->moveToThread(w.get());
    m_workers.push_back(std::move(w));
    return true;
}

ObjectHost *ObjectThreadPool::take(Worker *worker)
{
    QMutexLocker lock(&m_mutex);
    const QDeadlineTimer idle(m_idleMs);
    while (!worker->next && !m_stopping) {
        if (!worker->wake.wait(&m_mutex, idle))
            break;
    }
    ObjectHost *host = std::exchange(worker->next, nullptr);
    if (!host)
        m_idle.erase(std::remove(m_idle.begin(), m_idle.end(), worker), m_idle.end());
    return host;
}

bool ObjectThreadPool::giveBack(Worker *worker)
{
    QMutexLocker lock(&m_mutex);
    if (m_stopping || int(m_idle.size()) >= m_maxSpare)
        return false;
    m_idle.push_back(worker);
    return true;
}

void ObjectThreadPool::reapFinished()
{
    // A worker that has left run() is out of the idle list and holds no host.
    m_workers.erase(std::remove_if(m_workers.begin(), m_workers.end(),
                                   [](const std::unique_ptr<Worker> &w) { return w->wait(0) && w->isFinished(); }),
                    m_workers.end());
}

} // namespace Pelorin
