// Probes without a server or a network, for engine and window tests: each request is recorded, and the
// answers come from the factory's tables, one event-loop turn later, as a real probe's would.
#pragma once

#include "engine/ScanProbe.h"

#include <QHash>
#include <QPointer>
#include <QTimer>

#include <functional>

class StandInProbe;

struct StandInRequest { // asked: a page request's port and file, "80 id.htm"
    bool page; QString host; qint32 timeOut; quint8 retries; QPointer<StandInProbe> probe; QString asked;
};

class StandInProbe : public ScanProbe
{
    Q_OBJECT

public:
    StandInProbe(std::function<void(const StandInRequest &)> send, const bool &alive) : m_send(send), m_alive(alive) {}
    void PingRequest(const QString &ip, qint32 timeOut, quint8 retries) override
    {
        m_send({false, ip, timeOut, retries, this, {}});
    }
    void HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut, quint8 retries) override
    {
        m_send({true, host, timeOut, retries, this, QString::number(port) + u' ' + file});
    }
    bool isAlive() const override { return m_alive; }

private:
    std::function<void(const StandInRequest &)> m_send;
    const bool &m_alive;
};

class StandInFactory : public ProbeFactory
{
    Q_OBJECT

public:
    Readiness readiness(QString *problem, int *) override
    {
        *problem = notReady;
        return pending ? Readiness::Pending : notReady.isEmpty() ? Readiness::Ready : Readiness::Refused;
    }
    std::unique_ptr<ScanProbe> create(QString *) override
    {
        return canCreate ? std::make_unique<StandInProbe>([this](auto &r) { handle(r); }, alive) : nullptr;
    }
    // The request's answer from the tables, one event-loop turn later.
    void answer(const StandInRequest &r)
    {
        QTimer::singleShot(0, r.probe, [r, raw = pages.value(r.host), time = pingTimes.value(r.host, -1)] {
            if (r.page)
                emit r.probe->HTTPReqResponse(r.host, raw);
            else
                emit r.probe->PingResponse(r.host, time);
        });
    }

    QHash<QString, qint16> pingTimes; // none: -1, a silent host
    QHash<QString, QString> pages;    // none: empty
    std::function<bool(const StandInRequest &)> onRequest; // runs before the answer is scheduled; false: no answer
    QString notReady; // when set, readiness() refuses with it
    bool pending = false; // readiness() answers Pending until decide()
    void decide()
    {
        pending = false;
        emit readinessChanged();
    }
    bool canCreate = true;
    bool alive = true;
    QList<StandInRequest> requests;

private:
    void handle(const StandInRequest &r)
    {
        requests.append(r);
        if (!onRequest || onRequest(r))
            answer(r);
    }
};
