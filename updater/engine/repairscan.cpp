#include "repairscan.h"

#include "destinationfolder.h"
#include "filechecksum.h"
#include "nativename.h"
#include "parallelwork.h"
#include "safepath.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <numeric>

namespace {

// Folders held open at once: each holds a descriptor.
constexpr size_t kFoldersAtOnce = 64;

struct Listed
{
    ManifestTree::Node distant;
    ManifestTree::Node local;
    QString folder; // relative, with a final "/", or empty
    QString name;
};

// Pairs the files of a local directory with the release's files of the
// same path, as the comparison matches entries: by name, the first of a
// name on each side.
void pairFiles(const ManifestTree &distant, ManifestTree::Node distantDirectory, const ManifestTree &local,
               ManifestTree::Node localDirectory, const QString &folder, const QSet<ManifestTree::Node> &skip,
               std::vector<Listed> *files)
{
    QHash<QString, ManifestTree::Node> release;
    for (ManifestTree::Node child = distant.firstChild(distantDirectory); child != ManifestTree::kNone;
         child = distant.nextSibling(child)) {
        const QString name = distant.attributeText(child, ManifestTree::NameAttribute);
        if (distant.isElement(child) && !release.contains(name))
            release.insert(name, child);
    }
    QSet<QString> seen;
    for (ManifestTree::Node child = local.firstChild(localDirectory); child != ManifestTree::kNone;
         child = local.nextSibling(child)) {
        const QString name = local.attributeText(child, ManifestTree::NameAttribute);
        if (!local.isElement(child) || seen.contains(name) || !isSafeEntryName(name))
            continue;
        seen.insert(name);
        const ManifestTree::Node twin = release.value(name, ManifestTree::kNone);
        if (twin == ManifestTree::kNone)
            continue; // not in the release: nothing to repair it from
        if (local.isFile(child) && distant.isFile(twin) && !skip.contains(child))
            files->push_back(Listed{twin, child, folder, name});
        else if (local.isDirectory(child) && distant.isDirectory(twin))
            pairFiles(distant, twin, local, child, folder + name + QLatin1Char('/'), skip, files);
    }
}

// Why the file is not the release's entry; empty when it is.
QString damageOf(const platform::FolderHandle &folder, const QString &name, const ManifestTree &distant,
                 ManifestTree::Node entry)
{
    int descriptor = -1;
    const platform::Result opened =
        folder.openFile(NativeName::of(name), platform::FolderHandle::FileAccess::Read, &descriptor);
    if (!opened)
        return opened.kind() == platform::Result::Kind::Missing ? QStringLiteral("missing") : NativeName::errorOf(opened);
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return file.errorString();
    bool sized = false;
    const qint64 size = distant.attributeText(entry, ManifestTree::SizeAttribute).toLongLong(&sized);
    if (!sized || file.size() != size)
        return QStringLiteral("size");
    qint64 bytes = 0;
    const FileChecksums checksums = readChecksums(file, nullptr, &bytes);
    if (checksums.sha1.isEmpty() || bytes != size)
        return file.errorString().isEmpty() ? QStringLiteral("unreadable") : file.errorString();
    const QString sha256 = distant.attributeText(entry, ManifestTree::Sha256Attribute);
    if (checksums.sha1 != distant.attributeText(entry, ManifestTree::CrcAttribute).toLower()
        || (!sha256.isEmpty() && checksums.sha256 != sha256.toLower()))
        return QStringLiteral("checksum");
    return QString();
}

} // namespace

std::vector<RepairScan::Damage> RepairScan::run(const ManifestTree &distant, const ManifestTree &local,
                                                const DestinationFolder &destination,
                                                const QSet<ManifestTree::Node> &skip, int threads)
{
    std::vector<Listed> files;
    if (!distant.isEmpty() && !local.isEmpty())
        pairFiles(distant, distant.root(), local, local.root(), QString(), skip, &files);

    // Folder by folder, so that only a few are open at once; within a
    // batch, every file is read on every core.
    std::vector<size_t> order(files.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return files[a].folder < files[b].folder; });
    std::vector<QString> reasons(files.size());
    size_t begin = 0;
    while (begin < order.size()) {
        // The folders of this batch, opened here on the calling thread; a
        // folder that cannot be opened gives its reason to all its files.
        std::vector<platform::FolderHandle> handles;
        std::vector<QString> folderErrors;
        std::vector<size_t> folderOf;
        size_t end = begin;
        for (; end < order.size(); ++end) {
            const QString &folder = files[order[end]].folder;
            if (end == begin || folder != files[order[end - 1]].folder) {
                if (handles.size() == kFoldersAtOnce)
                    break;
                QString error;
                bool missing = false;
                handles.push_back(destination.existingFolder(folder, &error, &missing));
                folderErrors.push_back(missing ? QStringLiteral("missing") : error);
            }
            folderOf.push_back(handles.size() - 1);
        }
        ParallelWork::run(end - begin, threads, [&](size_t i) {
            const Listed &file = files[order[begin + i]];
            const platform::FolderHandle &folder = handles[folderOf[i]];
            reasons[order[begin + i]] = folder.isOpen() ? damageOf(folder, file.name, distant, file.distant)
                                                        : folderErrors[folderOf[i]];
        });
        begin = end;
    }

    std::vector<Damage> damage;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!reasons[i].isEmpty())
            damage.push_back(Damage{files[i].distant, files[i].local, files[i].folder + files[i].name, reasons[i]});
    }
    return damage;
}
