// The block protocol over real HTTP against the demo store's file server: the
// URL, the answer checks in their order with their messages, the error
// mapping; and the decoding of a finished file.
#include "EngineFixture.h"

#include "app/CodePage.h"
#include "net/HttpClient.h"
#include "net/KeyPair.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace enginetest;

namespace {

constexpr int32_t FileSize = 250000; // blocks of 102400, 102400 and 45200 bytes

struct AnswerCase {
    const char* Name;
    QString Mode;                    // the file server's answer mode; empty: a good answer
    int32_t Block;
    std::optional<QString> Message;  // the error; none: the block comes back
    QString ErrorClass = QStringLiteral("ELogMngrException");
    QString ErrorSource;             // of an ELogMngrException
    bool LogsDownloadedBytes = false; // "Downloaded %d bytes" (information) before the error
};

QString ErrorSource(const std::exception_ptr& aError)
{
    try {
        std::rethrow_exception(aError);
    } catch (const ELogMngrException& e) {
        return e.Source();
    } catch (...) {
        return QString();
    }
}

class BlockProtocol : public EngineFixture {
public:
    // The stored (XORed) bytes of a file, as the server sends them.
    QByteArray Stored(int32_t aID)
    {
        QByteArray data = Plain(aID);
        const QByteArray key = Key(aID).toLatin1();
        XORBuffer(data.data(), data.size(), 0, 64, key.constData());
        return data;
    }

    // Fetches with a client set up as a worker sets up its own.
    QByteArray Fetch(int32_t aID, uint32_t aSize, int32_t aBlock, std::exception_ptr& aError,
                     const QString& aSession = SessionId)
    {
        THttpClient http;
        http.ApplyTimeoutSetting();
        http.BufferSize = HTTP_BLOCK_SIZE;
        http.UserAgent = QLatin1String(DownloadClientName);
        http.Referer = QLatin1String(DownloadClientName);
        try {
            return FetchBlock(http, QStringLiteral("127.0.0.1:%1").arg(Store().Port()), aID, aSize, aBlock, aSession);
        } catch (...) {
            aError = std::current_exception();
        }
        return {};
    }
};

} // namespace

TEST_F(BlockProtocol, AnswersAreCheckedInOrderWithTheirMessages)
{
    const QString lengthSource = QStringLiteral("TFileDownloadThread.Execute");
    const QString md5Source = QStringLiteral("TFileDownloadThread.PerformContentMD5");
    const std::vector<AnswerCase> cases = {
        {"last block of 250000 bytes", "", 2, std::nullopt, "ELogMngrException", "", false},
        {"first block", "", 0, std::nullopt, "ELogMngrException", "", false},
        {"upper-case trailer", "upper_md5", 2, std::nullopt, "ELogMngrException", "", false},
        {"no trailer at all", "no_trailer", 2,
         QStringLiteral("Invalid content length 45200 (45200 declared, 45250 expected): OK"), "ELogMngrException",
         lengthSource, true},
        {"trailer without its begin marker", "no_begin", 2, QStringLiteral("MD5Missed"), "ELogMngrException",
         md5Source, true},
        {"trailer without its end marker", "no_end", 2, QStringLiteral("MD5Missed"), "ELogMngrException", md5Source,
         true},
        {"body one byte short", "short_body", 2,
         QStringLiteral("Invalid content length 45249 (45249 declared, 45250 expected): OK"), "ELogMngrException",
         lengthSource, true},
        {"data one byte short, trailer, one byte more", "short_data", 2,
         QStringLiteral("Downloaded file part size does not match expected value!"), "ELogMngrException",
         lengthSource, true},
        {"403", "forbidden", 1, QStringLiteral("TooManyThreads"), "Exception", "", false},
        {"connection dropped mid-body", "drop", 1, std::nullopt, "EHttpConnectionClosed", "", false},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.Name);
        FStore->Reset();
        Store().Control(QJsonObject{{"fileserver", QJsonObject{{"sessions", QJsonArray{SessionId}}}}});
        ServeFile(17, FileSize, c.Mode.isEmpty() ? QJsonObject{} : QJsonObject{{"mode", c.Mode}});
        {
            std::lock_guard<std::mutex> lock(FLogLock);
            FLog.clear();
        }
        std::exception_ptr error;
        const QByteArray data = Fetch(17, FileSize, c.Block, error);

        // The range is in the path: S to E inclusive, the last block up to the last byte.
        const std::vector<TServedBlock> served = Served(17);
        ASSERT_EQ(served.size(), 1u);
        const int64_t start = int64_t(c.Block) * FILE_BLOCK_SIZE;
        const int64_t end = std::min<int64_t>(start + FILE_BLOCK_SIZE, FileSize) - 1;
        EXPECT_EQ(served[0].Start, start);
        EXPECT_EQ(served[0].End, end);

        const bool downloadedLogged = LoggedMessage(QStringLiteral("TDownloadThread"),
                                                    QStringLiteral("Downloaded %1 bytes").arg(
                                                        c.Mode == "no_trailer" ? 45200 : c.Mode == "short_body" ? 45249 : 45250));
        EXPECT_EQ(downloadedLogged, c.LogsDownloadedBytes);
        if (!c.Message && c.ErrorClass == QStringLiteral("ELogMngrException")) {
            ASSERT_FALSE(error);
            EXPECT_EQ(data, Stored(17).mid(start, end - start + 1));
            continue;
        }
        ASSERT_TRUE(error);
        try {
            std::rethrow_exception(error);
        } catch (const Exception& e) {
            EXPECT_EQ(QString::fromLatin1(e.ClassName()), c.ErrorClass);
            if (c.Message) {
                EXPECT_EQ(e.Message(), *c.Message);
            }
        }
        if (!c.ErrorSource.isEmpty()) {
            EXPECT_EQ(ErrorSource(error), c.ErrorSource);
        }
    }
}

