#include "updatecheck.h"

#include "chunker.h"
#include "chunkindex.h"
#include "chunkplan.h"
#include "destinationfolder.h"
#include "digesttext.h"
#include "log.h"
#include "manifest.h"
#include "manifestelements.h"
#include "manifestupdate.h"
#include "nativename.h"
#include "releasefilefetch.h"
#include "releasenotes.h"
#include "safepath.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonValue orNull(const QString &text)
{
    return text.isNull() ? QJsonValue() : QJsonValue(text);
}

// What the file costs when built from its chunks and the installed file:
// the index and the ranges the plan fetches (block hashes may save more).
// -1 when the chunks cannot be used, as the run would then find too.
qint64 chunkedCost(const UpdateCheck::Release &release, const QDomElement &file, qint64 size)
{
    const QString indexUrl = file.attribute(QStringLiteral("chunks"));
    const QString indexSha256 = file.attribute(QStringLiteral("chunks_sha256"));
    if (indexUrl.isEmpty() || !isSha256Hex(indexSha256) || !ReleaseNotes::urlProblem(indexUrl).isEmpty())
        return -1;
    // The installed file, opened from its folder and never through a link.
    QString error;
    const platform::FolderHandle folder = release.destination->existingFolder(
        elementPath(file).chopped(file.attribute(QStringLiteral("name")).size()), &error);
    int descriptor = -1;
    if (!folder.isOpen()
        || !folder.openFile(NativeName::of(file.attribute(QStringLiteral("name"))), platform::FolderHandle::FileAccess::Read,
                            &descriptor))
        return -1;
    QFile installed;
    if (!installed.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return -1;

    ReleaseFileFetch fetch(release.client, release.updateUrl, release.filesUrl);
    fetch.start(indexUrl, ChunkIndex::maxIndexSize(size), release.timeoutMs);
    ChunkIndex index;
    if (!fetch.waitForFinished()
        || QString::fromLatin1(QCryptographicHash::hash(fetch.bytes(), QCryptographicHash::Sha256).toHex()) != indexSha256
        || !ChunkIndex::fromBytes(fetch.bytes(), &index, &error) || index.fileSize() != size)
        return -1;
    QVector<Chunk> old;
    if (!Chunker::chunkDevice(&installed, &old, &error))
        return -1;
    return fetch.bytes().size() + ChunkPlan(index, old).fetchBytes();
}

} // namespace

