#ifndef MANIFESTUPDATE_H
#define MANIFESTUPDATE_H

#include "manifesttree.h"
#include "treecomparison.h"

#include <QString>

#include <vector>

class QIODevice;

// The two manifests of one update run as compact trees, their differences,
// and the local tree as the run changes it: what the updater reads,
// compares, records and saves, without a DOM. The changes are those the
// DOM calls of a run make (an entry recorded once it is written, a copy
// dropped, an entry removed), so the saved manifest has the same bytes.
class ManifestUpdate
{
public:
    ManifestUpdate();

    // Read into these (ManifestReader), the local one after the distant
    // one or before: they share one store either way.
    ManifestTree &distant() { return m_distant; }
    ManifestTree &local() { return m_local; }
    const ManifestTree &distant() const { return m_distant; }
    const ManifestTree &local() const { return m_local; }

    // Gives an empty local tree a root, so that what the run writes is
    // recorded somewhere.
    void ensureLocalRoot();
    // Compares the trees; the local one gains the new directories.
    void compare();
    const std::vector<TreeComparison::Difference> &differences() const { return m_differences; }
    // A file both trees list alike whose installed copy is damaged: it is
    // fetched again as a CHANGED one is. Returns the difference's index.
    size_t addChanged(ManifestTree::Node distantFile, ManifestTree::Node localFile);

    // A NEW or CHANGED file was put in place: the local tree lists it as
    // the distant one does (a NEW entry as a copy with its content, a
    // CHANGED one with the distant name, checksums, date, version, url and
    // size; attributes the distant entry lacks are dropped). A CHANGED
    // file whose local entry is a directory takes that entry's place.
    void recordWritten(size_t difference);
    // A NEW directory could not be made: its copy leaves the local tree.
    void dropDirectoryCopy(size_t difference);
    // An installed file gave way to a folder of the release: its local entry
    // becomes a directory that keeps only its name and what was recorded
    // below it.
    void makeDirectory(ManifestTree::Node localFile);
    // Nothing of a folder meant to replace a file was placed: the entry
    // stays the installed file, with nothing recorded below it.
    void dropChildren(ManifestTree::Node node);
    // The local entry of a REMOVED record leaves the local tree.
    void removeEntry(size_t difference);

    // Stamps the local root with `version` and the global checksum (which
    // puts the tree in canonical order); returns the checksum.
    QString finish(const QString &version);
    // Writes the local root as the local manifest file holds it.
    bool write(QIODevice *device, QString *error) const;

private:
    ManifestTree m_distant;
    ManifestTree m_local;
    std::vector<TreeComparison::Difference> m_differences;
};

#endif // MANIFESTUPDATE_H
