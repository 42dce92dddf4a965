#include "client/ProbeObjectProxy.h"

#include "client/ConnectionPrivate.h"
#include "ProbeInterface.h"

namespace PelorinClient {

namespace Wire = Pelorin::Wire;

ProbeObjectProxy::ProbeObjectProxy(Connection &connection, quint32 objectId, quint64 generation)
    : m_connection(&connection), m_objectId(objectId), m_generation(generation)
{
}

std::unique_ptr<ProbeObjectProxy> ProbeObjectProxy::create(Connection &connection, QString *error)
{
    if (!connection.start(error))
        return nullptr;
    Connection::Private *d = connection.d;
    const quint32 id = d->allocateObjectId();
    std::unique_ptr<ProbeObjectProxy> proxy(new ProbeObjectProxy(connection, id, d->generation));
    d->objects.insert(id, proxy.get());
    d->proxies.insert(proxy.get());
    d->send(id, Wire::Create{QString::fromLatin1(Pelorin::kClsMainClassId)});
    return proxy;
}

std::unique_ptr<ProbeObjectProxy> ProbeObjectProxy::create(QString *error)
{
    return create(Connection::instance(), error);
}

ProbeObjectProxy::~ProbeObjectProxy()
{
    if (!m_connection)
        return;
    Connection::Private *d = m_connection->d;
    d->proxies.remove(this);
    if (isAlive()) {
        d->objects.remove(m_objectId);
        d->send(m_objectId, Wire::Release{});
    }
}

void ProbeObjectProxy::HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut,
                                   quint8 retries)
{
    if (isAlive())
        m_connection->d->send(m_objectId, Wire::HttpRequest{host, port, file, timeOut, retries});
}

void ProbeObjectProxy::PingRequest(const QString &ip, qint32 timeOut, quint8 retries)
{
    if (isAlive())
        m_connection->d->send(m_objectId, Wire::PingRequest{ip, timeOut, retries});
}

bool ProbeObjectProxy::isAlive() const
{
    return m_connection && m_connection->d->isCurrent(m_generation)
        && m_connection->d->objects.value(m_objectId) == this;
}

} // namespace PelorinClient
