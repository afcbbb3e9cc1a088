#include "common/TestUtils.h"
#include "net/KeyPair.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <openssl/bn.h>

namespace {

QByteArray Hex(const char* aHex)
{
    return QByteArray::fromHex(aHex);
}

// Raw RSA of a 16-byte block (given least significant byte first) with a key
// text: builds cipher texts that decode to chosen blocks.
QByteArray RawRsaBase64(const QByteArray& aBlock, const QString& aKeyText)
{
    const QByteArray n = ReadKeyNumber(aKeyText, 0);
    const QByteArray e = ReadKeyNumber(aKeyText, 1);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* bn = BN_lebin2bn(reinterpret_cast<const unsigned char*>(n.constData()), int(n.size()), nullptr);
    BIGNUM* be = BN_lebin2bn(reinterpret_cast<const unsigned char*>(e.constData()), int(e.size()), nullptr);
    BIGNUM* bm = BN_lebin2bn(reinterpret_cast<const unsigned char*>(aBlock.constData()), int(aBlock.size()), nullptr);
    BIGNUM* bc = BN_new();
    BN_mod_exp(bc, bm, be, bn, ctx);
    QByteArray c(16, '\0');
    BN_bn2lebinpad(bc, reinterpret_cast<unsigned char*>(c.data()), 16);
    BN_free(bn);
    BN_free(be);
    BN_free(bm);
    BN_free(bc);
    BN_CTX_free(ctx);
    return c.toBase64();
}

QString DecryptError(const QByteArray& aCipher, const QString& aKey)
{
    try {
        DecryptString(aCipher, aKey);
    } catch (const ERSAError& e) {
        return e.Message();
    }
    return QStringLiteral("no error");
}

// The texts of the cross-checks: 0, 1, 5, 6 and 100 bytes and non-ASCII text.
QList<QByteArray> SampleTexts()
{
    QByteArray hundred;
    for (int i = 0; i < 100; ++i)
        hundred += char(i * 37 + 11);
    return {QByteArray(), QByteArray("A"), QByteArray("hello"), QByteArray("hello!"), hundred,
            QStringLiteral("Пароль ünïcødé €").toUtf8()};
}

// Runs the demo store's cipher module on a batch of operations.
QJsonArray RunPythonCiphers(const QJsonArray& aRequests)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/request.json");
    testutil::WriteFile(path, QJsonDocument(aRequests).toJson());
    const testutil::ProcessResult r = testutil::Run(
        testutil::Python(), {testutil::SourceDir() + QStringLiteral("/tools/demo-store/sxstore/ciphers.py"),
                             QStringLiteral("batch"), path});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return QJsonDocument::fromJson(r.out).array();
}

} // namespace

TEST(KeyPair, GetParamSplitsTheTrimmedText)
{
    const QString text = QStringLiteral("  ABCD#11  ");
    EXPECT_EQ(GetParam(text, QLatin1Char('#'), 0), QStringLiteral("ABCD"));
    EXPECT_EQ(GetParam(text, QLatin1Char('#'), 1), QStringLiteral("11"));
    EXPECT_EQ(GetParam(text, QLatin1Char('#'), 2), QString());
    EXPECT_EQ(GetParam(QStringLiteral("\t\r\nA#B#C\r\n"), QLatin1Char('#'), 2), QStringLiteral("C"));
    EXPECT_EQ(GetParam(QStringLiteral("#x"), QLatin1Char('#'), 0), QString());
}

