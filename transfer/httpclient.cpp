#include "httpclient.h"

#include "httptransfer.h"
#include "systemproxy.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <utility>
#include <mutex>

namespace {

// Big enough that a large file arrives in few pieces, small enough to stay
// well inside the memory bound.
const long kReceiveBuffer = 512 * 1024;

void initializeOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Adds the private CA file to the certificates the system trusts.
CURLcode addCaFile(CURL *, void *context, void *path)
{
    X509_STORE *store = SSL_CTX_get_cert_store(static_cast<SSL_CTX *>(context));
    const char *file = static_cast<const QByteArray *>(path)->constData();
#if OPENSSL_VERSION_MAJOR >= 3
    const int loaded = X509_STORE_load_file(store, file);
#else
    const int loaded = X509_STORE_load_locations(store, file, nullptr);
#endif
    return loaded == 1 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

// Whether the CA bundle the transport loads by default is there to load.
bool systemBundleReadable()
{
    const char *bundle = curl_version_info(CURLVERSION_NOW)->cainfo;
    return bundle && QFileInfo(QFile::decodeName(bundle)).isReadable();
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QObject(parent)
{
    initializeOnce();
    CURLM *multi = curl_multi_init();
    m_multi = multi;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &HttpClient::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &HttpClient::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    // Transfers at once to a server that speaks HTTP/2 share one connection.
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpClient::timeout);
}

HttpClient::~HttpClient()
{
    // Transfers still running are children: they leave the multi handle
    // while it still exists.
    const QList<HttpTransfer *> transfers = findChildren<HttpTransfer *>(QString(), Qt::FindDirectChildrenOnly);
    for (HttpTransfer *transfer : transfers)
        delete transfer;
    for (void *easy : qAsConst(m_idleHandles))
        curl_easy_cleanup(static_cast<CURL *>(easy));
    m_idleHandles.clear();
    curl_multi_cleanup(static_cast<CURLM *>(m_multi));
    m_multi = nullptr;
    for (const Watch &watch : qAsConst(m_watches)) {
        delete watch.read;
        delete watch.write;
    }
}

HttpTransfer *HttpClient::post(const QUrl &url, const QByteArray &contentType, const QByteArray &body,
                               const TransferLimits &limits)
{
    return start(url, contentType, &body, limits);
}

HttpTransfer *HttpClient::get(const QUrl &url, const TransferLimits &limits)
{
    return start(url, QByteArray(), nullptr, limits);
}

HttpTransfer *HttpClient::start(const QUrl &url, const QByteArray &contentType, const QByteArray *body,
                                const TransferLimits &limits)
{
    auto *transfer = new HttpTransfer(this, url);
    CURL *easy = m_idleHandles.isEmpty() ? curl_easy_init() : static_cast<CURL *>(m_idleHandles.takeLast());
    transfer->m_easy = easy;

    const QByteArray address = url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, address.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->m_curlError);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpTransfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpTransfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    // HTTP/2 when the server offers it over TLS; there, a transfer that
    // starts while the connection is still being set up waits to learn
    // whether it can share it rather than opening one of its own. Without
    // TLS that would be known only once the first answer came.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    if (url.scheme() == QLatin1String("https"))
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);

    const long stall = std::max(1, m_options.stallSeconds);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, stall);
    transfer->watchStalls(stall * 1000);
    if (limits.totalMilliseconds > 0)
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(limits.totalMilliseconds));

    const QString proxy = SystemProxy::explicitProxyFor(url);
    if (!proxy.isEmpty())
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.toUtf8().constData());
#ifdef Q_OS_WIN
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_NATIVE_CA));
#endif
    if (!m_options.caFile.isEmpty()) {
        m_caFile = QFile::encodeName(m_options.caFile);
        if (systemBundleReadable()) {
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &addCaFile);
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &m_caFile);
        } else {
            // Without a system bundle the transport refuses to start TLS at
            // all (it cannot load its default file), so the private CA is
            // the bundle: a machine with no system store still trusts it.
            curl_easy_setopt(easy, CURLOPT_CAINFO, m_caFile.constData());
        }
    }

    // The body as sent, never decompressed; no "Expect: 100-continue" wait.
    curl_slist *headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
    headers = curl_slist_append(headers, "Expect:");
    // Written out rather than left to the transport, which asks for ranges
    // on GET only; the update request is a POST.
    if (!limits.range.isEmpty())
        headers = curl_slist_append(headers, ("Range: bytes=" + limits.range).constData());
    if (body) {
        headers = curl_slist_append(headers, ("Content-Type: " + contentType).constData());
        transfer->m_body = *body;
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->m_body.constData());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(transfer->m_body.size()));
    }
    transfer->m_headerList = headers;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

    if (m_dispatching)
        m_starting.append(easy);
    else
        curl_multi_add_handle(static_cast<CURLM *>(m_multi), easy);
    return transfer;
}

