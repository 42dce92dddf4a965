#include "StandInProbe.h"

#include "PelorinInterface.h"

#include <QTimer>

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
