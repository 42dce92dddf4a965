// The probe object's HTTP client: one asynchronous request at a time, in the
// shape the fetch expects (open, send, readyState, responseText). Lives on the
// probe object's thread; the request progresses while that thread's event loop
// runs. Never goes through a proxy, follows no redirect and keeps at most
// kMaxBodyBytes of a body. Owned by the probe object.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace Pelorin {

class HttpClient : public QObject
{
    Q_OBJECT

public:
    enum ReadyState { Unsent = 0, Opened = 1, Sent = 2, Receiving = 3, Done = 4 };

    static constexpr qint64 kMaxBodyBytes = 4 * 1024 * 1024;

    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // Prepares a request, abandoning any request still in progress. Fails
    // (returns false, state Unsent) for a method other than GET or an unusable URL.
    bool open(const QString &method, const QString &url);
    // Starts the prepared request and returns at once; fails when nothing is prepared.
    bool send();
    // Abandons the request in progress, if any; the state becomes Unsent.
    void abort();

    int readyState() const { return m_state; }
    // The body as text once the request is Done (complete or failed); empty
    // optional before that.
    std::optional<QString> responseText() const;

signals:
    // The request has reached Done.
    void completed();

private:
    void onReadyRead();
    void onFinished();
    void finish();
    void dropReply();

    std::unique_ptr<QNetworkAccessManager> m_manager;
    QPointer<QNetworkReply> m_reply;
    QString m_url;
    QByteArray m_body;
    QByteArray m_contentType;
    int m_state = Unsent;
};

} // namespace Pelorin
