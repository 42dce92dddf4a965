// Probes on pelorin's probe objects, and the checks that a scan can find anything.
#include "client/PelorinProbe.h"

#include "client/PelorinConnection.h"
#include "client/ProbeObjectProxy.h"
#include "ProbeInterface.h"

#include <utility>

PelorinProbe::PelorinProbe(std::unique_ptr<PelorinClient::ProbeObjectProxy> object) : m_object(std::move(object))
{
    connect(m_object.get(), &PelorinClient::ProbeObjectProxy::PingResponse, this, &PelorinProbe::PingResponse);
    connect(m_object.get(), &PelorinClient::ProbeObjectProxy::HTTPReqResponse, this, &PelorinProbe::HTTPReqResponse);
}

// Disconnects first, so nothing of the object arrives once the engine has let
// go of it, also when this runs inside the object's own event.
PelorinProbe::~PelorinProbe()
{
    disconnect(m_object.get(), nullptr, this, nullptr);
}

void PelorinProbe::PingRequest(const QString &ip, qint32 timeOut, quint8 retries)
{
    m_object->PingRequest(ip, timeOut, retries);
}

void PelorinProbe::HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut,
                               quint8 retries)
{
    m_object->HTTPRequest(host, port, file, timeOut, retries);
}

bool PelorinProbe::isAlive() const
{
    return m_object->isAlive();
}

PelorinProbeFactory::PelorinProbeFactory(PelorinClient::Connection &connection) : m_connection(connection)
{
    connect(&m_connection, &PelorinClient::Connection::serverDied, this, &ProbeFactory::serverDied,
            Qt::QueuedConnection);
    connect(&m_connection, &PelorinClient::Connection::ready, this, &ProbeFactory::readinessChanged);
    connect(&m_connection, &PelorinClient::Connection::startFailed, this, [this](const QString &reason) {
        m_startFailure = reason;
        emit readinessChanged();
    });
}

ProbeFactory::Readiness PelorinProbeFactory::readiness(QString *problem, int *style)
{
    namespace MsgBox = Pelorin::MsgBox;
    const auto cannotStart = [&](const QString &error) {
        *problem = QStringLiteral("Lanterra can't scan: its probe server pelorin could not be started.\n\n") + error;
        *style = MsgBox::OKOnly | MsgBox::Critical;
        return Readiness::Refused;
    };
    if (!m_startFailure.isEmpty())
        return cannotStart(std::exchange(m_startFailure, QString())); // the next check starts anew
    if (!m_connection.isReady()) {
        QString error; // start() returns at once, also while a server is starting
        if (!m_connection.start(&error))
            return cannotStart(error);
        return Readiness::Pending;
    }
    if (!m_connection.echoUsable()) {
        *problem = QStringLiteral("Lanterra can't scan: its probe server pelorin is not allowed to send echo "
                                  "requests (ping), so no host could be found.\n\n")
                   + m_connection.echoReason();
        *style = MsgBox::OKOnly | MsgBox::Exclamation;
        return Readiness::Refused;
    }
    return Readiness::Ready;
}

std::unique_ptr<ScanProbe> PelorinProbeFactory::create(QString *error)
{
    std::unique_ptr<PelorinClient::ProbeObjectProxy> object =
        PelorinClient::ProbeObjectProxy::create(m_connection, error);
    if (!object)
        return nullptr;
    return std::make_unique<PelorinProbe>(std::move(object));
}
