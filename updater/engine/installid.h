#ifndef INSTALLID_H
#define INSTALLID_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The random 64-bit id of one installation, kept in the file "install-id"
// beside its local manifest as 16 lower-case hex digits and a line feed.
// It is made once, by the first run that needs it, and read by every
// later one; a staged rollout (Rollout) decides by it.
class InstallId
{
public:
    static QString fileName() { return QStringLiteral("install-id"); }

    // How the id is written: 16 lower-case hex digits, without line feed.
    static QByteArray text(quint64 id);

    // The id kept in `folder`. False when there is none (*missing set) or
    // it cannot be read: not a regular file (a link is never followed),
    // not an id, or an error that *error names.
    static bool read(const QString &folder, quint64 *id, QString *error, bool *missing = nullptr);

    // The id kept in `folder`; when there is none, or what is there is not
    // one, a new random id is made and written there first, in one rename
    // (a link there is replaced, never written through). False, with
    // *error, when it cannot be written.
    static bool obtain(const QString &folder, quint64 *id, QString *error);
};

#endif // INSTALLID_H
