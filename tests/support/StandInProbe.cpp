#include "StandInProbe.h"

#include "PelorinInterface.h"

#include <QTimer>

void StandInProbe::PingRequest(const QString &sIP, qint32 lTimeOut, quint8 Retries)
{
    m_factory.handle({false, sIP, lTimeOut, Retries, this});
}

void StandInProbe::HTTPRequest(const QString &sHost, qint32, const QString &, qint32 lTimeOut, quint8 Retries)
{
    m_factory.handle({true, sHost, lTimeOut, Retries, this});
}

bool StandInProbe::isAlive() const
{
    return m_factory.alive;
}

bool StandInFactory::ready(QString *problem, int *style)
{
    *problem = notReady;
    *style = Pelorin::MsgBox::OKOnly | Pelorin::MsgBox::Critical;
    return notReady.isEmpty();
}

std::unique_ptr<ScanProbe> StandInFactory::create(QString *error)
{
    if (onCreate)
        onCreate();
    if (!canCreate) {
        *error = QStringLiteral("no probe");
        return nullptr;
    }
    return std::make_unique<StandInProbe>(*this);
}

QStringList StandInFactory::pinged() const
{
    QStringList hosts;
    for (const Request &r : requests) {
        if (!r.page)
            hosts.append(r.host);
    }
    return hosts;
}

void StandInFactory::handle(const Request &request)
{
    requests.append(request);
    if (onRequest && !onRequest(request))
        return;
    QPointer<StandInProbe> probe = request.probe;
    const QString host = request.host;
    if (request.page) {
        const QString raw = pages.value(host);
        QTimer::singleShot(0, probe, [probe, host, raw] { probe->answerPage(host, raw); });
    } else {
        const qint16 time = pingTimes.value(host, -1);
        QTimer::singleShot(0, probe, [probe, host, time] { probe->answerPing(host, time); });
    }
}
