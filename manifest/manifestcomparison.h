#ifndef MANIFESTCOMPARISON_H
#define MANIFESTCOMPARISON_H

#include <QDomElement>
#include <QList>
#include <QPair>
#include <QString>

class QIODevice;

// Kinds of difference between a distant and a local manifest.
enum DiffType {
    CHANGED = 1, // a file on both sides whose distant version replaces the local one
    REMOVED = 2, // a local entry the distant tree no longer lists
    NEW = 3      // a distant entry absent from the local tree
};

// One difference. For NEW, `local` is the local element the new entry goes
// under; for CHANGED, the local element to update; for REMOVED, both fields
// hold the local element itself.
struct DOM_DIFF
{
    QDomElement distant;
    QDomElement local;
    int type = 0;
};

// Parses both devices (opening them if needed; they are left open) and
// returns their document elements, distant first. An unreadable device
// gives a null element. The caller owns the pair; the documents are kept
// until the process ends. A caller that compares more than once holds its
// own documents (readManifestDocument) and builds the pair itself.
QPair<QDomElement, QDomElement> *loadManifestRoots(QIODevice *distantFile, QIODevice *localFile);

// Compares the two roots of `roots` into a new list the caller owns, with
// its records. Directories that exist only on the distant side are copied
// (without content) into the local tree on the way. A null distant root,
// i.e. a distant manifest that could not be read, yields an empty list
// rather than one that removes every installed entry.
QList<DOM_DIFF *> *compareManifests(QPair<QDomElement, QDomElement> *roots);

// Appends to `list` the differences between a distant directory and its
// local counterpart, depth first in distant document order; each level's
// REMOVED records follow everything found below it.
void compareDirectories(QDomElement distant, QDomElement local, QList<DOM_DIFF *> *list);

// Records the content of a directory that is new as a whole: its
// subdirectories are copied under `localCopy` at once and every other
// entry gets a NEW record pointing at its local parent copy.
void addNewSubtree(QDomElement distantDirectory, QDomElement localCopy, QList<DOM_DIFF *> *list);

// First child element of `parent`, whatever its tag, whose "name" (empty
// when absent) equals `name` exactly; a null element when there is none.
QDomElement findChildByName(QDomElement parent, QString name);

// True when the distant date is later, or when checksum, size, version or
// url differ as text.
bool needsUpdate(QDomElement distant, QDomElement local);

#endif // MANIFESTCOMPARISON_H
