#include "net/HttpClient.h"

#include "app/CodePage.h"
#include "settings/Settings.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>

namespace {

enum TTransferKind { tkGet, tkPost, tkHead };

// Error pages are kept only up to this size.
constexpr qsizetype MaxErrorBody = 64 * 1024;
// How often the transfer loop looks at the cancel flag and the read time-out
// when nothing happens; Disconnect also wakes it at once.
constexpr int PollIntervalMs = 100;

using TClock = std::chrono::steady_clock;

void EnsureCurlInitialized()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURL* Easy(void* aHandle)
{
    return static_cast<CURL*>(aHandle);
}

CURLM* Multi(void* aHandle)
{
    return static_cast<CURLM*>(aHandle);
}

QString HeaderValueOf(const QList<THttpHeader>& aHeaders, const QString& aName)
{
    for (const THttpHeader& h : aHeaders)
        if (h.Name.compare(aName, Qt::CaseInsensitive) == 0)
            return h.Value;
    return {};
}

int64_t ContentLengthOf(const QList<THttpHeader>& aHeaders)
{
    const QString text = HeaderValueOf(aHeaders, QStringLiteral("Content-Length")).trimmed();
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    return ok && value >= 0 ? int64_t(value) : -1;
}

} // namespace

struct THttpClient::TCallbacks {
    THttpClient* Client = nullptr;
    const TSink* Sink = nullptr;
    bool IsHead = false;
    std::exception_ptr Error;
    bool WorkBegun = false;
    int64_t Received = 0;
    TClock::time_point LastActivity = TClock::now();
    QByteArray ErrorBody;
    char ErrorBuffer[CURL_ERROR_SIZE] = {};

    bool ErrorStatus() const { return Client->RaiseOnHttpError && Client->FResponseCode >= 400; }

