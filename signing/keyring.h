#ifndef KEYRING_H
#define KEYRING_H

#include "publickey.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The publisher's public keys that a client trusts: usually one, two while
// a key is being replaced. A signature by any of them is accepted.
class KeyRing
{
public:
    // Adds every key of a PEM file: one or more Ed25519 public keys, as
    // `cat old.pub new.pub` makes. The file must be a regular file, and
    // every PEM block in it such a key: anything else (a folder, a device,
    // a dangling link, text without a key, a private or another kind of
    // key among them) adds nothing, and *error names the file and why.
    bool addFile(const QString &path, QString *error);
    bool addPem(const QByteArray &pem, QString *error);

    bool isEmpty() const { return m_keys.isEmpty(); }
    int size() const { return m_keys.size(); }

    // Checks a ".sig" file (see PublicKey::verify) with every key: Valid
    // when any line verifies with any key. An empty ring finds nothing
    // Valid.
    SignatureCheck verify(const QByteArray &message, const QByteArray &signatureFile) const;

    // More keys than this in one ring is no rotation but a mistake.
    static constexpr int maximumKeys = 16;

private:
    QList<PublicKey> m_keys;
};

#endif // KEYRING_H
