#ifndef RELEASENOTES_H
#define RELEASENOTES_H

#include <QDomElement>
#include <QObject>
#include <QString>

class HttpClient;
class ReleaseFileFetch;

// The release notes a manifest names on its root: "notes_url", a plain-text
// or HTML file below the release (HTML when the name ends in .html or
// .htm), and "notes_sha256", its SHA-256. Both attributes are covered by
// the manifest's signature; with the publisher's key the notes are shown
// only when they match notes_sha256, so that the server cannot put words
// in the publisher's mouth. Fetched like a release file, at most 64 KiB.
class ReleaseNotes : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 maximumSize = 64 * 1024;

    // `client` must outlive this object; an empty filesUrl: the update request.
    ReleaseNotes(HttpClient *client, const QString &updateUrl, const QString &filesUrl, QObject *parent = nullptr);

    // Why a notes_url cannot name a file below the release (absolute, "..",
    // a backslash or a colon in it); empty when it can.
    static QString urlProblem(const QString &url);
    static bool isHtmlUrl(const QString &url);

    // Starts fetching the notes `root` names, within `milliseconds`. False
    // when it names none, or names them in a way that cannot be used
    // (errorString() says why; finished() is not emitted then).
    bool start(const QDomElement &root, bool signedRelease, int milliseconds);
    // Runs the event loop until the fetch has ended; true when the notes
    // can be shown.
    bool waitForFinished();

    bool isAvailable() const { return m_available; }
    QString url() const { return m_url; }
    QString text() const { return m_text; }
    bool isHtml() const { return isHtmlUrl(m_url); }
    QString errorString() const { return m_error; }

signals:
    // The fetch has ended, with notes to show or errorString().
    void finished();

private:
    void fetched();

    ReleaseFileFetch *m_fetch;
    QString m_url;
    QString m_sha256;
    bool m_signed = false;
    bool m_started = false;
    bool m_available = false;
    QString m_text;
    QString m_error;
};

#endif // RELEASENOTES_H
