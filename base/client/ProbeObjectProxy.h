// The client side of a probe object (clsMain of Pelorin): the same two methods
// and two events, carried across the pipe. Destroying it releases the object
// in the server; no event of it arrives afterwards.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace PelorinClient {

class Connection;

class clsMain : public QObject
{
    Q_OBJECT

public:
    // Creates a probe object in the server, starting the server if needed.
    // Null, with the reason in error, when that fails.
    static std::unique_ptr<clsMain> create(Connection &connection, QString *error = nullptr);
    static std::unique_ptr<clsMain> create(QString *error = nullptr);
    ~clsMain() override;

    // Both return at once; the answer comes later as an event. On a dead
    // server they do nothing.
    void HTTPRequest(const QString &sHost, const qint32 &lPort, const QString &sFile,
                     const qint32 &lTimeOut, const quint8 &Retries);
    void PingRequest(const QString &sIP, const qint32 &lTimeOut, const quint8 &Retries);

    // False once the server that holds this object has gone.
    bool isAlive() const;
    quint32 objectId() const { return m_objectId; }

signals:
    // Delivered on the client's thread; the server waits until the handler
    // has returned.
    void PingResponse(QString &sIP, qint16 &iPingTime);
    void HTTPReqResponse(QString &sHost, QString &sRawData);

private:
    friend class Connection;
    clsMain(Connection &connection, quint32 objectId, quint64 generation);

    Connection *m_connection;
    quint32 m_objectId;
    quint64 m_generation;
};

} // namespace PelorinClient
