#include "ObjectHost.h"

#include "PelorinInterface.h"
#include "PipeWriter.h"
#include "clsMain.h"

#include <QEventLoop>

#include <algorithm>

#include <cstdio>

namespace Pelorin {

using Wire::Message;
using Wire::Type;
using Wire::Value;

struct ObjectHost::Wait {
    QEventLoop loop;
    std::function<bool()> done;
};

ObjectHost::ObjectHost(quint32 objectId, PipeWriter &writer)
    : m_objectId(objectId), m_writer(writer), m_agent(new QObject)
{
    m_agent->moveToThread(this);
    start();
}

ObjectHost::~ObjectHost()
{
    if (!m_released)
        release();
    wait();
    // The thread has ended, so the agent handles no event any more; jobs still
    // queued for it are dropped with it.
    delete m_agent;
}

void ObjectHost::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(m_agent, std::move(job), Qt::QueuedConnection);
}

void ObjectHost::call(qint32 dispId, const QList<Value> &args)
{
    post([this, dispId, args] {
        if (m_released || !m_object)
            return;
        if (dispId == DispId::HTTPRequest) {
            const QString sHost = std::get<QString>(args.at(0));
            const qint32 lPort = std::get<qint32>(args.at(1));
            const QString sFile = std::get<QString>(args.at(2));
            const qint32 lTimeOut = std::get<qint32>(args.at(3));
            const quint8 retries = std::get<quint8>(args.at(4));
            m_object->HTTPRequest(sHost, lPort, sFile, lTimeOut, retries);
        } else if (dispId == DispId::PingRequest) {
            const QString sIP = std::get<QString>(args.at(0));
            const qint32 lTimeOut = std::get<qint32>(args.at(1));
            const quint8 retries = std::get<quint8>(args.at(2));
            m_object->PingRequest(sIP, lTimeOut, retries);
        }
    });
}

void ObjectHost::runOnObjectThread(std::function<void(clsMain &)> job)
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
            m_object->Shutdown();
        wakeWaits();
    });
    // Ends the thread's loops, the nested waits included, and makes any loop
    // started later return at once.
    quit();
}

void ObjectHost::run()
{
    setThreadMessageBoxChannel(this);
    {
        clsMain object;
        m_object = &object;
        connect(&object, &clsMain::PingResponse, &object,
                [this](QString &sIP, qint16 &iPingTime) {
                    raise(DispId::PingResponse, {sIP, iPingTime});
                },
                Qt::DirectConnection);
        connect(&object, &clsMain::HTTPReqResponse, &object,
                [this](QString &sHost, QString &sRawData) {
                    raise(DispId::HTTPReqResponse, {sHost, sRawData});
                },
                Qt::DirectConnection);
        if (!m_released)
            exec();
        object.Shutdown();
        m_object = nullptr;
    }
    setThreadMessageBoxChannel(nullptr);
}

void ObjectHost::raise(qint32 dispId, const QList<Value> &args)
{
    // One raise at a time: a notify tick while the client still handles the
    // previous event of this object is skipped.
    if (m_released || m_raising)
        return;
    Message m = answeredFrame(Type::Event);
    m.number = dispId;
    m.args = args;
    m_raising = true;
    m_raiseSerial = m.serial;
    m_raiseReturned = false;
    if (m_writer.write(Wire::encode(m), &m_released))
        waitUntil([this] { return m_raiseReturned; });
    m_raising = false;
}

int ObjectHost::show(const QString &text, int style, const QString &title)
{
    Message m = answeredFrame(Type::MessageBox);
    m.number = style;
    m.text = text;
    m.text2 = title;
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
            break; // the thread is ending
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

Message ObjectHost::answeredFrame(Type type)
{
    Message m;
    m.type = type;
    m.objectId = m_objectId;
    m.serial = ++m_nextSerial;
    return m;
}

void ObjectHost::protocolError(const QString &text)
{
    std::fprintf(stderr, "pelorin: protocol error (object %u): %s\n", m_objectId, qPrintable(text));
    Message m;
    m.type = Type::ProtocolError;
    m.objectId = m_objectId;
    m.text = text;
    m_writer.write(Wire::encode(m), &m_released);
}

} // namespace Pelorin