    static size_t OnHeader(char* aData, size_t aSize, size_t aCount, void* aUser)
    {
        auto* self = static_cast<TCallbacks*>(aUser);
        const size_t total = aSize * aCount;
        self->LastActivity = TClock::now();
        const QString line = QString::fromLatin1(aData, qsizetype(total)).trimmed();
        if (line.startsWith(QLatin1String("HTTP/"))) {
            // A new answer (after a redirect or an interim status): start over.
            THttpClient* client = self->Client;
            client->FResponseText = line;
            client->FResponseHeaders.clear();
            const QStringList parts = line.split(QLatin1Char(' '));
            client->FResponseCode = parts.size() > 1 ? parts[1].toInt() : 0;
        } else if (const int colon = line.indexOf(QLatin1Char(':')); colon > 0) {
            self->Client->FResponseHeaders.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        return total;
    }

    static size_t OnWrite(char* aData, size_t aSize, size_t aCount, void* aUser)
    {
        auto* self = static_cast<TCallbacks*>(aUser);
        const size_t total = aSize * aCount;
        self->LastActivity = TClock::now();
        if (self->Error)
            return 0;
        if (self->ErrorStatus()) {
            const qsizetype room = MaxErrorBody - self->ErrorBody.size();
            if (room > 0)
                self->ErrorBody.append(aData, std::min<qsizetype>(room, qsizetype(total)));
            return total;
        }
        try {
            self->BeginWork();
            if (*self->Sink)
                (*self->Sink)(aData, int64_t(total));
            self->Received += int64_t(total);
            if (self->Client->OnWork)
                self->Client->OnWork(self->Received);
        } catch (...) {
            self->Error = std::current_exception();
            return 0;
        }
        return total;
    }

    static int OnProgress(void* aUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        auto* self = static_cast<TCallbacks*>(aUser);
        return self->Client->FDisconnected.load() || self->Error ? 1 : 0;
    }

    static int OnDebug(CURL*, curl_infotype aType, char* aData, size_t aSize, void* aUser)
    {
        if (aType != CURLINFO_HEADER_OUT)
            return 0;
        auto* self = static_cast<TCallbacks*>(aUser);
        const QString text = QString::fromLatin1(aData, qsizetype(aSize));
        for (const QString& line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            self->Client->FRequestHeaderLines.append(line);
        return 0;
    }

    void BeginWork()
    {
        if (WorkBegun)
            return;
        WorkBegun = true;
        if (Client->OnWorkBegin)
            Client->OnWorkBegin(std::max<int64_t>(0, Client->ContentLength()));
    }
};

THttpClient::THttpClient()
{
    EnsureCurlInitialized();
    FEasy = curl_easy_init();
    FMulti = curl_multi_init();
    if (!FEasy || !FMulti)
        throw EHttpError(QStringLiteral("Cannot create the HTTP client"));
}

THttpClient::~THttpClient()
{
    if (FEasy)
        curl_easy_cleanup(Easy(FEasy));
    if (FMulti)
        curl_multi_cleanup(Multi(FMulti));
}

void THttpClient::ApplyTimeoutSetting()
{
    const int ms = int(Settings().Timeout) * 1000;
    ConnectTimeout = ms;
    ReadTimeout = ms;
}

void THttpClient::ApplyProxySettings()
{
    const TSettings& s = Settings();
    ProxyHost.clear();
    ProxyPort = 0;
    ProxyUser.clear();
    ProxyPassword.clear();
    if (!s.UseProxy)
        return;
    ProxyHost = s.ProxyServer;
    ProxyPort = s.ProxyPort;
    if (s.UseProxyLogin) {
        ProxyUser = s.ProxyLogin;
        ProxyPassword = s.ProxyPassword;
    }
}

void THttpClient::Disconnect()
{
    FDisconnected.store(true);
    curl_multi_wakeup(Multi(FMulti));
}

void THttpClient::Reconnect()
{
    FDisconnected.store(false);
}

QByteArray THttpClient::Get(const QString& aUrl)
{
    QByteArray result;
    Get(aUrl, [&result](const char* aData, int64_t aSize) { result.append(aData, qsizetype(aSize)); });
    return result;
}

void THttpClient::Get(const QString& aUrl, const TSink& aSink)
{
    Transfer(aUrl, tkGet, {}, aSink);
}

void THttpClient::Post(const QString& aUrl, const QStringList& aFields, const TSink& aSink)
{
    Transfer(aUrl, tkPost, EncodeFormFields(aFields), aSink);
}

void THttpClient::Head(const QString& aUrl)
{
    Transfer(aUrl, tkHead, {}, TSink());
}

void THttpClient::Transfer(const QString& aUrl, int aKind, const QByteArray& aPostBody, const TSink& aSink)
{
    CURL* easy = Easy(FEasy);
    CURLM* multi = Multi(FMulti);
    FResponseCode = 0;
    FResponseText.clear();
    FResponseHeaders.clear();
    FRequestHeaderLines.clear();

    TCallbacks cb;
    cb.Client = this;
    cb.Sink = &aSink;
    cb.IsHead = aKind == tkHead;

    curl_easy_reset(easy);
    const QByteArray url = aUrl.toUtf8();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, cb.ErrorBuffer);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TCallbacks::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &cb);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TCallbacks::OnWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &cb);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &TCallbacks::OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &cb);
    if (CaptureRequestHeaders) {
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &TCallbacks::OnDebug);
        curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &cb);
    }
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(0, ConnectTimeout)));

    // An explicit empty proxy keeps the environment's proxy variables out.
    const QByteArray proxy = ProxyHost.isEmpty() ? QByteArray("")
                                                 : (ProxyHost + QLatin1Char(':') + QString::number(ProxyPort)).toUtf8();
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    const QByteArray proxyUser = StringToAnsi(ProxyUser);
    const QByteArray proxyPassword = StringToAnsi(ProxyPassword);
    if (!ProxyHost.isEmpty() && !ProxyUser.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH, long(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxyUser.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxyPassword.constData());
    }
    const QByteArray userAgent = StringToAnsi(UserAgent);
    if (!UserAgent.isEmpty())
        curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.constData());
    const QByteArray referer = StringToAnsi(Referer);
    if (!Referer.isEmpty())
        curl_easy_setopt(easy, CURLOPT_REFERER, referer.constData());
    if (BufferSize > 0)
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, BufferSize);
    if (RangeStart > 0 && aKind == tkGet)
        curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t(RangeStart));

    // No "Expect: 100-continue" round trip for form posts.
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    switch (aKind) {
    case tkPost:
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(aPostBody.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, aPostBody.constData());
        break;
    case tkHead: curl_easy_setopt(easy, CURLOPT_NOBODY, 1L); break;
    default: curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L); break;
    }

    curl_multi_add_handle(multi, easy);
    struct TCleanup {
        CURLM* Multi;
        CURL* Easy;
        curl_slist* Headers;
        ~TCleanup()
        {
            curl_multi_remove_handle(Multi, Easy);
            curl_slist_free_all(Headers);
        }
    } cleanup{multi, easy, headers};

    bool disconnected = false;
    bool timedOut = false;
    bool requestSent = false;
    CURLcode result = CURLE_OK;
    for (;;) {
        if (FDisconnected.load()) {
            disconnected = true;
            break;
        }
        int running = 0;
        const CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            cb.Error = std::make_exception_ptr(EHttpError(QString::fromUtf8(curl_multi_strerror(mc))));
            break;
        }
        if (!running) {
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left))
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy)
                    result = msg->data.result;
            break;
        }
        // The read time-out counts from the moment the request is out.
        if (!requestSent) {
            long sent = 0;
            curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &sent);
            if (sent > 0) {
                requestSent = true;
                cb.LastActivity = TClock::now();
            }
        } else if (ReadTimeout > 0 &&
                   TClock::now() - cb.LastActivity > std::chrono::milliseconds(ReadTimeout)) {
            timedOut = true;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, PollIntervalMs, nullptr);
    }

    if (cb.Error)
        std::rethrow_exception(cb.Error);
    if (disconnected || (result == CURLE_ABORTED_BY_CALLBACK && FDisconnected.load()))
        throw EHttpConnectionClosed(QStringLiteral("Connection closed gracefully."));
    if (timedOut)
        throw EHttpError(QStringLiteral("Read timed out."));
    if (result != CURLE_OK) {
        const QString text = cb.ErrorBuffer[0] ? QString::fromUtf8(cb.ErrorBuffer)
                                               : QString::fromUtf8(curl_easy_strerror(result));
        switch (result) {
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            throw EHttpConnectionClosed(text);
        default:
            throw EHttpError(text);
        }
    }
    if (cb.ErrorStatus())
        throw EHttpProtocolError(FResponseCode, FResponseText, cb.ErrorBody);
    if (!cb.IsHead)
        cb.BeginWork(); // an empty body still begins (and ends) its work
}

