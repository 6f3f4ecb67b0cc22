#ifndef TREECOMPARISON_H
#define TREECOMPARISON_H

#include "manifestcomparison.h"
#include "manifesttree.h"

#include <vector>

// The comparison of a distant and a local manifest tree, with exactly the
// records and the local directory copies that compareDirectories() makes
// on DOM trees. Each level is matched in one merge pass over its children
// ordered by name, instead of a search per entry.
class TreeComparison
{
public:
    // One difference, as in DOM_DIFF: for NEW, `local` is the local node
    // the entry goes under; for CHANGED, the local file to update; for
    // REMOVED, both are the local entry.
    struct Difference
    {
        int type;
        ManifestTree::Node distant;
        ManifestTree::Node local;
    };

    // Compares the two roots. `local` must share the distant tree's store
    // (it was made with ManifestTree(distant)): the directories that only
    // the distant tree has are copied into it, without their files. An
    // empty distant tree lists every local entry as REMOVED; an empty local
    // tree gives NEW records whose copies stay detached.
    static std::vector<Difference> compare(const ManifestTree &distant, ManifestTree *local);

    // needsUpdate() on tree nodes: a later distant date, or a checksum,
    // size, version or url that differs as text.
    static bool needsUpdate(const ManifestTree &distant, ManifestTree::Node distantFile, const ManifestTree &local,
                            ManifestTree::Node localFile);
};

#endif // TREECOMPARISON_H
