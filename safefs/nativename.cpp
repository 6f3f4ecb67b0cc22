#include "nativename.h"

#include <QFile>

platform::NativeText::String NativeName::of(const QString &text)
{
#ifdef Q_OS_WIN
    return text.toStdWString();
#else
    // The system's own encoding of file names, as QFile uses it.
    return QFile::encodeName(text).toStdString();
#endif
}

QString NativeName::toQString(const platform::NativeText::String &text)
{
#ifdef Q_OS_WIN
    return QString::fromStdWString(text);
#else
    return QFile::decodeName(QByteArray::fromStdString(text));
#endif
}

QString NativeName::errorOf(const platform::Result &result)
{
    return QString::fromStdString(result.error());
}
