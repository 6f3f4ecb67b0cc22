#ifndef CHUNKEDFETCH_H
#define CHUNKEDFETCH_H

#include "chunker.h"
#include "chunkindex.h"
#include "chunkplan.h"
#include "transferoptions.h"

#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class HttpClient;
class HttpTransfer;
class StagedFile;

// Builds the new version of an installed file from the chunks it shares
// with the old one, fetching only the chunks that changed.
//
// The file's chunk index is fetched and checked against its SHA-256 from
// the manifest; the installed file is cut with the same chunker; the plan
// says which ranges to copy from it and which to fetch with Range
// requests. Everything is written, in order, into the staged file, whose
// digests the caller then checks like those of a whole download. Local
// work goes in slices between turns of the event loop, so a window stays
// responsive on large files.
class ChunkedFetch : public QObject
{
    Q_OBJECT
public:
    // How a request for a release path is made: the update request or a
    // GET below the static files URL, with the given Range.
    using RequestMaker = std::function<HttpTransfer *(const QString &relativeUrl, const TransferLimits &limits)>;

    ChunkedFetch(RequestMaker makeRequest, QObject *parent = nullptr);
    ~ChunkedFetch() override;

    // Starts on one file: its own URL (for the ranges), its index at
    // indexUrl with SHA-256 indexSha256, its new size, the installed file
    // (a file of the staged file's folder: only its name is used), and the
    // staged file to write into (kept by the caller).
    void start(const QString &fileUrl, const QString &indexUrl, const QString &indexSha256, qint64 newSize,
               const QString &oldPath, StagedFile *target);
    // The file's block hashes, when published: with them only the changed
    // blocks of a changed chunk are fetched. Set before start().
    void setBlockHashesUrl(const QString &url) { m_blocksUrl = url; }
    // Continues after a failed range (a dropped connection): the range is
    // asked for again from where it stopped.
    void resume();
    // Stops at once; nothing more is written.
    void abort();

    // Once planned: bytes of the new file to fetch.
    qint64 bytesToFetch() const { return m_fetchTotal; }
    bool isPlanned() const { return m_planned; }
    // Body bytes received for the file so far (index and ranges).
    qint64 bytesFetched() const { return m_fetched; }
    QString errorString() const { return m_error; }

signals:
    // The plan is made: the file costs `fetch` bytes instead of its size.
    void planned(qint64 fetch, qint64 copy);
    // Block hashes showed that `bytes` more can be copied than planned.
    void replanned(qint64 bytes);
    // Bytes of the ranges received so far, for progress.
    void progress(qint64 fetched);
    // The new file is complete in the staged file.
    void finished();
    // The chunks cannot give this file (no usable index, a range answered
    // wrongly, a local read or write failed): fetch it whole instead.
    void unusable(QString reason);
    // A transfer failed in the network; resume() tries again.
    void networkError(QNetworkReply::NetworkError code, QString text);

private:
    void fetchIndex();
    void indexReceived();
    void chunkOldFile();
    void runSteps();
    void fetchRange();
    // Asks for the block hashes of the chunks of fetch step `step`, to
    // split it into the blocks still at hand and those to fetch.
    void refineStep(int step);
    void splitStep(int step, const QByteArray &hashes);
    void rangeData();
    void rangeFinished();
    void fail(const QString &reason);
    void endTransfer();

    RequestMaker m_makeRequest;
    QString m_fileUrl;
    QString m_indexUrl;
    QString m_indexSha256;
    qint64 m_newSize = 0;
    QFile m_old;
    StagedFile *m_target = nullptr;

    QPointer<HttpTransfer> m_transfer;
    QByteArray m_indexBytes;
    ChunkIndex m_index;
    Chunker m_chunker;
    QVector<Chunk> m_oldChunks;
    ChunkPlan m_plan;
    // The steps being carried out: the plan's, with fetches split into
    // blocks where block hashes allow; m_final marks those not to split.
    QVector<ChunkPlan::Step> m_steps;
    QVector<bool> m_final;
    QVector<qint64> m_blockStart; // blocks before each chunk of the index
    QString m_blocksUrl;
    qint64 m_fetchTotal = 0;
    bool m_planned = false;
    int m_step = 0;
    qint64 m_stepDone = 0; // bytes of the current step already written
    qint64 m_fetched = 0;
    bool m_stopped = false;
    QString m_error;
    QByteArray m_buffer;
    QTimer m_slice;
    std::function<void()> m_nextSlice;
};

#endif // CHUNKEDFETCH_H