TEST(KeyPair, KeyTextsAreLittleEndianHexPairs)
{
    EXPECT_EQ(ReadKeyNumber(QStringLiteral("00#010001"), 1), Hex("010001")); // 65537
    EXPECT_EQ(MakeKeyText(Hex("0102"), Hex("11")), QStringLiteral("0102#11"));
    EXPECT_EQ(MakeKeyText(Hex("0a0b0000"), Hex("0100")), QStringLiteral("0A0B#01"));
    // Non-hex characters are skipped, letters in either case, at most 16 bytes.
    EXPECT_EQ(ReadKeyNumber(QStringLiteral(" a-B:c d# 1"), 0), Hex("abcd"));
    EXPECT_EQ(ReadKeyNumber(QStringLiteral("00112233445566778899aabbccddeeff0102#1"), 0),
              Hex("00112233445566778899aabbccddeeff"));
    EXPECT_EQ(ReadKeyNumber(QStringLiteral("abc#1"), 0), Hex("ab")); // a lone digit is dropped
}

TEST(KeyPair, GeneratedKeysRoundTripEveryLength)
{
    QString pub, priv;
    ASSERT_TRUE(GenerateKeys(pub, priv));
    EXPECT_EQ(GetParam(pub, QLatin1Char('#'), 0).size(), 32);
    EXPECT_EQ(GetParam(pub, QLatin1Char('#'), 0), GetParam(priv, QLatin1Char('#'), 0));
    EXPECT_NE(GetParam(pub, QLatin1Char('#'), 1), GetParam(priv, QLatin1Char('#'), 1));

    EXPECT_EQ(EncryptString(QByteArray(), pub).size(), 24);
    EXPECT_EQ(EncryptString("12345", pub).size(), 24);
    EXPECT_EQ(EncryptString("123456", pub).size(), 44);
    for (const QByteArray& text : SampleTexts()) {
        const QByteArray cipher = EncryptString(text, pub);
        EXPECT_EQ(QByteArray::fromBase64(cipher).size(), 16 * std::max<qsizetype>(1, (text.size() + 4) / 5));
        EXPECT_EQ(DecryptString(cipher, priv), text);
    }
    // Random padding: the same text encrypts differently each time.
    EXPECT_NE(EncryptString("same", pub), EncryptString("same", pub));
}

TEST(KeyPair, DecryptReportsBlocksThatDoNotDecode)
{
    QString pub, priv;
    ASSERT_TRUE(GenerateKeys(pub, priv));
    EXPECT_EQ(DecryptError(QByteArray(), priv), QStringLiteral("RSA decoding error: Block too small"));
    EXPECT_EQ(DecryptError(EncryptString("abc", pub).left(8), priv).left(19), QStringLiteral("RSA decoding error:"));
    EXPECT_EQ(DecryptError(RawRsaBase64(Hex("0102030405060708090a"), pub), priv),
              QStringLiteral("RSA decoding error: Block too small"));
    EXPECT_EQ(DecryptError(RawRsaBase64(Hex("61626300111111111111111111050000"), pub), priv),
              QStringLiteral("RSA decoding error: Invalid block type"));
    EXPECT_EQ(DecryptError(RawRsaBase64(Hex("61626364111111111111111111020000"), pub), priv),
              QStringLiteral("RSA decoding error: Invalid block format"));
    // Block type 1 is accepted as well.
    EXPECT_EQ(DecryptString(RawRsaBase64(Hex("61626300111111111111111111010000"), pub), priv), QByteArray("abc"));
}

TEST(KeyPair, XorUsesTheKeyLaidAlongTheData)
{
    QByteArray key(64, '\0');
    for (int i = 0; i < 64; ++i)
        key[i] = char(i + 1);
    QByteArray buffer(10, '\0');
    XORBuffer(buffer.data(), buffer.size(), 70, int(key.size()), key.constData());
    EXPECT_EQ(buffer, key.mid(6, 10));

    const QByteArray data = QByteArray("The quick brown fox jumps over the lazy dog, twice over and again.").repeated(3);
    const QByteArray once = XORString(data, key);
    EXPECT_NE(once, data);
    EXPECT_EQ(XORString(once, key), data);
    // Stretches starting at multiples of the key length equal the whole.
    EXPECT_EQ(XORString(data.mid(64, 64), key), once.mid(64, 64));

    QByteArray any("x");
    EXPECT_THROW(XORBuffer(any.data(), 1, 0, 0, ""), Exception);
}

