#include "HttpClient.h"

#include "HttpBody.h"

#include <QSocketNotifier>
#include <QThread>

#include <curl/curl.h>

namespace Pelorin {

namespace {

// Once per process, whichever thread fetches first (a function-local static
// is initialised exactly once, thread-safely).
bool curlReady()
{
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
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

// The multi handle of this client and the transfer in progress on it, if any.
struct HttpClient::Multi {
    CURLM *multi = curl_multi_init();
    CURL *easy = nullptr;
    ~Multi()
    {
        if (multi)
            curl_multi_cleanup(multi);
    }
};

HttpClient::HttpClient(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

HttpClient::~HttpClient()
{
    // No notifier's signal is running now: they go at once, not later, since
    // this thread's event loop may not run again.
    m_watches.clear();
    dropTransfer();
    m_multi.reset();
}

void HttpClient::dropTransfer()
{
    if (m_multi && m_multi->easy) {
        // Closes the connection now: it is never kept for reuse.
        curl_multi_remove_handle(m_multi->multi, m_multi->easy);
        curl_easy_cleanup(m_multi->easy);
        m_multi->easy = nullptr;
    }
    m_timer.stop();
    while (!m_watches.empty())
        watch(m_watches.begin()->first, CURL_POLL_REMOVE);
}

void HttpClient::abort()
{
    dropTransfer();
    m_url.clear();
    m_body.clear();
    m_contentType.clear();
    m_capped = false;
    m_state = Unsent;
}

bool HttpClient::open(const QString &method, const QString &url)
{
    abort();
    if (method.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0)
        return false;
    const QByteArray bytes = url.toUtf8();
    if (!curlReady() || !usableUrl(bytes))
        return false;
    m_url = bytes;
    m_state = Opened;
    return true;
}

bool HttpClient::send()
{
    Q_ASSERT_X(thread() == QThread::currentThread(), "HttpClient::send", "used off its own thread");
    if (m_state != Opened)
        return false;
    if (!m_multi) {
        m_multi = std::make_unique<Multi>();
        if (!m_multi->multi)
            return false;
        curl_multi_setopt(m_multi->multi, CURLMOPT_SOCKETFUNCTION, &HttpClient::onSocket);
        curl_multi_setopt(m_multi->multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi->multi, CURLMOPT_TIMERFUNCTION, &HttpClient::onTimer);
        curl_multi_setopt(m_multi->multi, CURLMOPT_TIMERDATA, this);
    }
    CURL *easy = curl_easy_init();
    if (!easy)
        return false;
    curl_easy_setopt(easy, CURLOPT_URL, m_url.constData());
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
    if (curl_multi_add_handle(m_multi->multi, easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        return false;
    }
    m_multi->easy = easy;
    m_state = Sent;
    return true;
}

size_t HttpClient::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *client = static_cast<HttpClient *>(self);
    const qint64 bytes = qint64(size * count);
    client->m_state = Receiving;
    const qint64 room = kMaxBodyBytes - client->m_body.size();
    client->m_body.append(data, qsizetype(std::min(bytes, room)));
    if (bytes < room)
        return size * count;
    // Enough: a device that sends more gets cut off, and what came counts as the page.
    client->m_capped = true;
    return 0;
}

int HttpClient::onSocket(void *, int fd, int what, void *self, void *)
{
    static_cast<HttpClient *>(self)->watch(fd, what);
    return 0;
}

int HttpClient::onTimer(void *, long timeoutMs, void *self)
{
    auto *client = static_cast<HttpClient *>(self);
    if (timeoutMs < 0)
        client->m_timer.stop();
    else
        client->m_timer.start(int(std::min<long>(timeoutMs, 0x7fffffff)));
    return 0;
}

void HttpClient::watch(int fd, int what)
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

void HttpClient::act(int fd, int events)
{
    if (!m_multi || !m_multi->easy)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi->multi, fd, events, &running);
    checkDone();
}

void HttpClient::checkDone()
{
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(m_multi->multi, &left)) {
        if (msg->msg != CURLMSG_DONE || msg->easy_handle != m_multi->easy)
            continue;
        TransferEnd end;
        end.transportError = msg->data.result != CURLE_OK;
        end.capped = m_capped;
        end.received = m_body.size();
        curl_off_t declared = -1;
        curl_easy_getinfo(m_multi->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
        end.declaredLength = declared;
        const char *type = nullptr;
        curl_easy_getinfo(m_multi->easy, CURLINFO_CONTENT_TYPE, &type);
        m_contentType = type ? QByteArray(type) : QByteArray();
        if (!bodyIsPage(end))
            m_body.clear();
        dropTransfer();
        m_state = Done;
        emit completed();
        return;
    }
}

std::optional<QString> HttpClient::responseText() const
{
    if (m_state != Done)
        return std::nullopt;
    return decodeBody(m_body, m_contentType);
}

} // namespace Pelorin
