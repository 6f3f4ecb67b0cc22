#ifndef MANIFESTREADER_H
#define MANIFESTREADER_H

#include "manifesttree.h"

#include <QByteArray>
#include <QString>

class QIODevice;

// Reads a manifest into a ManifestTree as it streams in, holding only the
// piece being parsed, never the whole text or a DOM. The tree is what the
// DOM parser would make of the text (values as written, apart from
// references; whitespace-only text dropped), and the same bounds and
// refusals apply as for readManifestDocument() (manifest.h), with the same
// one-line reasons.
//
// Plain manifests, which is what every writer here produces, are checked
// completely by the reader itself. Anything else (comments, processing
// instructions, CDATA, text, names beyond ASCII) is also checked by Qt's
// stream parser over the whole text, and so is any text the reader refuses,
// so that the reason is that parser's.
class ManifestReader
{
public:
    // Reads from `device`, opening it for reading when it is not open yet;
    // it is left open. A device that cannot seek is read whole first.
    explicit ManifestReader(QIODevice *device);
    // The same, named `name` in reasons.
    ManifestReader(QIODevice *device, const QString &name);
    // Reads `bytes`, a manifest named `name` in reasons.
    ManifestReader(const QByteArray &bytes, const QString &name);

    // The whole manifest into `tree`, which is emptied first (it keeps its
    // store). False, with errorString(), when it is refused; the tree is
    // then empty.
    bool read(ManifestTree *tree);
    // Only the root element with its attributes: reads no further than its
    // start tag, so that a release can be refused before anything large is
    // read or built. A read() afterwards starts from the beginning again.
    bool readRoot(ManifestTree *tree);
    QString errorString() const { return m_error; }

    // The whole manifest of the file at `path`.
    static bool readFile(const QString &path, ManifestTree *tree, QString *error);

    // The bounded reading and the checks that every manifest reader shares.
    // The device's bytes, at most kManifestMaxBytes of them.
    static bool readBounded(QIODevice *device, const QString &name, QByteArray *bytes, QString *error);
    // The markup and token checks of a manifest's whole text.
    static bool checkText(const QByteArray &bytes, const QString &name, QString *error);
    // How a device is named in reasons: its file name when it has one.
    static QString deviceName(QIODevice *device);
    // A reason as one line: control and separator characters escaped.
    static QString oneLine(const QString &text);

private:
    bool parse(ManifestTree *tree, bool rootOnly);
    bool validateWhole(qint64 failure, const QString &failureReason);
    bool validateRoot();
    bool fail(const QString &reason);

    QIODevice *m_device = nullptr;
    QByteArray m_bytes;
    bool m_fromBytes = false;
    QString m_name;
    QString m_error;
    qint64 m_start = 0; // where the device's manifest starts
    bool m_started = false;
};

#endif // MANIFESTREADER_H
