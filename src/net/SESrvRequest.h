// A store action: a form POST to the store's action URL, answered by the
// store's envelope (signature line, MD5 of the body, compression flag, NUL,
// XML body that may be zlib-compressed). The request adds the envelope's
// fields to every run and hands its users a verified, parsed document.
//
// The session builds on it: it sets URL, "ProjectType" and, once it has one,
// "SessionID" when it creates the request, then the action's own fields.
#pragma once

#include "log/LogManager.h"
#include "net/HttpRequest.h"

#include <QByteArray>
#include <memory>

// Inflating a zlib stream failed (the message is zlib's).
SX_DECLARE_EXCEPTION(EZDecompressionError, Exception)

// The 11 bytes every envelope starts with.
inline constexpr char EnvelopeSignature[] = "Sorvelin v1";

class TSESrvRequest : public THttpRequest {
public:
    explicit TSESrvRequest(TRequestCallback aCallbackProc = {});
    ~TSESrvRequest() override;

    // Sets field aName (replacing a line of that name, names compared without
    // regard to case); an empty value removes the field.
    void AddPostParam(const QString& aName, const QString& aValue);
    bool Compress() const { return FCompress; }
    void SetCompress(bool aValue) { FCompress = aValue; }
    // The document of the last successful run.
    pugi::xml_document* XmlResponse() const { return FXmlResponse.get(); }
    // The raw bytes of the last answer, as received.
    QByteArray ResponseBytes() const;
    void CheckSuccessful() override;

protected:
    bool PrepareRequest() override;
    void PrepareResponse() override;
    std::unique_ptr<TStream> CreateResponseStream() override;
    QString GetResponseAsString() override;

private:
    bool FCompress = false;
    std::unique_ptr<pugi::xml_document> FXmlResponse;
};

// Checks an envelope and returns its body, inflated when it says so.
// Raises ELogMngrException "INVALID_FORMAT", "INVALID_MD5" or
// "DECOMPRESS_ERROR" (extra data: the whole answer as text).
QByteArray UnpackEnvelope(const QByteArray& aResponse);
// zlib stream (header, deflate data, Adler-32) to bytes; EZDecompressionError.
QByteArray ZDecompress(const QByteArray& aData);
