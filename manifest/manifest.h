#ifndef MANIFEST_H
#define MANIFEST_H

#include <QCryptographicHash>
#include <QDate>
#include <QDomDocument>
#include <QDomElement>
#include <QObject>
#include <QString>

class QIODevice;

// Element accessors. Every reader of a manifest goes through these so that
// a missing attribute reads the same everywhere. A null element or a node
// that is not an element reads as "all attributes missing".
QString elementName(QDomNode node);    // "name", default "NULL"
QString elementSize(QDomNode node);    // "size", default "0"
QString elementCrc(QDomNode node);     // "crc", default empty
QString elementVersion(QDomNode node); // "version", default "0"
QString elementUrl(QDomNode node);     // "url", default "."
// Only the calendar date counts; the time of day is ignored. A missing or
// unparsable date gives an invalid QDate, which compares earlier than any
// valid date.
QDate elementDate(QDomNode node);
bool isDirectory(QDomNode node); // an element whose tag is exactly "directory"
bool isFile(QDomNode node);      // an element whose tag is exactly "file"

// Path of an entry relative to the tree's root folder, built from the
// nesting of "directory" elements ("bin/plugins/a.dll").
QString elementPath(QDomElement element);

// Lower-case hex digest of the Latin-1 bytes of text.
QString hashHex(const QString &text, QCryptographicHash::Algorithm algorithm);

// Puts the children of node, and of all its directory descendants, in
// canonical order: files before directories, each group by ordinal name,
// equal names in their previous order. Nodes that are neither "file" nor
// "directory" elements stay where they are and nothing moves across them.
void sortTree(QDomNode node);

// The text the global checksum is computed from: file checksums and
// directory names in document order.
QString canonicalString(QDomElement element);

// What a manifest reader accepts. A manifest comes from outside, so these
// are checked by flat scans of the bytes before any tree is built from them:
// - Qt's DOM parser and writer recurse once per nesting level and overflow
//   the stack at about ten thousand levels; real trees are a few levels deep.
//   Element levels are counted with the root as level 1.
// - The whole file is held in memory while it is parsed, and the DOM tree
//   takes about 500 bytes per node (element, attribute, text or comment).
//   A 35 MB manifest of 240,000 files has 1.2 million nodes and takes
//   730 MB; both bounds leave room for manifests three times as large and
//   keep a hostile one near 2 GB.
// - Qt's stream parser, used for the scan, compares each attribute with all
//   earlier ones of its element; an element has at most 6 in a manifest.
// - The text is UTF-8, as every manifest writer here writes it, and has no
//   document type declaration (the source of entity expansion and of default
//   attributes); the scans rely on both.
constexpr int kManifestMaxDepth = 256;
constexpr qint64 kManifestMaxBytes = qint64(128) << 20;
constexpr qint64 kManifestMaxNodes = 4000000;
constexpr int kManifestMaxAttributes = 64;

// Reading and writing manifest files. A file that cannot be opened, read or
// parsed, or that breaks a bound above, reads as a null document; callers
// decide what that means. With `error`, the reason is put there as one line
// ("cannot open manifest 'm.xml': No such file or directory",
// "m.xml:3:7: manifest does not parse: ...", "m.xml:257:12: manifest nested
// deeper than 256 levels"); it is left alone on success. A device that is not
// open is opened for reading and left open. The caller keeps the document: a
// root element alone does not keep its document alive, and using it after
// the document is gone crashes.
QDomDocument readManifestDocument(QIODevice *device);
QDomDocument readManifestDocument(QIODevice *device, QString *error);
QDomDocument readManifestDocument(const QString &path);
QDomDocument readManifestDocument(const QString &path, QString *error);
// Both writers go through a temporary file that replaces the target only
// once everything is written, so a crash never leaves a truncated manifest.
// They return false when the file could not be written.
bool saveManifestRoot(const QString &path, const QDomElement &root, QString *error = nullptr);
bool saveManifestDocument(const QString &path, const QDomDocument &document, QString *error = nullptr);
// Writes the document as saveManifestDocument would put it in a file, to an
// open device (standard output, say); false when a write failed.
bool writeManifestDocument(QIODevice *device, const QDomDocument &document);
// The same for a root element, as saveManifestRoot writes it.
bool writeManifestRoot(QIODevice *device, const QDomElement &root);

// The global checksum of a manifest tree.
class Manifest : public QObject
{
    Q_OBJECT
public:
    explicit Manifest(QDomElement root, QObject *parent = nullptr);

    // Puts the tree in canonical order (this edits the caller's document)
    // and returns the SHA-1 of its canonical string.
    QString globalChecksum();

    QDomElement root;
    // The root's attributes as they were when the object was made.
    QString crc;
    QString version;
    QString date;
};

#endif // MANIFEST_H
