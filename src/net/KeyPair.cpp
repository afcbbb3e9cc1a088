#include "net/KeyPair.h"

#include <QStringList>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstring>

#include <memory>

namespace {

constexpr int ModulusBytes = 16;
constexpr int BlockSize = 16;
constexpr int PieceSize = 5;
constexpr int MaxKeyBytes = 16;
constexpr int PrimeBits = 64;
constexpr int ExponentBits = 17;
constexpr int PrimalityRounds = 20;

struct TBnDeleter {
    void operator()(BIGNUM* aBn) const { BN_clear_free(aBn); }
};
struct TCtxDeleter {
    void operator()(BN_CTX* aCtx) const { BN_CTX_free(aCtx); }
};
using TBn = std::unique_ptr<BIGNUM, TBnDeleter>;
using TCtx = std::unique_ptr<BN_CTX, TCtxDeleter>;

TBn NewBn()
{
    TBn bn(BN_new());
    if (!bn)
        throw ERSAError(QStringLiteral("Out of memory"));
    return bn;
}

void Check(int aResult)
{
    if (aResult != 1)
        throw ERSAError(QStringLiteral("Big number operation failed"));
}

TBn FromLittleEndian(const QByteArray& aBytes)
{
    TBn bn(BN_lebin2bn(reinterpret_cast<const unsigned char*>(aBytes.constData()), int(aBytes.size()), nullptr));
    if (!bn)
        throw ERSAError(QStringLiteral("Out of memory"));
    return bn;
}

// Little-endian bytes without high zero bytes.
QByteArray ToLittleEndian(const BIGNUM* aBn)
{
    QByteArray out(BN_num_bytes(aBn), '\0');
    if (!out.isEmpty())
        BN_bn2lebinpad(aBn, reinterpret_cast<unsigned char*>(out.data()), int(out.size()));
    return out;
}

QByteArray ToLittleEndianPadded(const BIGNUM* aBn, int aLength)
{
    QByteArray out(aLength, '\0');
    if (BN_bn2lebinpad(aBn, reinterpret_cast<unsigned char*>(out.data()), aLength) < 0)
        throw ERSAError(QStringLiteral("RSA encoding error: number too large for block"));
    return out;
}

QString HexLittleEndian(const BIGNUM* aBn)
{
    return QString::fromLatin1(ToLittleEndian(aBn).toHex().toUpper());
}

// Miller-Rabin with aRounds random bases.
bool IsProbablePrime(const BIGNUM* aN, int aRounds, BN_CTX* aCtx)
{
    static const unsigned SmallPrimes[] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73, 79, 83, 89, 97};
    if (BN_is_word(aN, 2))
        return true;
    if (BN_cmp(aN, BN_value_one()) <= 0 || !BN_is_odd(aN))
        return false;
    for (unsigned p : SmallPrimes) {
        if (BN_is_word(aN, p))
            return true;
        if (BN_mod_word(aN, p) == 0)
            return false;
    }
    TBn nMinus1 = NewBn(), d = NewBn(), a = NewBn(), x = NewBn(), range = NewBn();
    Check(BN_sub(nMinus1.get(), aN, BN_value_one()) ? 1 : 0);
    int s = 0;
    while (!BN_is_bit_set(nMinus1.get(), s))
        ++s;
    Check(BN_rshift(d.get(), nMinus1.get(), s));
    // Bases from 2 to n-2.
    Check(BN_sub(range.get(), nMinus1.get(), BN_value_one()) ? 1 : 0);
    Check(BN_sub_word(range.get(), 1));
    for (int round = 0; round < aRounds; ++round) {
        Check(BN_priv_rand_range(a.get(), range.get()));
        Check(BN_add_word(a.get(), 2));
        Check(BN_mod_exp(x.get(), a.get(), d.get(), aN, aCtx));
        if (BN_is_one(x.get()) || BN_cmp(x.get(), nMinus1.get()) == 0)
            continue;
        bool witness = true;
        for (int r = 1; r < s; ++r) {
            Check(BN_mod_sqr(x.get(), x.get(), aN, aCtx));
            if (BN_cmp(x.get(), nMinus1.get()) == 0) {
                witness = false;
                break;
            }
        }
        if (witness)
            return false;
    }
    return true;
}

