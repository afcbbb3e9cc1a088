#include "NetTestSupport.h"

#include "app/CodePage.h"
#include "common/TestUtils.h"
#include "log/LogManager.h"
#include "net/SESrvRequest.h"
#include "net/XmlUtils.h"

#include <QJsonDocument>

#include <mutex>
#include <zlib.h>

namespace {

using testutil::WaitFor;

class SESrvRequestTest : public TNetTest {
protected:
    void SetUp() override
    {
        TNetTest::SetUp();
        LogMngr::Initialize(testutil::HomeDir() + QStringLiteral("/log"));
    }

    void TearDown() override
    {
        LogMngr::SetObjMessageHandler(nullptr);
        TNetTest::TearDown();
    }

    std::unique_ptr<TSESrvRequest> NewRequest(bool aCompress, TRequestCallback aCallback = {})
    {
        auto request = std::make_unique<TSESrvRequest>(std::move(aCallback));
        request->SetURL(Store().ActionUrl(QStringLiteral("echo")));
        request->SetCompress(aCompress);
        request->Post().append(QStringLiteral("ProjectType=SORVELINXWIN"));
        request->AddPostParam(QStringLiteral("probe"), QStringLiteral("Ж"));
        return request;
    }
};

enum TOutcome { oSuccess, oEnvelopeError, oXmlError };

struct TEnvelopeCase {
    const char* Name;
    const char* Faults; // JSON of the store's envelope switches
    bool Compress;      // what the request asks for
    TOutcome Outcome;
    const char* Message = "";
    const char* Source = "";
    const char* Body = ""; // expected text of the root's first field, if any
};

} // namespace

TEST_F(SESrvRequestTest, EnvelopeVariantsOverRealHttp)
{
    const TEnvelopeCase cases[] = {
        {"plain", "{}", false, oSuccess},
        {"compressed", "{}", true, oSuccess},
        {"lower-case header names", R"({"lowercase_names": true})", true, oSuccess},
        {"upper-case digest", R"({"uppercase_digest": true})", true, oSuccess},
        {"NUL inside the compressed body", R"({"nul_in_body": true})", true, oSuccess},
        {"LF line breaks", R"({"line_break": "lf"})", true, oSuccess},
        {"CR line breaks", R"({"line_break": "cr"})", true, oSuccess},
        {"compressed answer to a plain request", R"({"compress": true})", false, oSuccess},
        {"plain answer to a compressed request", R"({"compress": false})", true, oSuccess},
        {"COMPRESSED=true means plain", R"({"compress": false, "compressed_value": "true"})", true, oSuccess},
        {"windows-1251 body", R"({"body": "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r><f>Привет</f></r>", "body_encoding": "windows-1251"})",
         true, oSuccess, "", "", "Привет"},
        {"missing MD5 line", R"({"omit_md5": true})", true, oEnvelopeError, "INVALID_MD5", "XmlRequest"},
        {"wrong MD5", R"({"bad_md5": true})", false, oEnvelopeError, "INVALID_MD5", "XmlRequest"},
        {"bad signature", R"({"bad_signature": true})", false, oEnvelopeError, "INVALID_FORMAT", "PrepareResponse"},
        {"shorter than 11 bytes", R"({"short_response": true})", false, oEnvelopeError, "INVALID_FORMAT", "PrepareResponse"},
        {"not an envelope", R"({"raw_response": "Hello"})", false, oEnvelopeError, "INVALID_FORMAT", "PrepareResponse"},
        {"no NUL", R"({"no_nul": true})", false, oEnvelopeError, "INVALID_FORMAT", "PrepareResponse"},
        {"broken zlib checksum", R"({"bad_zlib": "trailer"})", true, oEnvelopeError, "DECOMPRESS_ERROR", "XmlRequest"},
        {"broken zlib header", R"({"bad_zlib": "header"})", true, oEnvelopeError, "DECOMPRESS_ERROR", "XmlRequest"},
        {"zlib stream cut short", R"({"bad_zlib": "truncate"})", true, oEnvelopeError, "DECOMPRESS_ERROR", "XmlRequest"},
        {"empty body", R"({"empty_body": true})", false, oXmlError},
    };

    std::mutex logLock;
    QList<TMessageRec> logged;
    LogMngr::SetObjMessageHandler([&](const TMessageRec& aRec) {
        std::lock_guard<std::mutex> lock(logLock);
        logged.append(aRec);
    });

    for (const TEnvelopeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Store().Reset();
        Store().Control(QByteArray(R"({"envelope": )") + c.Faults + "}");
        {
            std::lock_guard<std::mutex> lock(logLock);
            logged.clear();
        }
        auto request = NewRequest(c.Compress);
        try {
            request->Perform();
            ASSERT_EQ(c.Outcome, oSuccess) << "no error";
            request->CheckSuccessful();
            const pugi::xml_node root = request->XmlResponse()->document_element();
            if (*c.Body) {
                EXPECT_EQ(xml::ChildText(root, "f"), QString::fromUtf8(c.Body));
            } else {
                EXPECT_EQ(QString::fromUtf8(root.name()), QStringLiteral("echo"));
                EXPECT_EQ(xml::Attr(root.child("field"), "name"), QStringLiteral("ProjectType"));
                EXPECT_EQ(xml::Text(root.find_child_by_attribute("field", "name", "probe")), QStringLiteral("Ж"));
            }
        } catch (const ELogMngrException& e) {
            ASSERT_EQ(c.Outcome, oEnvelopeError) << e.Message().toStdString();
            EXPECT_EQ(e.Message(), QLatin1String(c.Message));
            EXPECT_EQ(e.Source(), QLatin1String(c.Source));
            EXPECT_FALSE(request->ResponseBytes().isEmpty());
            EXPECT_EQ(e.ExtraData(), AnsiToString(request->ResponseBytes()));
            EXPECT_EQ(request->State(), hrsError);
        } catch (const EXmlError& e) {
            ASSERT_EQ(c.Outcome, oXmlError) << e.Message().toStdString();
            EXPECT_EQ(request->State(), hrsError);
        }
        const QByteArray raw = request->ResponseBytes();
        if (QLatin1String(c.Name) == QLatin1String("NUL inside the compressed body")) {
            EXPECT_GE(raw.indexOf('\0', raw.indexOf('\0') + 1), 0);
        }
        if (QLatin1String(c.Name) == QLatin1String("not an envelope")) {
            EXPECT_EQ(raw, QByteArray("Hello"));
        }
        if (QLatin1String(c.Message) == QLatin1String("DECOMPRESS_ERROR")) {
            // The inflater's own error is logged first.
            std::lock_guard<std::mutex> lock(logLock);
            ASSERT_EQ(logged.size(), 1);
            EXPECT_EQ(logged[0].Source, QStringLiteral("PrepareResponse"));
            EXPECT_EQ(logged[0].MsgType, lmtError);
            EXPECT_TRUE(logged[0].SystemData.startsWith(QStringLiteral("EZDecompressionError")));
        }
    }
}

