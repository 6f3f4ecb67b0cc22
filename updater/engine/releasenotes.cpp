#include "releasenotes.h"

#include "digesttext.h"
#include "releasefilefetch.h"
#include "safepath.h"

#include <QCryptographicHash>
#include <QStringList>

ReleaseNotes::ReleaseNotes(HttpClient *client, const QString &updateUrl, const QString &filesUrl, QObject *parent)
    : QObject(parent)
    , m_fetch(new ReleaseFileFetch(client, updateUrl, filesUrl, this))
{
    connect(m_fetch, &ReleaseFileFetch::finished, this, &ReleaseNotes::fetched);
}

QString ReleaseNotes::urlProblem(const QString &url)
{
    if (url.isEmpty())
        return QStringLiteral("empty notes_url");
    for (const QString &part : url.split(QLatin1Char('/'))) {
        if (!isSafeEntryName(part))
            return QStringLiteral("notes_url '%1' does not name a file below the release").arg(url);
    }
    return QString();
}

bool ReleaseNotes::isHtmlUrl(const QString &url)
{
    return url.endsWith(QLatin1String(".html"), Qt::CaseInsensitive)
        || url.endsWith(QLatin1String(".htm"), Qt::CaseInsensitive);
}

bool ReleaseNotes::start(const QDomElement &root, bool signedRelease, int milliseconds)
{
    if (!root.hasAttribute(QStringLiteral("notes_url")))
        return false;
    m_url = root.attribute(QStringLiteral("notes_url"));
    m_sha256 = root.attribute(QStringLiteral("notes_sha256"));
    m_signed = signedRelease;
    m_error = urlProblem(m_url);
    // Signed, the notes are the publisher's only when their digest is.
    if (m_error.isEmpty() && (m_signed || root.hasAttribute(QStringLiteral("notes_sha256"))) && !isSha256Hex(m_sha256))
        m_error = QStringLiteral("no usable notes_sha256 for the notes");
    if (!m_error.isEmpty())
        return false;
    m_started = true;
    m_fetch->start(m_url, maximumSize, milliseconds);
    return true;
}

bool ReleaseNotes::waitForFinished()
{
    if (m_started)
        m_fetch->waitForFinished();
    return m_available;
}

void ReleaseNotes::fetched()
{
    const QByteArray bytes = m_fetch->bytes();
    if (!m_fetch->succeeded())
        m_error = QStringLiteral("notes %1 not fetched: %2").arg(m_url, m_fetch->errorString());
    else if (!m_sha256.isEmpty()
             && QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()) != m_sha256)
        m_error = QStringLiteral("notes %1 do not match their notes_sha256").arg(m_url);
    else
        m_text = QString::fromUtf8(bytes);
    m_available = m_error.isEmpty();
    emit finished();
}
