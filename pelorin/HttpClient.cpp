#include "HttpClient.h"

#include "HttpBody.h"

#include <QSocketNotifier>

#include <curl/curl.h>

namespace Pelorin {

namespace {

// Once per process. Plain HTTP only: no TLS library is set up.
bool curlReady()
{
    static const bool ready = curl_global_init(CURL_GLOBAL_NOTHING) == CURLE_OK;
    return ready;
}

struct UrlDeleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};

// Only a plain http:// URL with a host is usable.
bool usableUrl(const QByteArray &url)
{
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.constData(), 0) != CURLUE_OK)
        return false;
    char *scheme = nullptr;
    char *host = nullptr;
    const bool ok = curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK
        && curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && qstrcmp(scheme, "http") == 0
        && host && *host;
    curl_free(scheme);
    curl_free(host);
    return ok;
}

} // namespace

HttpService::HttpService(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    if (!curlReady())
        return;
    CURLM *multi = curl_multi_init();
    m_multi = multi;
    if (!multi)
        return;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &HttpService::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &HttpService::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
}

HttpService::~HttpService()
{
    m_watches.clear();
    if (m_multi)
        curl_multi_cleanup(static_cast<CURLM *>(m_multi));
}

std::unique_ptr<PageFetch> HttpService::newFetch(std::function<void()> done)
{
    return std::make_unique<HttpClient>(*this, std::move(done));
}

int HttpService::onSocket(void *, int fd, int what, void *self, void *)
{
    static_cast<HttpService *>(self)->watch(fd, what);
    return 0;
}

int HttpService::onTimer(void *, long timeoutMs, void *self)
{
    auto *service = static_cast<HttpService *>(self);
    if (timeoutMs < 0)
        service->m_timer.stop();
    else
        service->m_timer.start(int(std::min<long>(timeoutMs, 0x7fffffff)));
    return 0;
}

void HttpService::watch(int fd, int what)
{
    // A notifier may be the one whose signal is being handled: retired later, never deleted here.
    const auto retire = [](std::unique_ptr<QSocketNotifier> &n) {
        if (n) {
            n->setEnabled(false);
            n.release()->deleteLater();
        }
    };
    if (what == CURL_POLL_REMOVE) {
        const auto it = m_watches.find(fd);
        if (it != m_watches.end()) {
            retire(it->second.read);
            retire(it->second.write);
            m_watches.erase(it);
        }
        return;
    }
    Watch &w = m_watches[fd];
    const auto want = [&](std::unique_ptr<QSocketNotifier> &n, QSocketNotifier::Type type, bool on, int event) {
        if (!n && on) {
            n = std::make_unique<QSocketNotifier>(fd, type);
            connect(n.get(), &QSocketNotifier::activated, this, [this, fd, event] { act(fd, event); });
        }
        if (n)
            n->setEnabled(on);
    };
    want(w.read, QSocketNotifier::Read, what & CURL_POLL_IN, CURL_CSELECT_IN);
    want(w.write, QSocketNotifier::Write, what & CURL_POLL_OUT, CURL_CSELECT_OUT);
}

void HttpService::act(int fd, int events)
{
    auto *multi = static_cast<CURLM *>(m_multi);
    if (!multi)
        return;
    int running = 0;
    curl_multi_socket_action(multi, fd, events, &running);
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        void *client = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &client);
        if (client)
            static_cast<HttpClient *>(client)->transferDone(int(msg->data.result));
    }
}

HttpClient::HttpClient(HttpService &service, std::function<void()> done)
    : m_service(service), m_onDone(std::move(done))
{
}

HttpClient::~HttpClient()
{
    dropTransfer();
}

void HttpClient::dropTransfer()
{
    if (m_easy) {
        // Closes the connection now: it is never kept for reuse.
        curl_multi_remove_handle(static_cast<CURLM *>(m_service.m_multi), static_cast<CURL *>(m_easy));
        curl_easy_cleanup(static_cast<CURL *>(m_easy));
        m_easy = nullptr;
    }
}

void HttpClient::abort()
{
    dropTransfer();
    m_body.clear();
    m_contentType.clear();
    m_capped = false;
    m_done = false;
}

bool HttpClient::get(const QString &url)
{
    abort();
    const QByteArray bytes = url.toUtf8();
    if (!curlReady() || !usableUrl(bytes) || !m_service.m_multi)
        return false;
    CURL *easy = curl_easy_init();
    if (!easy)
        return false;
    curl_easy_setopt(easy, CURLOPT_URL, bytes.constData()); // copied by libcurl
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_IPRESOLVE, long(CURL_IPRESOLVE_V4));
    // One fresh connection per try, closed when the try ends.
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    // A device on the LAN is always asked directly, and only once per try.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpClient::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void *>(this));
    if (curl_multi_add_handle(static_cast<CURLM *>(m_service.m_multi), easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        return false;
    }
    m_easy = easy;
    return true;
}

size_t HttpClient::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *client = static_cast<HttpClient *>(self);
    const qint64 bytes = qint64(size * count);
    const qint64 room = kMaxBodyBytes - client->m_body.size();
    client->m_body.append(data, qsizetype(std::min(bytes, room)));
    if (bytes < room)
        return size * count;
    // Enough: a device that sends more gets cut off, and what came counts as the page.
    client->m_capped = true;
    return 0;
}

void HttpClient::transferDone(int result)
{
    TransferEnd end;
    end.transportError = result != CURLE_OK;
    end.capped = m_capped;
    end.received = m_body.size();
    curl_off_t declared = -1;
    curl_easy_getinfo(static_cast<CURL *>(m_easy), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
    end.declaredLength = declared;
    const char *type = nullptr;
    curl_easy_getinfo(static_cast<CURL *>(m_easy), CURLINFO_CONTENT_TYPE, &type);
    m_contentType = type ? QByteArray(type) : QByteArray();
    if (!bodyIsPage(end))
        m_body.clear();
    dropTransfer();
    m_done = true;
    m_onDone();
}

std::optional<QString> HttpClient::responseText() const
{
    if (!m_done)
        return std::nullopt;
    return decodeBody(m_body, m_contentType);
}

} // namespace Pelorin
