// The real probes: each wraps one probe object of pelorin, started next to the
// running program on first need. Owned by whoever drives the engine.
#pragma once

#include "engine/ScanProbe.h"

namespace PelorinClient {
class ProbeObjectProxy;
class Connection;
}

class PelorinProbe : public ScanProbe
{
    Q_OBJECT

public:
    explicit PelorinProbe(std::unique_ptr<PelorinClient::ProbeObjectProxy> object);
    ~PelorinProbe() override;

    void PingRequest(const QString &ip, qint32 timeOut, quint8 retries) override;
    void HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut,
                     quint8 retries) override;
    bool isAlive() const override;
    PelorinClient::ProbeObjectProxy *object() const { return m_object.get(); }

private:
    std::unique_ptr<PelorinClient::ProbeObjectProxy> m_object;
};

class PelorinProbeFactory : public ProbeFactory
{
    Q_OBJECT

public:
    explicit PelorinProbeFactory(PelorinClient::Connection &connection);
    Readiness readiness(QString *problem, int *style) override;
    std::unique_ptr<ScanProbe> create(QString *error) override;

private:
    PelorinClient::Connection &m_connection;
    QString m_startFailure; // the latest start's failure, told once
};
