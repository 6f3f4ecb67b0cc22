#include "stagedfile.h"

#include "nativename.h"

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace {

// How much is written before the disk is asked to start writing it out.
const qint64 kWriteBehind = 8 * 1024 * 1024;

} // namespace

StagedFile::StagedFile(QObject *parent)
    : QFile(parent)
{
}

StagedFile::~StagedFile()
{
    discard();
}

bool StagedFile::fail(const QString &text)
{
    setErrorString(text);
    return false;
}

bool StagedFile::create(const platform::FolderHandle &folder)
{
    discard();
    m_written = 0;
    m_handedToDisk = 0;
    m_writeFailed = false;
    m_committed = false;
    m_digests.reset(m_sha256Enabled);
    const platform::Result created = m_pending.create(folder);
    if (!created)
        return fail(NativeName::errorOf(created));
    // The descriptor stays the pending file's: it places and closes it.
    if (!QFile::open(m_pending.descriptor(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                     QFileDevice::DontCloseHandle)) {
        m_pending.discard();
        return fail(QStringLiteral("cannot use the new file in %1: %2")
                        .arg(NativeName::toQString(folder.path()), errorString()));
    }
    return true;
}

bool StagedFile::create(const QString &folder)
{
    platform::Result opened;
    const platform::FolderHandle handle = platform::FolderHandle::open(NativeName::of(folder), &opened);
    if (!handle.isOpen())
        return fail(NativeName::errorOf(opened));
    return create(handle);
}

QString StagedFile::folder() const
{
    return NativeName::toQString(m_pending.folder().path());
}

void StagedFile::setSha256Enabled(bool enabled)
{
    m_sha256Enabled = enabled;
    m_digests.reset(enabled);
}

bool StagedFile::restart()
{
    if (!isOpen() || !resize(0) || !seek(0))
        return fail(QStringLiteral("cannot empty the file: %1").arg(errorString()));
    m_written = 0;
    m_handedToDisk = 0;
    m_writeFailed = false;
    m_digests.reset(m_sha256Enabled);
    return true;
}

qint64 StagedFile::writeData(const char *data, qint64 length)
{
    // A short write is followed by another attempt at the rest: it either
    // goes through or fails with the system's reason ("No space left on
    // device"), which a short count alone does not give.
    qint64 total = 0;
    while (total < length) {
        const qint64 written = QFile::writeData(data + total, length - total);
        if (written <= 0)
            break;
        m_digests.update(data + total, written);
        total += written;
    }
    m_written += total;
#ifdef Q_OS_LINUX
    // Large files are handed to the disk while they arrive, not all at the
    // end: the flush before the manifest is saved then has little left, and
    // dirty pages do not pile up.
    if (m_written - m_handedToDisk >= kWriteBehind) {
        ::sync_file_range(handle(), m_handedToDisk, m_written - m_handedToDisk, SYNC_FILE_RANGE_WRITE);
        m_handedToDisk = m_written;
    }
#endif
    if (total != length) {
        m_writeFailed = true;
        if (error() == QFileDevice::NoError)
            setErrorString(QStringLiteral("short write (%1 of %2 bytes)").arg(total).arg(length));
    }
    return total > 0 ? total : -1;
}

QString StagedFile::sha1Hex() const
{
    return m_digests.sha1Hex();
}

QString StagedFile::sha256Hex() const
{
    return m_digests.sha256Hex();
}

bool StagedFile::flushToDisk()
{
    const platform::Result synced = m_pending.sync();
    return synced ? true : fail(NativeName::errorOf(synced));
}

bool StagedFile::commit(const QString &name)
{
    return commit(m_pending.folder(), name);
}

bool StagedFile::commit(const platform::FolderHandle &target, const QString &name)
{
    if (m_committed || !isOpen())
        return fail(QStringLiteral("nothing to put in place"));
    if (m_writeFailed)
        return fail(QStringLiteral("the file is incomplete: %1").arg(errorString()));
    close();
    const platform::Result placed = m_pending.place(target, NativeName::of(name));
    if (!placed)
        return fail(NativeName::errorOf(placed));
    m_committed = true;
    return true;
}

bool StagedFile::openSibling(const QString &name, QFile *file, QString *error) const
{
    int descriptor = -1;
    const platform::Result opened = m_pending.folder().openFile(NativeName::of(name),
                                                                platform::FolderHandle::FileAccess::Read, &descriptor);
    if (!opened) {
        *error = NativeName::errorOf(opened);
        return false;
    }
    if (!file->open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *error = file->errorString();
        return false;
    }
    return true;
}

void StagedFile::discard()
{
    if (isOpen())
        close();
    if (!m_committed)
        m_pending.discard();
}

int StagedFile::removeLeftovers(const platform::FolderHandle &folder, qint64 minimumAge)
{
    return platform::PendingFile::removeLeftovers(folder, minimumAge);
}
