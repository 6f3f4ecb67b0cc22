#ifndef OPENSSLSUPPORT_H
#define OPENSSLSUPPORT_H

// Internals shared by PublicKey and PrivateKey; not part of the library's
// interface.

#include <QByteArray>
#include <QList>
#include <QString>

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

namespace SigningDetail {

// Ed25519 signatures are always this long.
constexpr int kSignatureSize = 64;
// One signature per key a release is signed with; while a key is being
// replaced there are two.
constexpr int kMaxSignatures = 16;
// No PEM key comes near this; anything larger is refused unread.
constexpr qint64 kMaxKeyFileSize = 64 * 1024;

// One key shared by every copy of a PublicKey or PrivateKey.
using KeyHandle = std::shared_ptr<EVP_PKEY>;
KeyHandle adoptKey(EVP_PKEY *key);

struct BioDeleter
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioHandle = std::unique_ptr<BIO, BioDeleter>;

struct DigestContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

// The reason of the most recent OpenSSL failure on this thread, and an
// empty error queue afterwards.
QString takeOpenSslError();

// Reads a key file of at most kMaxKeyFileSize bytes.
bool readKeyFile(const QString &path, QByteArray *content, QString *error);

// The content of a ".sig" file for a raw signature: its base64 and "\n".
QByteArray encodeSignatureFile(const QByteArray &signature);
// The raw 64-byte signatures of a ".sig" file, one a line, or none when
// any line is not canonical base64 of exactly 64 bytes or there are more
// than kMaxSignatures. Lines end with "\n" or "\r\n"; the last one may
// end without.
QList<QByteArray> decodeSignatureFile(const QByteArray &file);

// Sets *error when the caller asked for it.
inline void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace SigningDetail

#endif // OPENSSLSUPPORT_H
