#include "StandInProbe.h"

#include "ProbeInterface.h"

#include <QTimer>

void StandInProbe::PingRequest(const QString &ip, qint32 timeOut, quint8 retries)
{
    m_factory.handle({false, ip, timeOut, retries, this, {}});
}

void StandInProbe::HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut, quint8 retries)
{
    m_factory.handle({true, host, timeOut, retries, this, QString::number(port) + u' ' + file});
}

bool StandInProbe::isAlive() const { return m_factory.alive; }

ProbeFactory::Readiness StandInFactory::readiness(QString *problem, int *style)
{
    if (pending)
        return Readiness::Pending;
    *problem = notReady;
    *style = Pelorin::MsgBox::OKOnly | Pelorin::MsgBox::Critical;
    return notReady.isEmpty() ? Readiness::Ready : Readiness::Refused;
}

std::unique_ptr<ScanProbe> StandInFactory::create(QString *error)
{
    if (!canCreate)
        *error = QStringLiteral("no probe");
    return canCreate ? std::make_unique<StandInProbe>(*this) : nullptr;
}

QStringList StandInFactory::pinged() const
{
    QStringList hosts;
    for (const Request &r : requests)
        if (!r.page)
            hosts.append(r.host);
    return hosts;
}

void StandInFactory::handle(const Request &request)
{
    requests.append(request);
    if (onRequest && !onRequest(request))
        return;
    // The answer as the tables give it now, from the next event-loop turn.
    const QPointer<StandInProbe> probe = request.probe;
    QTimer::singleShot(0, probe, [probe, r = request, raw = pages.value(request.host), time = pingTimes.value(request.host, -1)] {
        r.page ? probe->answerPage(r.host, raw) : probe->answerPing(r.host, time);
    });
}
