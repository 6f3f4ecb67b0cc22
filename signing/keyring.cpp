#include "keyring.h"

#include "opensslsupport.h"

using namespace SigningDetail;

bool KeyRing::addPem(const QByteArray &pem, QString *error)
{
    static const QByteArray begin("-----BEGIN ");
    const int blocks = pem.count(begin);
    if (m_keys.size() + qMax(blocks, 1) > maximumKeys) {
        setError(error, QStringLiteral("more than %1 keys").arg(maximumKeys));
        return false;
    }
    if (blocks <= 1) {
        // The single key's own reasons, for a file that holds none too.
        const PublicKey key = PublicKey::fromPem(pem, error);
        if (key.isNull())
            return false;
        m_keys.append(key);
        return true;
    }
    // Each block is read on its own: the PEM reader would pass over a
    // block of another kind (a private key shipped by mistake) in silence.
    QList<PublicKey> found;
    int at = pem.indexOf(begin);
    for (int i = 1; i <= blocks; ++i) {
        const int next = pem.indexOf(begin, at + 1);
        QString reason;
        const PublicKey key = PublicKey::fromPem(pem.mid(at, next < 0 ? -1 : next - at), &reason);
        if (key.isNull()) {
            setError(error, QStringLiteral("key %1 of %2: %3").arg(i).arg(blocks).arg(reason));
            return false;
        }
        found.append(key);
        at = next;
    }
    m_keys += found;
    return true;
}

bool KeyRing::addFile(const QString &path, QString *error)
{
    QByteArray pem;
    if (!readKeyFile(path, &pem, error))
        return false;
    QString reason;
    if (!addPem(pem, &reason)) {
        setError(error, QStringLiteral("'%1': %2").arg(path, reason));
        return false;
    }
    return true;
}

SignatureCheck KeyRing::verify(const QByteArray &message, const QByteArray &signatureFile) const
{
    // The shape of the file decides Missing and Malformed alike for every
    // key; only Valid needs a key that fits.
    SignatureCheck check = PublicKey().verify(message, signatureFile);
    for (const PublicKey &key : m_keys) {
        check = key.verify(message, signatureFile);
        if (check != SignatureCheck::Invalid)
            break;
    }
    return check;
}
