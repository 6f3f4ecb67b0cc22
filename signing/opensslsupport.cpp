#include "opensslsupport.h"

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("cannot read '%1': %2").arg(path, file.errorString()));
        return false;
    }
    *content = file.read(kMaxKeyFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        setError(error, QStringLiteral("cannot read '%1': %2").arg(path, file.errorString()));
        return false;
    }
    if (content->size() > kMaxKeyFileSize) {
        setError(error, QStringLiteral("'%1': too large to be a key").arg(path));
        return false;
    }
    return true;
}

QByteArray encodeSignatureFile(const QByteArray &signature)
{
    return signature.toBase64() + '\n';
}

QByteArray decodeSignatureFile(const QByteArray &file)
{
    QByteArray text = file;
    if (text.endsWith("\r\n"))
        text.chop(2);
    else if (text.endsWith('\n'))
        text.chop(1);
    // 64 bytes are 86 characters of base64 and "==", nothing else.
    constexpr int kEncodedSize = (kSignatureSize + 2) / 3 * 4;
    if (text.size() != kEncodedSize)
        return QByteArray();
    for (char c : qAsConst(text)) {
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

} // namespace SigningDetail
