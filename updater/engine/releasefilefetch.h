#ifndef RELEASEFILEFETCH_H
#define RELEASEFILEFETCH_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class HttpClient;
class HttpTransfer;

// Fetches one small file of a release into memory, the way its files are
// asked for: the update request, or a GET below the static files URL.
// Bounded in bytes (a larger body fails it at once) and in time.
class ReleaseFileFetch : public QObject
{
    Q_OBJECT
public:
    // `client` must outlive the fetch. An empty filesUrl: the update request.
    ReleaseFileFetch(HttpClient *client, const QString &updateUrl, const QString &filesUrl, QObject *parent = nullptr);
    ~ReleaseFileFetch() override;

    // Asks for `relativeUrl` (a path below the release): at most `limit`
    // bytes, within `milliseconds` in all.
    void start(const QString &relativeUrl, qint64 limit, int milliseconds);
    // Runs the event loop until the fetch has ended; true when it brought
    // the file.
    bool waitForFinished();

    bool isFinished() const { return m_finished; }
    bool succeeded() const { return m_finished && m_error.isEmpty(); }
    QByteArray bytes() const { return m_bytes; }
    QString errorString() const { return m_error; }

signals:
    void finished();

private:
    void readBody();
    void transferFinished();

    HttpClient *m_client;
    QString m_updateUrl;
    QString m_filesUrl;
    QPointer<HttpTransfer> m_transfer;
    qint64 m_limit = 0;
    QByteArray m_bytes;
    QString m_error;
    bool m_finished = false;
};

#endif // RELEASEFILEFETCH_H