TEST_F(SESrvRequestTest, EnvelopeFieldsFollowTheCallersFieldsExactlyOncePerRun)
{
    Settings().CustomContentType = QStringLiteral("text/xml");
    auto request = NewRequest(true);
    request->AddPostParam(QStringLiteral("SessionID"), QStringLiteral("abc"));
    request->Perform();
    request->AddPostParam(QStringLiteral("lastrequest"), QStringLiteral("0"));
    request->Perform();
    Settings().CustomContentType.clear();
    request->SetCompress(false);
    request->Perform();

    using TFields = QList<QPair<QString, QString>>;
    const TFields caller = {{QStringLiteral("ProjectType"), QStringLiteral("SORVELINXWIN")},
                            {QStringLiteral("probe"), QStringLiteral("Ж")},
                            {QStringLiteral("SessionID"), QStringLiteral("abc")}};
    const auto envelope = [](bool aContentType, const char* aCompress) {
        TFields f = {{QStringLiteral("ProtocolVersion"), QStringLiteral("2.0")}};
        if (aContentType)
            f.append({QStringLiteral("CustomContentType"), QStringLiteral("text/xml")});
        f.append({QStringLiteral("Language"), QStringLiteral("EN")});
        f.append({QStringLiteral("Compress"), QLatin1String(aCompress)});
        return f;
    };
    const TFields lastRequest = {{QStringLiteral("lastrequest"), QStringLiteral("0")}};
    const QJsonArray seen = RequestsTo(QStringLiteral("/sorvelin/interface.html"));
    ASSERT_EQ(seen.size(), 3);
    EXPECT_EQ(FieldsOf(seen[0]), caller + envelope(true, "1"));
    EXPECT_EQ(FieldsOf(seen[1]), caller + lastRequest + envelope(true, "1"));
    EXPECT_EQ(FieldsOf(seen[2]), caller + lastRequest + envelope(false, "0"));
    EXPECT_EQ(seen[0].toObject().value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
    EXPECT_EQ(seen[0].toObject().value(QStringLiteral("action")).toString(), QStringLiteral("echo"));
}

TEST_F(SESrvRequestTest, AddPostParamReplacesByNameAndEmptyValueRemoves)
{
    TSESrvRequest request;
    request.AddPostParam(QStringLiteral("a"), QStringLiteral("1"));
    request.AddPostParam(QStringLiteral("b"), QStringLiteral("2"));
    request.AddPostParam(QStringLiteral("A"), QStringLiteral("3"));
    EXPECT_EQ(request.Post(), (QStringList{QStringLiteral("A=3"), QStringLiteral("b=2")}));
    request.AddPostParam(QStringLiteral("b"), QString());
    EXPECT_EQ(request.Post(), QStringList{QStringLiteral("A=3")});
}

TEST_F(SESrvRequestTest, AsyncFailureReachesCheckSuccessfulAndKeepsTheLastGoodDocument)
{
    int calls = 0;
    auto request = NewRequest(true, [&](THttpRequest*) { ++calls; });
    request->Start();
    ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
    request->CheckSuccessful();
    const pugi::xml_document* good = request->XmlResponse();
    ASSERT_TRUE(good);

    Store().Control(QByteArray(R"({"envelope": {"bad_md5": true}})"));
    request->Start();
    ASSERT_TRUE(WaitFor([&] { return calls == 2; }));
    try {
        request->CheckSuccessful();
        ADD_FAILURE() << "CheckSuccessful passed";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "Exception");
        EXPECT_EQ(e.Message(), QStringLiteral("INVALID_MD5"));
    }
    EXPECT_EQ(request->XmlResponse(), good);
}

TEST(ZDecompress, InflatesLargeOutputAndRejectsTrailingTruncation)
{
    QByteArray plain;
    for (int i = 0; i < 200000; ++i)
        plain += char('a' + i % 7);
    uLongf size = compressBound(uLong(plain.size()));
    QByteArray packed(qsizetype(size), '\0');
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &size,
                       reinterpret_cast<const Bytef*>(plain.constData()), uLong(plain.size())),
              Z_OK);
    packed.resize(qsizetype(size));
    EXPECT_EQ(ZDecompress(packed), plain);
    EXPECT_THROW(ZDecompress(packed.left(packed.size() - 1)), EZDecompressionError);
    EXPECT_THROW(ZDecompress(QByteArray()), EZDecompressionError);
}
