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

// Reading and writing manifest files. A file that cannot be opened or
// parsed reads as a null document; callers decide what that means. The
// caller keeps the document: a root element alone does not keep its
// document alive, and using it after the document is gone crashes.
QDomDocument readManifestDocument(QIODevice *device);
QDomDocument readManifestDocument(const QString &path);
// The same, saying why a manifest could not be read.
QDomDocument readManifestDocument(QIODevice *device, QString *error);
QDomDocument readManifestDocument(const QString &path, QString *error);
// Both writers go through a temporary file that replaces the target only
// once everything is written, so a crash never leaves a truncated manifest.
// They return false when the file could not be written.
bool saveManifestRoot(const QString &path, const QDomElement &root, QString *error = nullptr);
bool saveManifestDocument(const QString &path, const QDomDocument &document, QString *error = nullptr);
// Writes the document as saveManifestDocument would put it in a file, to an
// open device (standard output, say); false when a write failed.
bool writeManifestDocument(QIODevice *device, const QDomDocument &document);

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
