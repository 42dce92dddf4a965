// The real probes: each wraps one probe object of pelorin, started next to the
// running program on first need. Owned by whoever drives the engine.
#pragma once

#include "engine/ScanProbe.h"

namespace PelorinClient {
class clsMain;
class Connection;
}

class PelorinProbe : public ScanProbe
{
    Q_OBJECT

public:
    explicit PelorinProbe(std::unique_ptr<PelorinClient::clsMain> object);
    ~PelorinProbe() override;

    void PingRequest(const QString &sIP, qint32 lTimeOut, quint8 Retries) override;
    void HTTPRequest(const QString &sHost, qint32 lPort, const QString &sFile, qint32 lTimeOut,
                     quint8 Retries) override;
    bool isAlive() const override;
    PelorinClient::clsMain *object() const { return m_object.get(); }

private:
    std::unique_ptr<PelorinClient::clsMain> m_object;
};

class PelorinProbeFactory : public ProbeFactory
{
    Q_OBJECT

public:
    explicit PelorinProbeFactory(PelorinClient::Connection &connection);
    bool ready(QString *problem, int *style) override;
    std::unique_ptr<ScanProbe> create(QString *error) override;

private:
    PelorinClient::Connection &m_connection;
};
