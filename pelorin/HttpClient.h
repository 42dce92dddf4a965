// HttpService: the server's one libcurl multi handle, driven by the event loop
// (a socket notifier per socket libcurl watches, one timer for its time-outs;
// only a host name's look-up runs on a thread, libcurl's). Owned by PelorinServer; outlives every client.
//
// HttpClient: the probe object's HTTP client, one asynchronous request at a
// time, in the shape the fetch expects (open, send, readyState,
// responseText), run on the service's multi handle. Every send is one fresh TCP
// connection, never reused, carrying one GET and nothing else: no proxy, no
// redirect followed, no automatic resend, at most kMaxBodyBytes of a body.
// Owned by the probe object.
#pragma once

#include "ProbePorts.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>

class QSocketNotifier;

namespace Pelorin {

class HttpClient;

class HttpService : public QObject, public PageService
{
    Q_OBJECT

public:
    explicit HttpService(QObject *parent = nullptr);
    ~HttpService() override;

    std::unique_ptr<PageFetch> newFetch(std::function<void()> done) override;

private:
    friend class HttpClient;
    struct Watch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };
    static int onSocket(void *easy, int fd, int what, void *self, void *);
    static int onTimer(void *multi, long timeoutMs, void *self);
    void watch(int fd, int what);
    void act(int fd, int events);

    void *m_multi = nullptr; // CURLM
    std::map<int, Watch> m_watches;
    QTimer m_timer;
};

class HttpClient : public QObject, public PageFetch
{
    Q_OBJECT

public:
    enum ReadyState { Unsent = 0, Opened = 1, Sent = 2, Receiving = 3, Done = 4 };

    static constexpr qint64 kMaxBodyBytes = 4 * 1024 * 1024;

    explicit HttpClient(HttpService &service, QObject *parent = nullptr);
    ~HttpClient() override;

    // Prepares a request, abandoning any request still in progress. Fails
    // (returns false, state Unsent) for a method other than GET or an unusable URL.
    bool open(const QString &method, const QString &url) override;
    // Starts the prepared request and returns at once; fails when nothing is prepared.
    bool send() override;
    // Abandons the request in progress, if any, closing its connection at once;
    // the state becomes Unsent.
    void abort() override;

    int readyState() const { return m_state; }
    bool isDone() const override { return m_state == Done; }
    // The body as text once the request is Done (complete or failed); empty
    // optional before that.
    std::optional<QString> responseText() const override;

signals:
    // The request has reached Done.
    void completed();

private:
    friend class HttpService;
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    void transferDone(int result);
    void dropTransfer();

    HttpService &m_service;
    void *m_easy = nullptr; // CURL, the transfer in progress
    QByteArray m_url;
    QByteArray m_body;
    QByteArray m_contentType;
    bool m_capped = false;
    bool m_page = false;
    int m_state = Unsent;
};

} // namespace Pelorin
