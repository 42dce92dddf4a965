#include "client/ProbeObject.h"

#include "client/ConnectionPrivate.h"
#include "interface/PelorinInterface.h"

namespace PelorinClient {

using Pelorin::Wire::Message;
using Pelorin::Wire::Type;
using Pelorin::Wire::invocation;

clsMain::clsMain(Connection &connection, quint32 objectId, quint64 generation)
    : m_connection(&connection), m_objectId(objectId), m_generation(generation)
{
}

std::unique_ptr<clsMain> clsMain::create(Connection &connection, QString *error)
{
    if (!connection.ensureStarted(error))
        return nullptr;
    Connection::Private *d = connection.d;
    const quint32 id = d->allocateObjectId();
    std::unique_ptr<clsMain> proxy(new clsMain(connection, id, d->generation));
    d->objects.insert(id, proxy.get());
    d->proxies.insert(proxy.get());
    Message m;
    m.type = Type::Create;
    m.objectId = id;
    m.classId = QString::fromLatin1(Pelorin::kClsMainClassId);
    d->send(m);
    return proxy;
}

std::unique_ptr<clsMain> clsMain::create(QString *error)
{
    return create(Connection::instance(), error);
}

clsMain::~clsMain()
{
    if (!m_connection)
        return;
    Connection::Private *d = m_connection->d;
    d->proxies.remove(this);
    if (isAlive()) {
        d->objects.remove(m_objectId);
        Message m;
        m.type = Type::Release;
        m.objectId = m_objectId;
        d->send(m);
    }
}

void clsMain::HTTPRequest(const QString &sHost, const qint32 &lPort, const QString &sFile,
                          const qint32 &lTimeOut, const quint8 &Retries)
{
    if (isAlive())
        m_connection->d->send(invocation(Type::Call, m_objectId,
                                         Pelorin::Interface::HTTPRequest{sHost, lPort, sFile, lTimeOut, Retries}));
}

void clsMain::PingRequest(const QString &sIP, const qint32 &lTimeOut, const quint8 &Retries)
{
    if (isAlive())
        m_connection->d->send(invocation(Type::Call, m_objectId, Pelorin::Interface::PingRequest{sIP, lTimeOut, Retries}));
}

bool clsMain::isAlive() const
{
    return m_connection && m_connection->d->isCurrent(m_generation)
        && m_connection->d->objects.value(m_objectId) == this;
}

} // namespace PelorinClient
