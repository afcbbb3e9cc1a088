// The client's RSA key pair and the string ciphers of the key exchange, and
// the repeating-key XOR that turns a downloaded file back into its plain form.
// Stateless and reentrant; safe on any thread.
//
// RSA here is tiny on purpose (the store's format): a 128-bit modulus, plain
// pieces of at most 5 bytes, 16-byte encrypted blocks. Integers are written
// least significant byte first. A key text is "<modulus>#<exponent>", both in
// upper-case hex pairs, lowest byte first, without high zero bytes.
#pragma once

#include "log/Exception.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

SX_DECLARE_EXCEPTION(ERSAError, Exception)

// A fresh key pair as key texts; false (outputs possibly empty) on any error.
bool GenerateKeys(QString& PubKey, QString& PrivKey);

// Part number aParam (from 0) of the trimmed aStr cut at aSeparator; empty
// when there is no such part.
QString GetParam(const QString& aStr, QChar aSeparator, int aParam);

// Base64 text of the encrypted blocks of the 8-bit string aInString.
QByteArray EncryptString(const QByteArray& aInString, const QString& aPublicKey);
// The 8-bit string of a Base64 cipher text; raises ERSAError
// "RSA decoding error: ..." when a block does not decode.
QByteArray DecryptString(const QByteArray& aInString, const QString& aPrivKey);

// Combines aBufLen bytes in place with aKey laid along the whole data from its
// start; aBufPos is the position of aBuffer's first byte in that data.
// aKeySize 0 raises an error.
void XORBuffer(char* aBuffer, int64_t aBufLen, int64_t aBufPos, int aKeySize, const char* aKey);
// A copy of aS combined with aKey from position 0.
QByteArray XORString(const QByteArray& aS, const QByteArray& aKey);

// Key texts from numbers given as little-endian bytes, and back.
QString MakeKeyText(const QByteArray& aModulus, const QByteArray& aExponent);
// The modulus (part 0) or exponent (part 1) of a key text as little-endian bytes.
QByteArray ReadKeyNumber(const QString& aKeyText, int aPart);

namespace KeyPairModule {
// Checks that the random source is ready.
void Start();
void Stop();
} // namespace KeyPairModule
