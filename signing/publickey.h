#ifndef PUBLICKEY_H
#define PUBLICKEY_H

#include "signaturecheck.h"

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// An Ed25519 public key, for checking the detached signature (".sig" file)
// of a release file. Copies share one OpenSSL key; a default-constructed
// key is null and verifies nothing.
class PublicKey
{
public:
    PublicKey();
    ~PublicKey();
    PublicKey(const PublicKey &other);
    PublicKey &operator=(const PublicKey &other);
    PublicKey(PublicKey &&other) noexcept;
    PublicKey &operator=(PublicKey &&other) noexcept;

    // PEM SubjectPublicKeyInfo of an Ed25519 key, as `openssl pkey -pubout`
    // writes it. Anything else (another kind of key, a private key, text
    // that is no key) gives a null key, and *error says why.
    static PublicKey fromPem(const QByteArray &pem, QString *error = nullptr);
    static PublicKey fromPemFile(const QString &path, QString *error = nullptr);

    bool isNull() const;

    // The key as PEM SubjectPublicKeyInfo; empty for a null key.
    QByteArray toPem() const;

    // Checks `signatureFile`, the bytes of a ".sig" file, against `message`,
    // the exact bytes of the signed file. The file holds the standard base64
    // of a 64-byte signature on each line (one line per signing key, up to
    // 16), each line ended by "\n" or "\r\n" (the last one may end without),
    // and nothing else. Empty: Missing; any other shape: Malformed; Valid
    // when any line is this key's signature of the message, else Invalid.
    // A null key finds nothing Valid.
    SignatureCheck verify(const QByteArray &message, const QByteArray &signatureFile) const;

private:
    friend class PrivateKey;
    explicit PublicKey(std::shared_ptr<EVP_PKEY> key);

    std::shared_ptr<EVP_PKEY> m_key;
};

#endif // PUBLICKEY_H
