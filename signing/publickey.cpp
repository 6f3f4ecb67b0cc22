#include "publickey.h"

#include "opensslsupport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

using namespace SigningDetail;

namespace {

QString keyTypeName(EVP_PKEY *key)
{
    const char *name = OBJ_nid2sn(EVP_PKEY_base_id(key));
    return name ? QString::fromLatin1(name) : QStringLiteral("unknown type");
}

} // namespace

PublicKey::PublicKey() = default;
PublicKey::~PublicKey() = default;
PublicKey::PublicKey(const PublicKey &other) = default;
PublicKey &PublicKey::operator=(const PublicKey &other) = default;
PublicKey::PublicKey(PublicKey &&other) noexcept = default;
PublicKey &PublicKey::operator=(PublicKey &&other) noexcept = default;

PublicKey::PublicKey(std::shared_ptr<EVP_PKEY> key)
    : m_key(std::move(key))
{
}

PublicKey PublicKey::fromPem(const QByteArray &pem, QString *error)
{
    if (pem.size() > kMaxKeyFileSize) {
        setError(error, QStringLiteral("too large to be a key"));
        return PublicKey();
    }
    ERR_clear_error();
    BioHandle bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!bio) {
        setError(error, takeOpenSslError());
        return PublicKey();
    }
    // A public key is never encrypted, so no passphrase is ever asked for.
    const KeyHandle key = adoptKey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        const QString reason = takeOpenSslError();
        if (pem.contains("PRIVATE KEY-----"))
            setError(error, QStringLiteral("a private key where the public key (.pub) is needed"));
        else
            setError(error, QStringLiteral("not a PEM public key (%1)").arg(reason));
        return PublicKey();
    }
    if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_ED25519) {
        setError(error, QStringLiteral("not an Ed25519 key (%1)").arg(keyTypeName(key.get())));
        return PublicKey();
    }
    return PublicKey(key);
}

PublicKey PublicKey::fromPemFile(const QString &path, QString *error)
{
    QByteArray pem;
    if (!readKeyFile(path, &pem, error))
        return PublicKey();
    QString reason;
    PublicKey key = fromPem(pem, &reason);
    if (key.isNull())
        setError(error, QStringLiteral("'%1': %2").arg(path, reason));
    return key;
}

bool PublicKey::isNull() const
{
    return !m_key;
}

QByteArray PublicKey::toPem() const
{
    if (!m_key)
        return QByteArray();
    BioHandle bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), m_key.get()) != 1) {
        ERR_clear_error();
        return QByteArray();
    }
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(size));
}

SignatureCheck PublicKey::verify(const QByteArray &message, const QByteArray &signatureFile) const
{
    if (signatureFile.isEmpty())
        return SignatureCheck::Missing;
    const QList<QByteArray> signatures = decodeSignatureFile(signatureFile);
    if (signatures.isEmpty())
        return SignatureCheck::Malformed;
    if (!m_key)
        return SignatureCheck::Invalid;

    bool valid = false;
    for (const QByteArray &signature : signatures) {
        // Ed25519 signs the message itself (no separate digest), in one call.
        DigestContext context(EVP_MD_CTX_new());
        valid = context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, m_key.get()) == 1
                && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                                    size_t(signature.size()),
                                    reinterpret_cast<const unsigned char *>(message.constData()),
                                    size_t(message.size()))
                       == 1;
        if (valid)
            break;
    }
    // A failed check leaves its reason queued; it must not leak into the
    // next caller's error report.
    ERR_clear_error();
    return valid ? SignatureCheck::Valid : SignatureCheck::Invalid;
}
