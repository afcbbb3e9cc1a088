#include "net/SESrvRequest.h"

#include "app/CodePage.h"
#include "net/XmlUtils.h"
#include "settings/Settings.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <zlib.h>

namespace {

// An answer inflating beyond this is refused rather than exhausting memory.
constexpr qsizetype MaxInflatedSize = qsizetype(1) << 30;

const char* const EnvelopeFieldNames[] = {"ProtocolVersion", "CustomContentType", "Language", "Compress"};

int FieldIndex(const QStringList& aFields, const QString& aName)
{
    for (int i = 0; i < aFields.size(); ++i) {
        const QString& line = aFields[i];
        const int eq = line.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? line : line.left(eq);
        if (name.compare(aName, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

QByteArray ZDecompress(const QByteArray& aData)
{
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        throw EZDecompressionError(QStringLiteral("zlib initialisation failed"));
    QByteArray out;
    out.resize(std::max<qsizetype>(4096, aData.size() * 4));
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData.constData()));
    zs.avail_in = uInt(aData.size());
    int rc = Z_OK;
    for (;;) {
        if (zs.total_out == uLong(out.size())) {
            if (out.size() >= MaxInflatedSize) {
                inflateEnd(&zs);
                throw EZDecompressionError(QStringLiteral("inflated data too large"));
            }
            out.resize(std::min(out.size() * 2, MaxInflatedSize));
        }
        zs.next_out = reinterpret_cast<Bytef*>(out.data()) + zs.total_out;
        zs.avail_out = uInt(out.size() - qsizetype(zs.total_out));
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END)
            break;
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) {
            // All input used and no end of stream: cut short.
            inflateEnd(&zs);
            throw EZDecompressionError(QStringLiteral("unexpected end of compressed data"));
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            const QString message = zs.msg ? QString::fromLatin1(zs.msg) : QStringLiteral("inflate error %1").arg(rc);
            inflateEnd(&zs);
            throw EZDecompressionError(message);
        }
    }
    out.resize(qsizetype(zs.total_out));
    inflateEnd(&zs);
    return out;
}

QByteArray UnpackEnvelope(const QByteArray& aResponse)
{
    const auto rawText = [&aResponse] { return AnsiToString(aResponse); };
    if (!aResponse.startsWith(EnvelopeSignature))
        throw ELogMngrException(QStringLiteral("PrepareResponse"), QStringLiteral("INVALID_FORMAT"), rawText());
    const qsizetype nul = aResponse.indexOf('\0');
    if (nul < 0)
        throw ELogMngrException(QStringLiteral("PrepareResponse"), QStringLiteral("INVALID_FORMAT"), rawText());

    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    const QStringList lines = QString::fromLatin1(aResponse.left(nul)).split(lineBreak);
    QString md5;
    bool haveMd5 = false;
    bool compressed = false;
    bool haveCompressed = false;
    // The first line holds the signature; the rest of it is ignored.
    for (int i = 1; i < lines.size(); ++i) {
        const int eq = lines[i].indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString name = lines[i].left(eq);
        const QString value = lines[i].mid(eq + 1);
        if (!haveMd5 && name.compare(QLatin1String("MD5"), Qt::CaseInsensitive) == 0) {
            md5 = value;
            haveMd5 = true;
        } else if (!haveCompressed && name.compare(QLatin1String("COMPRESSED"), Qt::CaseInsensitive) == 0) {
            compressed = value == QLatin1String("1");
            haveCompressed = true;
        }
    }

    QByteArray body = aResponse.mid(nul + 1);
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex());
    if (!haveMd5 || digest.compare(md5, Qt::CaseInsensitive) != 0)
        throw ELogMngrException(QStringLiteral("XmlRequest"), QStringLiteral("INVALID_MD5"), rawText());

    if (compressed) {
        try {
            body = ZDecompress(body);
        } catch (const std::exception&) {
            try {
                HandleException(QStringLiteral("PrepareResponse"));
            } catch (...) {
                // A log that cannot be written must not hide the envelope error.
            }
            throw ELogMngrException(QStringLiteral("XmlRequest"), QStringLiteral("DECOMPRESS_ERROR"), rawText());
        }
    }
    return body;
}

TSESrvRequest::TSESrvRequest(TRequestCallback aCallbackProc) : THttpRequest(std::move(aCallbackProc)) {}

TSESrvRequest::~TSESrvRequest()
{
    Stop();
}

void TSESrvRequest::AddPostParam(const QString& aName, const QString& aValue)
{
    QStringList& fields = Post();
    const int index = FieldIndex(fields, aName);
    if (aValue.isEmpty()) {
        if (index >= 0)
            fields.removeAt(index);
        return;
    }
    const QString line = aName + QLatin1Char('=') + aValue;
    if (index >= 0)
        fields[index] = line;
    else
        fields.append(line);
}

bool TSESrvRequest::PrepareRequest()
{
    // Each run sends every envelope field exactly once, after all the
    // caller's fields: copies from an earlier run are taken out first.
    QStringList& fields = Post();
    for (const char* name : EnvelopeFieldNames)
        for (int index; (index = FieldIndex(fields, QLatin1String(name))) >= 0;)
            fields.removeAt(index);
    fields.append(QStringLiteral("%1=%2").arg(QLatin1String("ProtocolVersion"), QLatin1String("2.0")));
    const QString contentType = SettingsExist() ? Settings().CustomContentType : QString();
    if (!contentType.isEmpty())
        fields.append(QStringLiteral("%1=%2").arg(QLatin1String("CustomContentType"), contentType));
    fields.append(QStringLiteral("%1=%2").arg(QLatin1String("Language"), QLatin1String("EN")));
    fields.append(QStringLiteral("%1=%2").arg(QLatin1String("Compress")).arg(FCompress ? 1 : 0));
    return THttpRequest::PrepareRequest();
}

std::unique_ptr<TStream> TSESrvRequest::CreateResponseStream()
{
    return std::make_unique<TMemoryStream>();
}

void TSESrvRequest::PrepareResponse()
{
    THttpRequest::PrepareResponse();
    const QByteArray response = ResponseBytes();
    const QByteArray body = UnpackEnvelope(response);
    auto doc = xml::LoadXmlDocument(body);
    FXmlResponse = std::move(doc);
}

QByteArray TSESrvRequest::ResponseBytes() const
{
    if (const auto* memory = dynamic_cast<const TMemoryStream*>(ResponseStream()))
        return memory->Data();
    return {};
}

QString TSESrvRequest::GetResponseAsString()
{
    return AnsiToString(ResponseBytes());
}

void TSESrvRequest::CheckSuccessful()
{
    THttpRequest::CheckSuccessful();
    if (!FXmlResponse)
        throw Exception(QStringLiteral("Xml is not assigned!"));
    if (!FXmlResponse->document_element())
        throw Exception(QStringLiteral("Xml DocumentElement is not assigned!"));
}