QString THttpClient::HeaderValue(const QString& aName) const
{
    return HeaderValueOf(FResponseHeaders, aName);
}

int64_t THttpClient::ContentLength() const
{
    return ContentLengthOf(FResponseHeaders);
}

QDateTime THttpClient::LastModified() const
{
    return ParseHttpDate(HeaderValue(QStringLiteral("Last-Modified")));
}

QStringList THttpClient::ResponseHeaderLines() const
{
    QStringList lines;
    for (const THttpHeader& h : FResponseHeaders)
        lines.append(h.Name + QStringLiteral(": ") + h.Value);
    return lines;
}

QByteArray EncodeFormFields(const QStringList& aFields)
{
    QByteArray body;
    for (const QString& line : aFields) {
        if (!body.isEmpty())
            body += '&';
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) {
            body += StringToAnsi(line).toPercentEncoding();
            continue;
        }
        body += StringToAnsi(line.left(eq)).toPercentEncoding();
        body += '=';
        body += StringToAnsi(line.mid(eq + 1)).toPercentEncoding();
    }
    return body;
}

QDateTime ParseHttpDate(const QString& aText)
{
    const QByteArray text = aText.trimmed().toLatin1();
    if (text.isEmpty())
        return {};
    const time_t t = curl_getdate(text.constData(), nullptr);
    if (t == time_t(-1))
        return {};
    return QDateTime::fromSecsSinceEpoch(qint64(t), Qt::UTC);
}
