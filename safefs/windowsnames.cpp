#include "windowsnames.h"

#include "entryname.h"

QString WindowsNames::problem(const QString &name)
{
    return QString::fromStdString(platform::EntryName::windowsProblem(name.toStdString()));
}

QString WindowsNames::key(const QString &name)
{
    return QString::fromStdString(platform::EntryName::windowsKey(name.toStdString()));
}

QString WindowsNames::problemInFolder(const QString &name, QHash<QString, QString> *seen)
{
    const QString problem = WindowsNames::problem(name);
    const QString key = WindowsNames::key(name);
    const QString first = seen->value(key);
    if (first.isNull())
        seen->insert(key, name);
    else if (first != name && problem.isEmpty())
        return QStringLiteral("it differs from '%1' only in case").arg(first);
    return problem;
}

bool WindowsNames::refusedHere()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}
