// HttpService: the server's one libcurl multi handle, driven by the event loop
// (a socket notifier per socket libcurl watches, one timer for its time-outs;
// only a host name's look-up runs on a thread, libcurl's). Owned by PelorinServer; outlives every client.
//
// HttpClient: the probe object's page client, one GET at a time, run on the
// service's multi handle. Every request is one fresh TCP connection, never
// reused, carrying one GET and nothing else: no proxy, no redirect followed, no
// automatic resend, at most kMaxBodyBytes of a body. Owned by the probe object.
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

class HttpClient : public PageFetch
{
public:
    static constexpr qint64 kMaxBodyBytes = 4 * 1024 * 1024;

    // done is called each time a request ends, answered or failed.
    HttpClient(HttpService &service, std::function<void()> done);
    ~HttpClient() override;

    bool get(const QString &url) override;
    // Closes the connection of the request in progress at once.
    void abort() override;
    bool isDone() const override { return m_done; }
    std::optional<QString> responseText() const override;

private:
    friend class HttpService;
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    void transferDone(int result);
    void dropTransfer();

    HttpService &m_service;
    std::function<void()> m_onDone;
    void *m_easy = nullptr; // CURL, the transfer in progress
    QByteArray m_body;
    QByteArray m_contentType;
    bool m_capped = false;
    bool m_done = false; // the last request has ended; its text can be read
};

} // namespace Pelorin