int UpdateCheck::report(const Release &release, QByteArray *json)
{
    const ManifestUpdate &update = *release.update;
    const ManifestTree &distant = update.distant();
    const ManifestTree &local = update.local();
    ManifestElements elements(&distant);

    QJsonArray fetch, remove, problems;
    qint64 whole = 0, withChunks = 0;
    const std::vector<TreeComparison::Difference> &differences = update.differences();
    for (size_t i = 0; i < differences.size(); ++i) {
        const TreeComparison::Difference &difference = differences[i];
        if (difference.type == REMOVED) {
            // A repair deletes nothing.
            if (!release.repair)
                remove.append(local.path(difference.local) + (local.isDirectory(difference.local) ? QStringLiteral("/") : QString()));
            continue;
        }
        if (!distant.isFile(difference.distant))
            continue;
        const QDomElement file = elements.element(difference.distant);
        const QString path = elementPath(file);
        // The same refusals as the run's, which would count them as failed.
        QString problem;
        if (!isSafeEntryPath(file))
            problem = QStringLiteral("unsafe entry path");
        else if (release.signedRelease && !isSha256Hex(file.attribute(QStringLiteral("sha256"))))
            problem = QStringLiteral("no SHA-256 in a signed release");
        if (!problem.isEmpty()) {
            problems.append(QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("reason"), problem}});
            elements.release(file);
            continue;
        }
        const qint64 size = file.attribute(QStringLiteral("size")).toLongLong();
        const QString reason = release.damage.contains(quint32(i)) ? release.damage.value(quint32(i))
                               : difference.type == NEW            ? QStringLiteral("new")
                                                                   : QStringLiteral("changed");
        fetch.append(QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("size"), size}, {QStringLiteral("reason"), reason}});
        whole += size;
        const qint64 chunked = difference.type == CHANGED ? chunkedCost(release, file, size) : -1;
        withChunks += chunked >= 0 ? qMin(chunked, size) : size;
        elements.release(file);
    }

    const QString distantVersion = release.distantRoot.attribute(QStringLiteral("version"));
    QString status;
    int exitStatus = UpToDate;
    if (release.rollout.state == Rollout::Decision::NotOffered) {
        status = QStringLiteral("not yet offered");
    } else if (!fetch.isEmpty() || !remove.isEmpty() || !problems.isEmpty()
               || (!release.repair && distantVersion != release.localVersion)) {
        status = release.repair ? QStringLiteral("repair needed") : QStringLiteral("update available");
        exitStatus = UpdateAvailable;
    } else {
        status = QStringLiteral("up to date");
    }

    QJsonObject object{{QStringLiteral("status"), status},
                       {QStringLiteral("local_version"), release.localVersion},
                       {QStringLiteral("distant_version"), distantVersion},
                       {QStringLiteral("repair"), release.repair},
                       {QStringLiteral("fetch"), fetch},
                       {QStringLiteral("delete"), remove},
                       {QStringLiteral("bytes_to_fetch"), whole},
                       {QStringLiteral("bytes_to_fetch_with_chunks"), withChunks}};
    if (!problems.isEmpty())
        object.insert(QStringLiteral("problems"), problems);
    if (release.distantRoot.hasAttribute(QStringLiteral("channel")))
        object.insert(QStringLiteral("channel"), release.distantRoot.attribute(QStringLiteral("channel")));

    const Rollout::Decision &rollout = release.rollout;
    object.insert(QStringLiteral("rollout"),
                  QJsonObject{{QStringLiteral("percent"), rollout.percent >= 0 ? QJsonValue(rollout.percent) : QJsonValue()},
                              {QStringLiteral("offered"), rollout.state == Rollout::Decision::Unknown
                                                              ? QJsonValue()
                                                              : QJsonValue(rollout.state == Rollout::Decision::Offered)},
                              {QStringLiteral("ignored"), rollout.ignored},
                              {QStringLiteral("reason"), orNull(rollout.reason.isEmpty() ? QString() : rollout.reason)}});

    ReleaseNotes notes(release.client, release.updateUrl, release.filesUrl);
    if (release.distantRoot.hasAttribute(QStringLiteral("notes_url"))) {
        const bool started = notes.start(release.distantRoot, release.signedRelease, release.timeoutMs);
        const bool available = started && notes.waitForFinished();
        if (!available)
            LOG_WARN() << QStringLiteral("release notes not shown: ") + notes.errorString() << Qt::endl;
        object.insert(QStringLiteral("notes"),
                      QJsonObject{{QStringLiteral("url"), notes.url()},
                                  {QStringLiteral("format"), notes.isHtml() ? QStringLiteral("html") : QStringLiteral("text")},
                                  {QStringLiteral("text"), available ? QJsonValue(notes.text()) : QJsonValue()},
                                  {QStringLiteral("error"), available ? QJsonValue() : QJsonValue(notes.errorString())}});
    } else {
        object.insert(QStringLiteral("notes"), QJsonValue());
    }

    LOG_INFO() << QStringLiteral("check: %1; distant version %2, local version %3; %4 file(s) to fetch, %5 bytes (%6 with chunks), "
                                 "%7 to delete")
                      .arg(status, distantVersion, release.localVersion)
                      .arg(fetch.size())
                      .arg(whole)
                      .arg(withChunks)
                      .arg(remove.size())
               << Qt::endl;
    *json = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    return exitStatus;
}

QByteArray UpdateCheck::failure(const QString &status, const QString &error, const QString &distantVersion,
                                const QString &localVersion)
{
    const QJsonObject object{{QStringLiteral("status"), status},
                             {QStringLiteral("error"), error},
                             {QStringLiteral("local_version"), orNull(localVersion)},
                             {QStringLiteral("distant_version"), orNull(distantVersion)}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}
