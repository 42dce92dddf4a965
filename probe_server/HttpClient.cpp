#include "HttpClient.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QUrl>

namespace Pelorin {

namespace {

// Keeps Qt from buffering far ahead of what has been read.
constexpr qint64 kReadBufferBytes = 256 * 1024;

// A transfer that broke off (connection closed or reset before the response
// was complete, broken framing) brought no page. An HTTP error status did:
// its body is text like any other.
bool transferBrokeOff(QNetworkReply::NetworkError error)
{
    const int code = int(error);
    return (code >= 1 && code < 200) || (code >= 300 && code < 400);
}

QString decodeBody(const QByteArray &body, const QByteArray &contentType)
{
    QByteArray charset;
    for (const QByteArray &param : contentType.split(';')) {
        const QByteArray p = param.trimmed();
        if (p.size() > 8 && p.left(8).toLower() == "charset=") {
            charset = p.mid(8).trimmed();
            if (charset.size() >= 2 && charset.startsWith('"') && charset.endsWith('"'))
                charset = charset.mid(1, charset.size() - 2);
            break;
        }
    }
    if (!charset.isEmpty()) {
        // Stateless: a sequence cut off at the end of the body becomes a
        // replacement character instead of vanishing.
        QStringDecoder decoder(charset.constData(), QStringConverter::Flag::Stateless);
        if (decoder.isValid())
            return decoder.decode(body);
    }
    return QString::fromUtf8(body);
}

// The transport does not always flag a connection that closed before the
// declared length had arrived; a body shorter than its Content-Length is cut
// off all the same. (A content-encoded body is sized before decoding: not compared.)
bool shorterThanDeclared(const QNetworkReply &reply, qint64 received)
{
    const QVariant declared = reply.header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    return declared.isValid() && (encoding.isEmpty() || encoding == "identity")
        && received < declared.toLongLong();
}

} // namespace

HttpClient::HttpClient(QObject *parent) : QObject(parent) {}

HttpClient::~HttpClient()
{
    dropReply();
}

void HttpClient::dropReply()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    // abort() signals finished synchronously: nothing of ours may hear it.
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void HttpClient::abort()
{
    dropReply();
    m_url.clear();
    m_body.clear();
    m_contentType.clear();
    m_state = Unsent;
}

bool HttpClient::open(const QString &method, const QString &url)
{
    abort();
    if (method.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0)
        return false;
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!parsed.isValid() || parsed.scheme() != QLatin1String("http") || parsed.host().isEmpty())
        return false;
    m_url = url;
    m_state = Opened;
    return true;
}

bool HttpClient::send()
{
    if (m_state != Opened)
        return false;
    if (!m_manager) {
        m_manager = std::make_unique<QNetworkAccessManager>();
        // A device on the LAN is always asked directly.
        m_manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        m_manager->setStrictTransportSecurityEnabled(false);
    }
    QNetworkRequest request{QUrl(m_url, QUrl::TolerantMode)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);

    QNetworkReply *reply = m_manager->get(request);
    reply->setReadBufferSize(kReadBufferBytes);
    m_reply = reply;
    m_state = Sent;
    connect(reply, &QNetworkReply::readyRead, this, &HttpClient::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HttpClient::onFinished);
    return true;
}

void HttpClient::onReadyRead()
{
    if (!m_reply || m_state == Done)
        return;
    if (m_state < Receiving) {
        m_state = Receiving;
        m_contentType = m_reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    }
    const qint64 room = kMaxBodyBytes - m_body.size();
    if (room > 0)
        m_body += m_reply->read(room);
    if (m_body.size() >= kMaxBodyBytes) {
        // Enough: a device that sends more gets cut off, and what came counts as the page.
        finish();
    }
}

void HttpClient::onFinished()
{
    if (!m_reply || m_state == Done)
        return;
    if (m_state < Receiving)
        m_contentType = m_reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    const qint64 room = kMaxBodyBytes - m_body.size();
    if (room > 0)
        m_body += m_reply->read(room);
    if (transferBrokeOff(m_reply->error()) || shorterThanDeclared(*m_reply, m_body.size()))
        m_body.clear();
    finish();
}

void HttpClient::finish()
{
    dropReply();
    m_state = Done;
    emit completed();
}

std::optional<QString> HttpClient::responseText() const
{
    if (m_state != Done)
        return std::nullopt;
    return decodeBody(m_body, m_contentType);
}

} // namespace Pelorin
