// Probes without a server or a network, for engine and window tests: each request is recorded, and the
// answers come from the factory's tables, one event-loop turn later, as a real probe's would.
#pragma once

#include "ProbeInterface.h"
#include "engine/ScanProbe.h"

#include <QHash>
#include <QPointer>
#include <QTimer>

#include <functional>

class StandInFactory;

class StandInProbe : public ScanProbe
{
    Q_OBJECT

public:
    explicit StandInProbe(StandInFactory &factory) : m_factory(factory) {}
    inline void PingRequest(const QString &ip, qint32 timeOut, quint8 retries) override;
    inline void HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut,
                            quint8 retries) override;
    inline bool isAlive() const override;

private:
    StandInFactory &m_factory;
};

class StandInFactory : public ProbeFactory
{
    Q_OBJECT

public:
    struct Request { // asked: a page request's port and file, "80 id.htm"
        bool page; QString host; qint32 timeOut; quint8 retries; QPointer<StandInProbe> probe; QString asked;
    };

    Readiness readiness(QString *problem, int *style) override
    {
        *problem = notReady;
        *style = Pelorin::MsgBox::OKOnly | Pelorin::MsgBox::Critical;
        return pending ? Readiness::Pending : notReady.isEmpty() ? Readiness::Ready : Readiness::Refused;
    }
    std::unique_ptr<ScanProbe> create(QString *) override
    {
        return canCreate ? std::make_unique<StandInProbe>(*this) : nullptr;
    }

    QHash<QString, qint16> pingTimes; // none: -1, a silent host
    QHash<QString, QString> pages;    // none: empty
    std::function<bool(const Request &)> onRequest; // runs before the answer is scheduled; false: no answer
    QString notReady; // when set, readiness() refuses with it
    bool pending = false; // readiness() answers Pending until decide()
    void decide() { pending = false; emit readinessChanged(); }
    bool canCreate = true;
    bool alive = true;
    QList<Request> requests;
    QStringList pinged() const
    {
        QStringList hosts;
        for (const Request &r : requests)
            if (!r.page)
                hosts.append(r.host);
        return hosts;
    }

private:
    friend class StandInProbe;
    void handle(const Request &r)
    {
        requests.append(r);
        if (onRequest && !onRequest(r))
            return;
        QTimer::singleShot(0, r.probe, [r, raw = pages.value(r.host), time = pingTimes.value(r.host, -1)] {
            r.page ? emit r.probe->HTTPReqResponse(r.host, raw) : emit r.probe->PingResponse(r.host, time);
        });
    }
};

void StandInProbe::PingRequest(const QString &ip, qint32 timeOut, quint8 retries)
{
    m_factory.handle({false, ip, timeOut, retries, this, {}});
}
void StandInProbe::HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut, quint8 retries)
{
    m_factory.handle({true, host, timeOut, retries, this, QString::number(port) + u' ' + file});
}
bool StandInProbe::isAlive() const { return m_factory.alive; }