TEST_F(BlockProtocol, AWrongSumNamesBothSums)
{
    ServeFile(18, FileSize, QJsonObject{{"mode", "bad_md5"}});
    std::exception_ptr error;
    Fetch(18, FileSize, 0, error);
    ASSERT_TRUE(error);
    const QByteArray block = Stored(18).left(FILE_BLOCK_SIZE);
    const QString calc = QString::fromLatin1(QCryptographicHash::hash(block, QCryptographicHash::Md5).toHex());
    try {
        std::rethrow_exception(error);
    } catch (const ELogMngrException& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("InvalidBlockCRC: Recv: "))) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("; Calc: ") + calc)) << e.Message().toStdString();
        EXPECT_EQ(e.Source(), QStringLiteral("TFileDownloadThread.PerformContentMD5"));
        // The body comes with the error for the log.
        EXPECT_EQ(e.ExtraData().size(), FILE_BLOCK_SIZE + 50);
    }
}

TEST_F(BlockProtocol, ASecondTrailerInsideTheDataIsPartOfTheData)
{
    // Stored bytes of block 0 with a complete trailer in their middle: the
    // content file is made so that its stored form carries it.
    const int32_t id = 19;
    ServeFile(id, 1000); // only to learn the key
    const QByteArray key = Key(id).toLatin1();
    QByteArray stored(150000, '\0');
    for (char& c : stored)
        c = char(QRandomGenerator::global()->bounded(256));
    const QByteArray fake = QByteArray("#CRCBEGIN#") + QByteArray(32, 'a') + QByteArray("#CRCEND#");
    stored.replace(50000, fake.size(), fake);
    stored.replace(FILE_BLOCK_SIZE - 60, fake.size(), fake); // just before the real trailer too
    QByteArray plain = stored;
    XORBuffer(plain.data(), plain.size(), 0, 64, key.constData());
    const QString content = FTemp.path() + QStringLiteral("/content.bin");
    testutil::WriteFile(content, plain);
    Store().Control(QJsonObject{
        {"fileserver", QJsonObject{{"files", QJsonObject{{QString::number(id), QJsonObject{{"content", content}}}}}}}});

    std::exception_ptr error;
    const QByteArray data = Fetch(id, uint32_t(stored.size()), 0, error);
    ASSERT_FALSE(error);
    EXPECT_EQ(data, stored.left(FILE_BLOCK_SIZE));
}

