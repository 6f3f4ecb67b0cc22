#include "destinationfolder.h"

#include "nativename.h"

#include <QFileInfo>

namespace {

using Folder = platform::FolderHandle;
using Kind = Folder::EntryKind;

// More open levels than this and the cache starts over: each holds a
// descriptor, and a process has about a thousand.
const int kMaximumOpenLevels = 64;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString joined(const QString &folder, const QString &name)
{
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

} // namespace

DestinationFolder::DestinationFolder(const QString &root)
{
    if (root.isEmpty()) {
        m_openError = QStringLiteral("no destination folder");
        return;
    }
    // The one path followed as given: the user chose it, links and all.
    const QString canonical = QFileInfo(root).canonicalFilePath();
    if (canonical.isEmpty()) {
        m_openError = QStringLiteral("%1 does not exist").arg(root);
        return;
    }
    platform::Result result;
    m_root = Folder::open(NativeName::of(canonical), &result);
    if (m_root.isOpen())
        m_rootPath = canonical;
    else
        m_openError = NativeName::errorOf(result);
}

QString DestinationFolder::pathOf(const QString &relativePath) const
{
    return relativePath.isEmpty() ? m_rootPath : m_rootPath + QLatin1Char('/') + relativePath;
}

Folder DestinationFolder::makeFolder(const QString &relativeDir, QString *error) const
{
    return resolve(relativeDir, Mode::Create, error, nullptr);
}

Folder DestinationFolder::existingFolder(const QString &relativeDir, QString *error, bool *missing) const
{
    return resolve(relativeDir, Mode::Existing, error, missing);
}

Folder DestinationFolder::stagingFolder(const QString &relativeDir, QString *error) const
{
    return resolve(relativeDir, Mode::Staging, error, nullptr);
}

void DestinationFolder::allowFolderInPlaceOfFile(const QString &relativePath)
{
    m_mayGiveWay.insert(relativePath);
}

Folder DestinationFolder::resolve(const QString &relativeDir, Mode mode, QString *error, bool *missing) const
{
    if (missing)
        *missing = false;
    if (!m_root.isOpen()) {
        setError(error, QStringLiteral("the destination folder cannot be opened: ") + m_openError);
        return Folder();
    }
    const QStringList levels = relativeDir.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    Folder current = m_root;
    QString path;
    for (const QString &level : levels) {
        if (level == QLatin1String(".") || level == QLatin1String("..")) {
            setError(error, QStringLiteral("'%1' is not a folder name").arg(level));
            return Folder();
        }
        path = joined(path, level);
        const platform::NativeText::String name = NativeName::of(level);
        Folder::Identity now;
        Kind kind = current.kindOf(name, &now);
        if (kind == Kind::File && mode != Mode::Existing && m_mayGiveWay.contains(path)) {
            // The installed file makes room for the release's folder, but
            // only once something is ready to go into it.
            if (mode == Mode::Staging)
                return current;
            const platform::Result removed = current.removeFile(name);
            if (!removed) {
                setError(error, NativeName::errorOf(removed));
                return Folder();
            }
            m_gaveWay.insert(path);
            m_seen.remove(path);
            kind = Kind::None;
        }
        const Folder::Identity seen = m_seen.value(path);
        switch (kind) {
        case Kind::Link:
            setError(error, QStringLiteral("%1 is a link").arg(pathOf(path)));
            return Folder();
        case Kind::File:
        case Kind::Other:
            setError(error, QStringLiteral("%1 is not a folder").arg(pathOf(path)));
            return Folder();
        case Kind::None: {
            if (seen.valid) {
                setError(error, QStringLiteral("%1 changed during the run: it is gone").arg(pathOf(path)));
                return Folder();
            }
            if (mode == Mode::Existing) {
                if (missing)
                    *missing = true;
                setError(error, QStringLiteral("%1 does not exist").arg(pathOf(path)));
                return Folder();
            }
            platform::Result made;
            const Folder child = current.openFolder(name, true, &made);
            if (!child.isOpen()) {
                setError(error, NativeName::errorOf(made));
                return Folder();
            }
            m_seen.insert(path, child.identity());
            current = child;
            break;
        }
        case Kind::Folder: {
            const Folder cached = m_open.value(path);
            if (cached.isOpen() && cached.identity() == now) {
                current = cached;
                continue;
            }
            if (seen.valid && seen != now) {
                setError(error, QStringLiteral("%1 changed during the run: another folder is there").arg(pathOf(path)));
                return Folder();
            }
            platform::Result opened;
            const Folder child = current.openFolder(name, false, &opened);
            if (!child.isOpen()) {
                setError(error, NativeName::errorOf(opened));
                return Folder();
            }
            // Swapped between the look and the open.
            if (child.identity() != now) {
                setError(error, QStringLiteral("%1 changed during the run").arg(pathOf(path)));
                return Folder();
            }
            m_seen.insert(path, now);
            current = child;
            break;
        }
        }
        if (m_open.size() >= kMaximumOpenLevels)
            m_open.clear();
        m_open.insert(path, current);
    }
    return current;
}

void DestinationFolder::forget(const QString &relativePath) const
{
    const QString below = relativePath + QLatin1Char('/');
    for (auto it = m_open.begin(); it != m_open.end();) {
        if (it.key() == relativePath || it.key().startsWith(below))
            it = m_open.erase(it);
        else
            ++it;
    }
    for (auto it = m_seen.begin(); it != m_seen.end();) {
        if (it.key() == relativePath || it.key().startsWith(below))
            it = m_seen.erase(it);
        else
            ++it;
    }
}

bool DestinationFolder::removeFile(const QString &relativeDir, const QString &name, QString *error)
{
    bool missing = false;
    const Folder folder = existingFolder(relativeDir, error, &missing);
    if (!folder.isOpen())
        return missing;
    const platform::NativeText::String native = NativeName::of(name);
    if (folder.kindOf(native) == Kind::None)
        return true;
    const platform::Result removed = folder.removeFile(native);
    setError(error, NativeName::errorOf(removed));
    return removed.ok();
}

bool DestinationFolder::clearFolder(const Folder &folder, const QString &prefix, const QSet<QString> &listed,
                                    bool dryRun, QStringList *kept, QString *error) const
{
    std::vector<Folder::Entry> entries;
    const platform::Result listing = folder.list(&entries);
    if (!listing) {
        setError(error, NativeName::errorOf(listing));
        return false;
    }
    bool empty = true;
    for (const Folder::Entry &entry : entries) {
        const QString name = NativeName::toQString(entry.name);
        const QString relative = prefix + name;
        if (entry.kind == Kind::Folder && listed.contains(relative + QLatin1Char('/'))) {
            bool emptied = false;
            {
                // Closed before its removal: Windows keeps a held folder.
                platform::Result opened;
                const Folder child = folder.openFolder(entry.name, false, &opened);
                if (!child.isOpen()) {
                    setError(error, NativeName::errorOf(opened));
                    empty = false;
                    continue;
                }
                emptied = clearFolder(child, relative + QLatin1Char('/'), listed, dryRun, kept, error);
            }
            if (!emptied) {
                empty = false;
            } else if (!dryRun) {
                const platform::Result removed = folder.removeEmptyFolder(entry.name);
                if (!removed) {
                    setError(error, NativeName::errorOf(removed));
                    empty = false;
                }
            }
        } else if ((entry.kind == Kind::File || entry.kind == Kind::Link) && listed.contains(relative)) {
            if (!dryRun) {
                const platform::Result removed = folder.removeFile(entry.name);
                if (!removed) {
                    setError(error, NativeName::errorOf(removed));
                    empty = false;
                }
            }
        } else {
            kept->append(entry.kind == Kind::Folder ? relative + QLatin1Char('/') : relative);
            empty = false;
        }
    }
    return empty;
}

bool DestinationFolder::removeFolder(const QString &relativeDir, const QString &name, const QSet<QString> &listed,
                                     bool allOrNothing, QStringList *kept, QString *error)
{
    bool missing = false;
    const Folder parent = existingFolder(relativeDir, error, &missing);
    if (!parent.isOpen())
        return missing;
    const platform::NativeText::String native = NativeName::of(name);
    const QString path = joined(relativeDir, name);
    switch (parent.kindOf(native)) {
    case Kind::None:
        return true;
    case Kind::Link: {
        // What it leads to is not ours; the link at our name goes.
        const platform::Result removed = parent.removeFile(native);
        setError(error, NativeName::errorOf(removed));
        return removed.ok();
    }
    case Kind::File:
    case Kind::Other:
        setError(error, QStringLiteral("%1 is not a folder").arg(pathOf(path)));
        return false;
    case Kind::Folder:
        break;
    }
    forget(path);
    bool emptied = false;
    {
        platform::Result opened;
        const Folder folder = parent.openFolder(native, false, &opened);
        if (!folder.isOpen()) {
            setError(error, NativeName::errorOf(opened));
            return false;
        }
        QStringList wouldKeep;
        if (allOrNothing && !clearFolder(folder, QString(), listed, true, &wouldKeep, error)) {
            *kept += wouldKeep;
            return false;
        }
        emptied = clearFolder(folder, QString(), listed, false, kept, error);
    }
    if (!emptied)
        return false;
    const platform::Result removed = parent.removeEmptyFolder(native);
    setError(error, NativeName::errorOf(removed));
    return removed.ok();
}

bool DestinationFolder::sync(QString *error) const
{
    if (!m_root.isOpen()) {
        setError(error, m_openError);
        return false;
    }
    const platform::Result synced = m_root.sync();
    setError(error, NativeName::errorOf(synced));
    return synced.ok();
}
