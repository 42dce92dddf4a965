// What a probe object needs of the server around it, as small interfaces: the
// echo requests (EchoSocket), its page fetch (HttpClient, made by HttpService)
// and the pipe its events and boxes go out on (PipeWriter). The server owns the
// real ones; a test hands the object stand-ins that answer when it says so.
#pragma once

#include "EchoPacket.h"
#include "Task.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace Pelorin {

struct EchoResult {
    quint32 status = IpStatus::GeneralFailure;
    quint32 roundTripMs = 0;
    quint8 ttl = 0;
    QByteArray data;
};

class EchoPort
{
public:
    virtual ~EchoPort() = default;
    // One echo request to address (network order) for token, its probe object;
    // awaits the reply, the time-out or cancel(token).
    virtual Task<EchoResult> request(quint32 address, QByteArray data, qint32 timeOutMs, const void *token) = 0;
    // Ends every wait of token at once, as failed.
    virtual void cancel(const void *token) = 0;
};

// One page request at a time.
class PageFetch
{
public:
    virtual ~PageFetch() = default;
    // Starts a GET of url and returns at once, abandoning any request still in
    // progress; false, and nothing asked, for an unusable URL.
    virtual bool get(const QString &url) = 0;
    virtual void abort() = 0;
    // The request has been answered completely, or has failed.
    virtual bool isDone() const = 0;
    // The body as text once done; nothing before that.
    virtual std::optional<QString> responseText() const = 0;
};

class PageService
{
public:
    virtual ~PageService() = default;
    // A page client of its own for one probe object; done is called each time a request ends.
    virtual std::unique_ptr<PageFetch> newFetch(std::function<void()> done) = 0;
};

// Where a probe object's events and boxes go, as whole frames.
class FrameSink
{
public:
    virtual ~FrameSink() = default;
    // True when the frame went out.
    virtual bool write(const QByteArray &frame) = 0;
};

} // namespace Pelorin
