#include "opensslsupport.h"

#include "regularfile.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace SigningDetail {

KeyHandle adoptKey(EVP_PKEY *key)
{
    return KeyHandle(key, [](EVP_PKEY *k) { EVP_PKEY_free(k); });
}

QString takeOpenSslError()
{
    unsigned long last = 0;
    while (const unsigned long code = ERR_get_error())
        last = code;
    if (last == 0)
        return QStringLiteral("unknown OpenSSL error");
    const char *reason = ERR_reason_error_string(last);
    return reason ? QString::fromLatin1(reason) : QStringLiteral("OpenSSL error %1").arg(last);
}

bool readKeyFile(const QString &path, QByteArray *content, QString *error)
{
    QString reason;
    switch (RegularFile::read(path, kMaxKeyFileSize, content, &reason)) {
    case RegularFile::Read:
        return true;
    case RegularFile::TooLarge:
        setError(error, QStringLiteral("'%1': too large to be a key").arg(path));
        return false;
    case RegularFile::Missing:
    case RegularFile::Unreadable:
        break;
    }
    setError(error, QStringLiteral("cannot read '%1': %2").arg(path, reason));
    return false;
}

QByteArray encodeSignatureFile(const QByteArray &signature)
{
    return signature.toBase64() + '\n';
}

namespace {

// The raw signature of one line, or empty when it is not canonical base64
// of exactly 64 bytes.
QByteArray decodeSignatureLine(const QByteArray &text)
{
    // 64 bytes are 86 characters of base64 and "==", nothing else.
    constexpr int kEncodedSize = (kSignatureSize + 2) / 3 * 4;
    if (text.size() != kEncodedSize)
        return QByteArray();
    for (char c : text) {
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                              || c == '+' || c == '/' || c == '=';
        if (!alphabet)
            return QByteArray();
    }
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    // Re-encoding catches stray padding and unused bits that are not zero:
    // one signature has exactly one accepted spelling.
    if (!decoded || decoded.decoded.size() != kSignatureSize || decoded.decoded.toBase64() != text)
        return QByteArray();
    return decoded.decoded;
}

} // namespace

QList<QByteArray> decodeSignatureFile(const QByteArray &file)
{
    QByteArray text = file;
    if (text.endsWith("\r\n"))
        text.chop(2);
    else if (text.endsWith('\n'))
        text.chop(1);
    // Every line must be one signature: a file with a line that is not is
    // refused as a whole, whatever the other lines say.
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() > kMaxSignatures)
        return {};
    QList<QByteArray> signatures;
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        // A line ended by "\r\n" (a file that passed through Windows); a
        // "\r" that ends no line is no part of a signature.
        if (i + 1 < lines.size() && line.endsWith('\r'))
            line.chop(1);
        const QByteArray signature = decodeSignatureLine(line);
        if (signature.isEmpty())
            return {};
        signatures.append(signature);
    }
    return signatures;
}

} // namespace SigningDetail
