// The client side of a probe object (ProbeObjectProxy of Pelorin): the same two methods
// and two events, carried across the pipe. Destroying it releases the object
// in the server; no event of it arrives afterwards.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace PelorinClient {

class Connection;

class ProbeObjectProxy : public QObject
{
    Q_OBJECT

public:
    // Creates a probe object in the server, starting the server if needed
    // (its frames wait in the pipe until the server reads them). Null, with
    // the reason in error, when the server can't be launched.
    static std::unique_ptr<ProbeObjectProxy> create(Connection &connection, QString *error = nullptr);
    static std::unique_ptr<ProbeObjectProxy> create(QString *error = nullptr);
    ~ProbeObjectProxy() override;

    // Both return at once; the answer comes later as an event. On a dead
    // server they do nothing.
    void HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut, quint8 retries);
    void PingRequest(const QString &ip, qint32 timeOut, quint8 retries);

    // False once the server that holds this object has gone.
    bool isAlive() const;
    quint32 objectId() const { return m_objectId; }

signals:
    // Delivered on the client's thread; the server waits until the handler
    // has returned.
    void PingResponse(const QString &ip, qint16 pingTime);
    void HTTPReqResponse(const QString &host, const QString &rawData);

private:
    friend class Connection;
    ProbeObjectProxy(Connection &connection, quint32 objectId, quint64 generation);

    Connection *m_connection;
    quint32 m_objectId;
    quint64 m_generation;
};

} // namespace PelorinClient
