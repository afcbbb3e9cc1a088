// The HTTP client every transfer of the program goes through: one libcurl
// easy handle driven by a private multi handle, so that Disconnect from any
// other thread ends a blocking transfer at once (not at the next time-out).
// The request framework uses one per request; the download workers use one
// each with their own user agent, referer, proxy and buffer size.
#pragma once

#include "log/Exception.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>

// A transfer failed (connection refused, time-out, ...).
SX_DECLARE_EXCEPTION(EHttpError, Exception)
// The connection was closed under the transfer: by Disconnect, or by the
// server before the answer was complete.
SX_DECLARE_EXCEPTION(EHttpConnectionClosed, EHttpError)

// The server answered with an error status (400 and above).
class EHttpProtocolError : public EHttpError {
public:
    [[gnu::noinline]] EHttpProtocolError(int aErrorCode, const QString& aMessage, const QByteArray& aErrorBody)
        : EHttpError(aMessage, __builtin_return_address(0)), FErrorCode(aErrorCode), FErrorBody(aErrorBody) {}
    const char* ClassName() const override { return "EHttpProtocolError"; }
    int ErrorCode() const { return FErrorCode; }
    // The start of the error page the server sent.
    const QByteArray& ErrorBody() const { return FErrorBody; }

private:
    int FErrorCode;
    QByteArray FErrorBody;
};

struct THttpHeader {
    QString Name;
    QString Value;
};

class THttpClient {
public:
    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // Settings for the following transfers. Time-outs in milliseconds; 0 means
    // none. The read time-out fails a transfer that receives nothing for that long.
    int ConnectTimeout = 0;
    int ReadTimeout = 0;
    QString UserAgent; // empty: no User-Agent header
    QString Referer;   // empty: none
    QString ProxyHost; // empty: direct connection
    uint16_t ProxyPort = 0;
    QString ProxyUser; // non-empty: basic proxy authentication
    QString ProxyPassword;
    long BufferSize = 0;      // receive buffer in bytes; 0: libcurl's default
    int64_t RangeStart = -1;  // >= 0: ask for the content from this offset on
    bool RaiseOnHttpError = true; // statuses of 400 and above raise EHttpProtocolError

    // Both time-outs from the Timeout setting (seconds).
    void ApplyTimeoutSetting();
    // The proxy from the proxy settings (nothing when UseProxy is off).
    void ApplyProxySettings();

    // Called on the transferring thread. OnWorkBegin: the final answer's body
    // begins, with its Content-Length (0 when unknown). OnWork: body bytes
    // received so far. Exceptions they raise end the transfer and come out of
    // Get/Post unchanged.
    std::function<void(int64_t aWorkCountMax)> OnWorkBegin;
    std::function<void(int64_t aWorkCount)> OnWork;

    using TSink = std::function<void(const char* aData, int64_t aSize)>;
    void Get(const QString& aUrl, const TSink& aSink);
    QByteArray Get(const QString& aUrl);
    // A form POST (application/x-www-form-urlencoded) of name=value lines.
    void Post(const QString& aUrl, const QStringList& aFields, const TSink& aSink);
    void Head(const QString& aUrl);

    // From any thread: ends the transfer in progress (EHttpConnectionClosed)
    // and every later one until Reconnect.
    void Disconnect();
    void Reconnect();
    bool IsDisconnected() const { return FDisconnected.load(); }

    // The last answer.
    int ResponseCode() const { return FResponseCode; }
    // The status line, for example "HTTP/1.1 200 OK".
    const QString& ResponseText() const { return FResponseText; }
    const QList<THttpHeader>& ResponseHeaders() const { return FResponseHeaders; }
    // The first header of that name (compared without regard to case).
    QString HeaderValue(const QString& aName) const;
    // Content-Length of the answer; -1 when missing.
    int64_t ContentLength() const;
    // Last-Modified of the answer (UTC, whole seconds); invalid when missing.
    QDateTime LastModified() const;
    // Header lines of the last request as sent; recorded only while
    // CaptureRequestHeaders is on (it costs a callback per received chunk).
    const QStringList& RequestHeaderLines() const { return FRequestHeaderLines; }
    bool CaptureRequestHeaders = false;
    QStringList ResponseHeaderLines() const;

private:
    struct TCallbacks;
    void Transfer(const QString& aUrl, int aKind, const QByteArray& aPostBody, const TSink& aSink);

    void* FEasy = nullptr;
    void* FMulti = nullptr;
    std::atomic<bool> FDisconnected{false};
    int FResponseCode = 0;
    QString FResponseText;
    QList<THttpHeader> FResponseHeaders;
    QStringList FRequestHeaderLines;
};

// name=value lines as an HTML form body: names and values percent-encoded as
// 8-bit text of the system's code page, pairs joined by "&".
QByteArray EncodeFormFields(const QStringList& aFields);
// An HTTP date (RFC 1123 and the older forms); invalid when it does not parse.
QDateTime ParseHttpDate(const QString& aText);