// A random prime of exactly aBits bits (top two bits set, so that two of
// them multiply to a full-size modulus).
TBn RandomPrime(int aBits, BN_CTX* aCtx)
{
    TBn candidate = NewBn();
    for (;;) {
        Check(BN_priv_rand(candidate.get(), aBits, BN_RAND_TOP_TWO, BN_RAND_BOTTOM_ODD));
        if (IsProbablePrime(candidate.get(), PrimalityRounds, aCtx))
            return candidate;
    }
}

QString TrimControls(const QString& aText)
{
    qsizetype start = 0;
    qsizetype end = aText.size();
    while (start < end && aText[start].unicode() <= 0x20)
        ++start;
    while (end > start && aText[end - 1].unicode() <= 0x20)
        --end;
    return aText.mid(start, end - start);
}

int HexValue(QChar aCh)
{
    const char16_t c = aCh.unicode();
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

struct TKey {
    TBn Modulus;
    TBn Exponent;
};

TKey ReadKey(const QString& aKeyText)
{
    return {FromLittleEndian(ReadKeyNumber(aKeyText, 0)), FromLittleEndian(ReadKeyNumber(aKeyText, 1))};
}

TBn PowMod(const BIGNUM* aBase, const TKey& aKey, BN_CTX* aCtx)
{
    if (BN_is_zero(aKey.Modulus.get()))
        throw ERSAError(QStringLiteral("RSA error: invalid key"));
    TBn result = NewBn();
    Check(BN_mod_exp(result.get(), aBase, aKey.Exponent.get(), aKey.Modulus.get(), aCtx));
    return result;
}

TCtx NewCtx()
{
    TCtx ctx(BN_CTX_new());
    if (!ctx)
        throw ERSAError(QStringLiteral("Out of memory"));
    return ctx;
}

} // namespace

QString MakeKeyText(const QByteArray& aModulus, const QByteArray& aExponent)
{
    TBn n = FromLittleEndian(aModulus);
    TBn e = FromLittleEndian(aExponent);
    return HexLittleEndian(n.get()) + QLatin1Char('#') + HexLittleEndian(e.get());
}

QByteArray ReadKeyNumber(const QString& aKeyText, int aPart)
{
    const QString part = GetParam(aKeyText, QLatin1Char('#'), aPart);
    QByteArray bytes;
    int high = -1;
    for (QChar ch : part) {
        const int v = HexValue(ch);
        if (v < 0)
            continue;
        if (high < 0) {
            high = v;
            continue;
        }
        if (bytes.size() == MaxKeyBytes)
            break;
        bytes.append(char(high * 16 + v));
        high = -1;
    }
    return bytes;
}

bool GenerateKeys(QString& PubKey, QString& PrivKey)
{
    PubKey.clear();
    PrivKey.clear();
    try {
        TCtx ctx = NewCtx();
        TBn n = NewBn(), phi = NewBn(), p1 = NewBn(), q1 = NewBn(), d = NewBn();
        for (;;) {
            TBn p = RandomPrime(PrimeBits, ctx.get());
            TBn q = RandomPrime(PrimeBits, ctx.get());
            if (BN_cmp(p.get(), q.get()) == 0)
                continue;
            Check(BN_mul(n.get(), p.get(), q.get(), ctx.get()));
            Check(BN_sub(p1.get(), p.get(), BN_value_one()));
            Check(BN_sub(q1.get(), q.get(), BN_value_one()));
            Check(BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()));
            TBn e = RandomPrime(ExponentBits, ctx.get());
            if (!BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get())) {
                ERR_clear_error(); // no inverse: start again
                continue;
            }
            if (BN_num_bytes(n.get()) != ModulusBytes)
                continue;
            PubKey = HexLittleEndian(n.get()) + QLatin1Char('#') + HexLittleEndian(e.get());
            PrivKey = HexLittleEndian(n.get()) + QLatin1Char('#') + HexLittleEndian(d.get());
            return true;
        }
    } catch (...) {
        return false;
    }
}

QString GetParam(const QString& aStr, QChar aSeparator, int aParam)
{
    if (aParam < 0)
        return {};
    const QStringList parts = TrimControls(aStr).split(aSeparator);
    return aParam < parts.size() ? parts[aParam] : QString();
}