TEST(KeyPair, XorOfAnyStretchEqualsTheByteByByteDefinition)
{
    // Key sizes with and without the eight-byte fast path, stretches that
    // start inside the key and end inside a later run of it.
    QByteArray data(1000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 31 + 7);
    for (const int keySize : {1, 7, 8, 24, 64, 100}) {
        QByteArray key(keySize, '\0');
        for (int i = 0; i < keySize; ++i)
            key[i] = char(200 - i * 3);
        for (const int pos : {0, 1, 63, 64, 65, 130, 999}) {
            for (const int len : {0, 1, 9, 64, 65, 200, 1000 - pos}) {
                if (pos + len > data.size())
                    continue;
                QByteArray fast = data.mid(pos, len);
                XORBuffer(fast.data(), fast.size(), pos, keySize, key.constData());
                QByteArray slow = data.mid(pos, len);
                for (int i = 0; i < len; ++i)
                    slow[i] = char(slow[i] ^ key[(pos + i) % keySize]);
                ASSERT_EQ(fast, slow) << "key " << keySize << " pos " << pos << " len " << len;
            }
        }
    }
}

TEST(KeyPair, CiphersAgreeWithTheDemoStoresOwnImplementation)
{
    QString pub, priv;
    ASSERT_TRUE(GenerateKeys(pub, priv));
    const QList<QByteArray> texts = SampleTexts();

    // Round 1: the store makes its keys, encrypts for our key and reads our key text.
    QJsonArray first{QJsonObject{{QStringLiteral("op"), QStringLiteral("genkeys")}},
                     QJsonObject{{QStringLiteral("op"), QStringLiteral("parse_key")}, {QStringLiteral("key"), pub}}};
    for (const QByteArray& text : texts)
        first.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("encrypt")},
                                 {QStringLiteral("key"), pub},
                                 {QStringLiteral("plain_hex"), QString::fromLatin1(text.toHex())}});
    const QJsonArray answers = RunPythonCiphers(first);
    ASSERT_EQ(answers.size(), first.size());
    const QString storePub = answers[0].toObject().value(QStringLiteral("public")).toString();
    const QString storePriv = answers[0].toObject().value(QStringLiteral("private")).toString();
    ASSERT_FALSE(storePub.isEmpty());

    // Key texts written by one side are read by the other.
    EXPECT_EQ(MakeKeyText(ReadKeyNumber(storePub, 0), ReadKeyNumber(storePub, 1)), storePub);
    EXPECT_EQ(ReadKeyNumber(storePub, 0).size(), 16);
    QJsonArray second{QJsonObject{{QStringLiteral("op"), QStringLiteral("make_key")},
                                  {QStringLiteral("modulus"), answers[1].toObject().value(QStringLiteral("modulus"))},
                                  {QStringLiteral("exponent"), answers[1].toObject().value(QStringLiteral("exponent"))}}};

    // The store's cipher texts decrypt here.
    for (int i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE(i);
        const QString cipher = answers[2 + i].toObject().value(QStringLiteral("cipher")).toString();
        EXPECT_EQ(DecryptString(cipher.toLatin1(), priv), texts[i]);
    }

    // Round 2: ours decrypt there.
    for (const QByteArray& text : texts)
        second.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("decrypt")},
                                  {QStringLiteral("key"), storePriv},
                                  {QStringLiteral("cipher"), QString::fromLatin1(EncryptString(text, storePub))}});
    const QJsonArray decrypted = RunPythonCiphers(second);
    ASSERT_EQ(decrypted.size(), second.size());
    EXPECT_EQ(decrypted[0].toObject().value(QStringLiteral("key")).toString(), pub);
    for (int i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(QByteArray::fromHex(decrypted[1 + i].toObject().value(QStringLiteral("plain_hex")).toString().toLatin1()),
                  texts[i])
            << decrypted[1 + i].toObject().value(QStringLiteral("error")).toString().toStdString();
    }
}
