#ifndef MANIFESTWRITER_H
#define MANIFESTWRITER_H

#include "manifesttree.h"

#include <QByteArray>
#include <QString>

class QIODevice;

// Writes an element of a ManifestTree, with everything below it, into a
// device as it goes, byte for byte as QDomNode::save() at indentation 0
// writes the same element into a UTF-8 text stream: each element on a line
// of its own unless text touches it, attributes in the DOM's order, values
// escaped as the DOM escapes them. Where the bytes end up (a file replaced
// in one step, standard output) is the caller's business.
class ManifestWriter
{
public:
    explicit ManifestWriter(QIODevice *device);

    // False when a write failed or was cut short; errorString() says why.
    // A buffered device may take bytes it cannot keep and only fail when
    // it is closed: open it unbuffered.
    bool write(const ManifestTree &tree, ManifestTree::Node element);
    QString errorString() const { return m_error; }

private:
    void put(const char *data, int size);
    void put(const QByteArray &bytes) { put(bytes.constData(), bytes.size()); }
    void putValue(const ManifestTree::Value &value, bool inAttribute);
    bool flush();
    bool writeOut(const char *data, qint64 size);

    QIODevice *m_device;
    QByteArray m_buffer;
    bool m_failed = false;
    QString m_error;
};

#endif // MANIFESTWRITER_H