QByteArray EncryptString(const QByteArray& aInString, const QString& aPublicKey)
{
    TCtx ctx = NewCtx();
    const TKey key = ReadKey(aPublicKey);
    QByteArray out;
    qsizetype pos = 0;
    do {
        const QByteArray piece = aInString.mid(pos, PieceSize);
        pos += PieceSize;
        if (piece.size() > PieceSize)
            throw ERSAError(QStringLiteral("RSA encoding error: too much data for block"));
        unsigned char block[BlockSize];
        const int k = int(piece.size());
        std::memcpy(block, piece.constData(), size_t(k));
        block[k] = 0x00;
        for (int i = k + 1; i <= 13; ++i) {
            unsigned char r = 0;
            do {
                if (RAND_bytes(&r, 1) != 1)
                    throw ERSAError(QStringLiteral("RSA encoding error: no random data"));
            } while (r == 0 || r > 253);
            block[i] = r;
        }
        block[14] = 0x02;
        block[15] = 0x00;
        TBn m(BN_lebin2bn(block, BlockSize, nullptr));
        if (!m)
            throw ERSAError(QStringLiteral("Out of memory"));
        TBn c = PowMod(m.get(), key, ctx.get());
        out += ToLittleEndianPadded(c.get(), BlockSize);
    } while (pos < aInString.size());
    return out.toBase64();
}

QByteArray DecryptString(const QByteArray& aInString, const QString& aPrivKey)
{
    TCtx ctx = NewCtx();
    const TKey key = ReadKey(aPrivKey);
    const QByteArray raw = QByteArray::fromBase64(aInString);
    QByteArray out;
    qsizetype pos = 0;
    do {
        const QByteArray block = raw.mid(pos, BlockSize);
        pos += BlockSize;
        const bool last = pos >= raw.size();
        TBn c = FromLittleEndian(block);
        TBn mBn = PowMod(c.get(), key, ctx.get());
        const QByteArray m = ToLittleEndian(mBn.get());
        if (m.size() < 11)
            throw ERSAError(QStringLiteral("RSA decoding error: Block too small"));
        if (m.size() > 128)
            throw ERSAError(QStringLiteral("RSA decoding error: Block too large"));
        const unsigned char type = static_cast<unsigned char>(m.back());
        if (type != 0x01 && type != 0x02)
            throw ERSAError(QStringLiteral("RSA decoding error: Invalid block type"));
        const qsizetype zero = m.lastIndexOf('\0', m.size() - 2);
        if (zero < 0)
            throw ERSAError(QStringLiteral("RSA decoding error: Invalid block format"));
        QByteArray piece = m.left(zero);
        if (!last) {
            piece.truncate(PieceSize);
            piece.append(QByteArray(PieceSize - piece.size(), '\0'));
        }
        out += piece;
    } while (pos < raw.size());
    return out;
}

void XORBuffer(char* aBuffer, int64_t aBufLen, int64_t aBufPos, int aKeySize, const char* aKey)
{
    if (aKeySize <= 0)
        throw Exception(QStringLiteral("Division by zero"));
    int64_t j = aBufPos % aKeySize;
    if (j < 0)
        j += aKeySize;
    int64_t i = 0;
    // Up to the next start of the key.
    for (; j != 0 && i < aBufLen; ++i) {
        aBuffer[i] = char(aBuffer[i] ^ aKey[j]);
        if (++j == aKeySize)
            j = 0;
    }
    // Whole runs of the key; eight bytes at a time when the key allows it
    // (downloaded files are decoded with a 64-byte key through this loop).
    if (aKeySize % 8 == 0) {
        for (; i + aKeySize <= aBufLen; i += aKeySize) {
            for (int k = 0; k < aKeySize; k += 8) {
                uint64_t data;
                uint64_t key;
                std::memcpy(&data, aBuffer + i + k, 8);
                std::memcpy(&key, aKey + k, 8);
                data ^= key;
                std::memcpy(aBuffer + i + k, &data, 8);
            }
        }
    }
    for (; i < aBufLen; ++i) {
        aBuffer[i] = char(aBuffer[i] ^ aKey[j]);
        if (++j == aKeySize)
            j = 0;
    }
}

QByteArray XORString(const QByteArray& aS, const QByteArray& aKey)
{
    QByteArray result = aS;
    result.detach();
    XORBuffer(result.data(), result.size(), 0, int(aKey.size()), aKey.constData());
    return result;
}

namespace KeyPairModule {

void Start()
{
    // Seeds itself from the system on first use; a source that cannot be
    // seeded makes key generation fail, which the log-in reports.
    RAND_status();
}

void Stop() {}

} // namespace KeyPairModule
