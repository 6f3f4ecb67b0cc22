#ifndef PRIVATEKEY_H
#define PRIVATEKEY_H

#include "publickey.h"

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// An Ed25519 private key, for signing release files on the publisher's
// side. Copies share one OpenSSL key; a default-constructed key is null.
class PrivateKey
{
public:
    PrivateKey();
    ~PrivateKey();
    PrivateKey(const PrivateKey &other);
    PrivateKey &operator=(const PrivateKey &other);
    PrivateKey(PrivateKey &&other) noexcept;
    PrivateKey &operator=(PrivateKey &&other) noexcept;

    // PEM PKCS#8 of an unencrypted Ed25519 key, as `openssl genpkey
    // -algorithm ed25519` writes it. Anything else gives a null key, and
    // *error says why. Nothing ever asks for a passphrase.
    static PrivateKey fromPem(const QByteArray &pem, QString *error = nullptr);
    static PrivateKey fromPemFile(const QString &path, QString *error = nullptr);

    bool isNull() const;

    // The public half; null for a null key.
    PublicKey publicKey() const;

    // The content of the ".sig" file for `message`: the standard base64 of
    // the 64-byte signature and one "\n". Empty, with *error set, on failure.
    QByteArray signatureFile(const QByteArray &message, QString *error = nullptr) const;

    // Makes a new key pair and writes BASE.key (PEM PKCS#8, readable by its
    // owner only) and BASE.pub (PEM SubjectPublicKeyInfo). An existing file
    // of either name is never replaced: false, with the reason, and nothing
    // written. Either both files are there afterwards or neither is.
    static bool generateKeyPair(const QString &baseName, QString *error);

private:
    explicit PrivateKey(std::shared_ptr<EVP_PKEY> key);

    std::shared_ptr<EVP_PKEY> m_key;
};

#endif // PRIVATEKEY_H