void HttpClient::recycle(void *easy)
{
    // As many as transfers may run at once (the updater's --connections).
    if (m_idleHandles.size() >= 16) {
        curl_easy_cleanup(static_cast<CURL *>(easy));
        return;
    }
    curl_easy_reset(static_cast<CURL *>(easy));
    m_idleHandles.append(easy);
}

void HttpClient::cancel(HttpTransfer *transfer)
{
    if (m_starting.removeOne(transfer->m_easy))
        return;
    if (m_multi && transfer->m_easy)
        curl_multi_remove_handle(static_cast<CURLM *>(m_multi), static_cast<CURL *>(transfer->m_easy));
}

int HttpClient::onSocket(void *, int socket, int what, void *self, void *)
{
    auto *client = static_cast<HttpClient *>(self);
    if (what == CURL_POLL_REMOVE) {
        const Watch watch = client->m_watches.take(socket);
        // Possibly inside the notifier's own signal: it goes later.
        for (QSocketNotifier *notifier : {watch.read, watch.write}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        return 0;
    }
    Watch &watch = client->m_watches[socket];
    if (!watch.read) {
        watch.read = new QSocketNotifier(socket, QSocketNotifier::Read, client);
        watch.write = new QSocketNotifier(socket, QSocketNotifier::Write, client);
        connect(watch.read, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)), client,
                SLOT(socketActivated(QSocketDescriptor, QSocketNotifier::Type)));
        connect(watch.write, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)), client,
                SLOT(socketActivated(QSocketDescriptor, QSocketNotifier::Type)));
    }
    watch.read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    watch.write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    return 0;
}

int HttpClient::onTimer(void *, long milliseconds, void *self)
{
    auto *client = static_cast<HttpClient *>(self);
    if (milliseconds < 0)
        client->m_timer.stop();
    else
        client->m_timer.start(int(std::min(milliseconds, 24L * 3600 * 1000)));
    return 0;
}

void HttpClient::socketActivated(QSocketDescriptor socket, QSocketNotifier::Type type)
{
    socketReady(int(socket), type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
}

void HttpClient::socketReady(int socket, int direction)
{
    dispatch(socket, direction);
}

void HttpClient::timeout()
{
    dispatch(CURL_SOCKET_TIMEOUT, 0);
}

void HttpClient::dispatch(int socket, int direction)
{
    int running = 0;
    m_dispatching = true;
    curl_multi_socket_action(static_cast<CURLM *>(m_multi), socket, direction, &running);
    m_dispatching = false;
    // Transfers started or ended from a callback are dealt with now that
    // the transport is free.
    const QList<QPointer<HttpTransfer>> cancelling = std::exchange(m_cancelling, {});
    for (const QPointer<HttpTransfer> &transfer : cancelling) {
        if (transfer && !transfer->isFinished()) {
            cancel(transfer);
            transfer->complete(CURLE_ABORTED_BY_CALLBACK);
        }
    }
    const QList<void *> starting = std::exchange(m_starting, {});
    for (void *easy : starting)
        curl_multi_add_handle(static_cast<CURLM *>(m_multi), static_cast<CURL *>(easy));
    collectFinished();
}

void HttpClient::sendPending()
{
    if (m_dispatching || !m_multi)
        return;
    int running = 0;
    m_dispatching = true;
    curl_multi_socket_action(static_cast<CURLM *>(m_multi), CURL_SOCKET_TIMEOUT, 0, &running);
    m_dispatching = false;
    // What ended, was aborted or started meanwhile is dealt with at the
    // next turn, never inside the caller.
    m_timer.start(0);
}

void HttpClient::collectFinished()
{
    // Gathered first: finishing a transfer may start the next one.
    QList<QPair<QPointer<HttpTransfer>, CURLcode>> done;
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(static_cast<CURLM *>(m_multi), &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        char *owner = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
        done.append(qMakePair(QPointer<HttpTransfer>(reinterpret_cast<HttpTransfer *>(owner)), message->data.result));
    }
    for (const auto &entry : qAsConst(done)) {
        if (!entry.first)
            continue;
        cancel(entry.first);
        entry.first->complete(entry.second);
    }
}