TEST_F(BlockProtocol, ErrorStatusesPassUnchangedAndTheUrlCarriesTheSession)
{
    ServeFile(20, FileSize);
    std::exception_ptr error;
    Fetch(20, FileSize, 0, error, QStringLiteral("SOMEONE-ELSE"));
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const EHttpProtocolError& e) {
        EXPECT_EQ(e.ErrorCode(), 401);
    }

    // file<random>|<id>|<S>-<E>|QVX|1.4|<session>
    EXPECT_EQ(BuildBlockUrl(QStringLiteral("10.0.0.1:8080"), 17, 204800, 249999, QStringLiteral("abc"), 42),
              QStringLiteral("10.0.0.1:8080/file42|17|204800-249999|QVX|1.4|abc"));
    const QJsonArray requests = Store().Requests();
    ASSERT_FALSE(requests.isEmpty());
    const QJsonObject request = requests.last().toObject();
    EXPECT_TRUE(request["path"].toString().endsWith(QStringLiteral("|20|0-102399|QVX|1.4|SOMEONE-ELSE")))
        << request["path"].toString().toStdString();
    const QJsonObject headers = request["headers"].toObject();
    EXPECT_EQ(headers["user-agent"].toString(), QStringLiteral("SorvelinX 1.4"));
    EXPECT_EQ(headers["referer"].toString(), QStringLiteral("SorvelinX 1.4"));
    EXPECT_FALSE(headers.contains(QStringLiteral("range")));
}

TEST(ContentMD5, TheLastBeginMarkerCountsAndPositionZeroIsNotTried)
{
    const QByteArray data("hello");
    const QByteArray sum = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    QByteArray body = data + "#CRCBEGIN#" + sum.toUpper() + "#CRCEND#";
    PerformContentMD5(body);
    EXPECT_EQ(body, data);

    // A body that is nothing but a trailer has its marker at position 0.
    QByteArray onlyTrailer = QByteArray("#CRCBEGIN#") + QCryptographicHash::hash("", QCryptographicHash::Md5).toHex() +
                             "#CRCEND#";
    try {
        PerformContentMD5(onlyTrailer);
        ADD_FAILURE() << "no error";
    } catch (const ELogMngrException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("MD5Missed"));
    }
}

TEST(Decoding, StreamedDecodingEqualsTheSixtyFourBytePieceDefinition)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString source = dir.path() + QStringLiteral("/file.downloading");
    const QString target = dir.path() + QStringLiteral("/file");
    QRandomGenerator random(7);
    // Keys: plain hex; one with non-ASCII characters (its 8-bit text is
    // longer than 64 bytes); one shorter than a piece.
    const QStringList keys = {
        QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789ABCDEF"),
        QStringLiteral("äöü") + QString(61, QLatin1Char('k')),
        QStringLiteral("short key"),
    };
    for (const int64_t size : {int64_t(0), int64_t(1), int64_t(63), int64_t(64), int64_t(65), int64_t(1 << 20),
                               int64_t(3 * (1 << 20) + 17)}) {
        QByteArray data(qsizetype(size), '\0');
        for (char& c : data)
            c = char(random.bounded(256));
        testutil::WriteFile(source, data);
        for (const QString& key : keys) {
            SCOPED_TRACE(QStringLiteral("size %1, key %2").arg(size).arg(key).toStdString());
            WriteDecodedFile(source, target, FileKeyPattern(key), {}, true);
            QByteArray expected;
            const QByteArray key8 = StringToAnsi(key);
            for (qsizetype pos = 0; pos < data.size(); pos += 64)
                expected += XORString(data.mid(pos, 64), key8);
            ASSERT_EQ(testutil::ReadFile(target), expected);
        }
    }
    EXPECT_THROW(FileKeyPattern(QString()), Exception);
}

TEST(Decoding, TagKindsFollowTheExtensionAndTheSettings)
{
    SettingsModule::Start();
    Settings().TagMp3Type = ttID3V1;
    Settings().TagFlacType = ttNone;
    struct Case {
        const char* Ext;
        bool Known;
        TFileFormat Format;
        TTagType Type;
    };
    const Case cases[] = {
        {".mp3", true, ffMp3, ttID3V1}, {".MP3", true, ffMp3, ttID3V1},      {".Wma", true, ffWma, Settings().TagWmaType},
        {".ogg", true, ffOgg, Settings().TagOggType}, {".mpc", true, ffMpc, Settings().TagMpcType},
        {".flac", true, ffFlac, ttNone}, {".ape", false, ffUnknown, ttNone}, {".mp4", false, ffUnknown, ttNone},
        {"", false, ffUnknown, ttNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Ext);
        TFileFormat format = ffUnknown;
        TTagType type = ttNone;
        EXPECT_EQ(TagKindForExtension(QString::fromLatin1(c.Ext), Settings(), format, type), c.Known);
        if (c.Known) {
            EXPECT_EQ(format, c.Format);
            EXPECT_EQ(type, c.Type);
        }
    }
    SettingsModule::Stop();
}
