#ifndef REPAIRSCAN_H
#define REPAIRSCAN_H

#include "manifesttree.h"

#include <QSet>
#include <QString>

#include <vector>

class DestinationFolder;

// Finds the installed files that are no longer what the local manifest
// says: missing, of another size, or with other content. Each file the
// local tree lists and the release tree lists at the same path is checked
// on disk against the release's entry: its size first, then its SHA-1
// and, when the entry has one, its SHA-256, from one read. Files are read
// on every core, each opened from its opened folder and never through a
// link (a link in a file's place is damage too). Nothing is changed.
class RepairScan
{
public:
    struct Damage
    {
        ManifestTree::Node distant;
        ManifestTree::Node local;
        QString path;
        // "missing", "size", "checksum", or why the file cannot be read.
        QString reason;
    };

    // Files whose local node is in `skip` (already to be fetched) are not
    // read. `threads` as for ParallelWork (0: every core). The damage comes
    // in the local tree's order.
    static std::vector<Damage> run(const ManifestTree &distant, const ManifestTree &local,
                                   const DestinationFolder &destination, const QSet<ManifestTree::Node> &skip,
                                   int threads = 0);
};

#endif // REPAIRSCAN_H
