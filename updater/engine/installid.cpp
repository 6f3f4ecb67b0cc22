#include "installid.h"

#include "folderhandle.h"
#include "log.h"
#include "nativename.h"
#include "stagedfile.h"

#include <QFile>
#include <QRandomGenerator>

namespace {

platform::FolderHandle openFolder(const QString &folder, QString *error)
{
    platform::Result result;
    platform::FolderHandle handle = platform::FolderHandle::open(NativeName::of(folder), &result);
    if (!handle.isOpen())
        *error = QStringLiteral("cannot open %1: %2").arg(folder, NativeName::errorOf(result));
    return handle;
}

} // namespace

QByteArray InstallId::text(quint64 id)
{
    return QByteArray::number(id, 16).rightJustified(16, '0');
}

bool InstallId::read(const QString &folder, quint64 *id, QString *error, bool *missing)
{
    if (missing)
        *missing = false;
    const platform::FolderHandle handle = openFolder(folder, error);
    if (!handle.isOpen())
        return false;
    int descriptor = -1;
    const platform::Result opened =
        handle.openFile(NativeName::of(fileName()), platform::FolderHandle::FileAccess::Read, &descriptor);
    if (!opened) {
        if (missing)
            *missing = opened.kind() == platform::Result::Kind::Missing;
        *error = QStringLiteral("%1: %2").arg(fileName(), NativeName::errorOf(opened));
        return false;
    }
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *error = QStringLiteral("%1: %2").arg(fileName(), file.errorString());
        return false;
    }
    const QByteArray content = file.read(64);
    const QByteArray digits = content.endsWith('\n') ? content.chopped(1) : content;
    bool ok = digits.size() == 16;
    for (const char c : digits)
        ok = ok && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) {
        *error = QStringLiteral("%1 holds no id").arg(fileName());
        return false;
    }
    *id = digits.toULongLong(nullptr, 16);
    return true;
}

bool InstallId::obtain(const QString &folder, quint64 *id, QString *error)
{
    bool missing = false;
    QString readError;
    if (read(folder, id, &readError, &missing))
        return true;
    if (!missing)
        LOG_WARN() << QStringLiteral("installation id unusable, a new one is made: ") + readError << Qt::endl;
    const platform::FolderHandle handle = openFolder(folder, error);
    if (!handle.isOpen())
        return false;
    const quint64 made = QRandomGenerator::system()->generate64();
    const QByteArray content = text(made) + '\n';
    StagedFile staged;
    if (!staged.create(handle) || staged.write(content) != content.size() || staged.writeFailed()
        || !staged.flushToDisk() || !staged.commit(fileName())) {
        *error = QStringLiteral("cannot write %1 in %2: %3").arg(fileName(), folder, staged.errorString());
        return false;
    }
    *id = made;
    LOG_INFO() << QStringLiteral("installation id made: ") + QString::fromLatin1(text(made)) << Qt::endl;
    return true;
}
