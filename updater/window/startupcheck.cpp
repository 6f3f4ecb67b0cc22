#include "startupcheck.h"

#include "log.h"
#include "updatersettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTextStream>
#include <QUrl>

namespace {

// folder + "/" + path for a relative path. An absolute path stays as it is:
// glued onto another folder it would name a file that never exists.
QString joined(const QString &folder, const QString &path)
{
    return QDir::isAbsolutePath(path) ? path : folder + QLatin1Char('/') + path;
}

// The path as given if it exists, else the same name beside the updater if
// that exists, else empty.
QString findAsGivenOrInAppDir(const QString &value)
{
    if (QFileInfo::exists(value))
        return value;
    const QString inAppDir = QCoreApplication::applicationDirPath() + QLatin1Char('/') + value;
    return QFileInfo::exists(inAppDir) ? inAppDir : QString();
}

const QStringList &optionNames()
{
    static const QStringList names = {
        QStringLiteral("--callback"), QStringLiteral("--local_path"), QStringLiteral("--distant_path"),
        QStringLiteral("--url"), QStringLiteral("--dir")};
    return names;
}

const QLatin1String silentOption("--silent");

// What a box would have said, for an unattended run that has none.
void printWithoutBox(const QString &caption, const QString &text)
{
    QTextStream(stderr) << "updater: " << caption << ' ' << text << Qt::endl;
}

} // namespace

StartupCheck::StartupCheck(QWidget *boxParent, const QStringList &arguments, Interaction interaction)
    : m_boxParent(boxParent)
    , m_arguments(arguments)
    , m_interaction(interaction)
{
}

bool StartupCheck::silentRequested(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == silentOption)
            return true;
        if (optionNames().contains(arguments.at(i)))
            ++i; // its value, whatever it looks like
    }
    return false;
}

void StartupCheck::warn(const QString &text) const
{
    const QString caption = QStringLiteral("Launch warning.");
    if (m_interaction == Unattended) {
        LOG_WARN() << caption << text << Qt::endl;
        printWithoutBox(caption, text);
    } else {
        QMessageBox::warning(m_boxParent, caption, text, QMessageBox::Ok, QMessageBox::NoButton);
    }
}

bool StartupCheck::parseCommandLine()
{
    UpdaterSettings &settings = UpdaterSettings::instance();
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString cwd = QDir::currentPath();
    QStringList remaining = m_arguments.mid(1);
    while (!remaining.isEmpty()) {
        const QString option = remaining.takeFirst();
        if (option == silentOption)
            continue; // decided before the window or the run exists
        // An option at the very end has no value to take.
        if (!optionNames().contains(option) || remaining.isEmpty()) {
            warn(QStringLiteral("Invalid command line: ") + option);
            continue;
        }
        // Whatever follows an option is its value, even if it starts with "--".
        const QString value = remaining.takeFirst();

        if (option == QLatin1String("--callback")) {
            const QString found = findAsGivenOrInAppDir(value);
            if (!found.isEmpty()) {
                settings.callbackPath = found;
            } else {
                warn(QStringLiteral("Cannot find callback executable. Switching to default value."));
                settings.callbackPath = joined(cwd, settings.callbackPath);
            }
        } else if (option == QLatin1String("--local_path")) {
            const QString found = findAsGivenOrInAppDir(value);
            if (!found.isEmpty()) {
                settings.localManifestPath = found;
            } else {
                warn(QStringLiteral("Cannot find local manifest. Switching to default value."));
                settings.localManifestPath = joined(appDir, settings.localManifestPath);
            }
        } else if (option == QLatin1String("--distant_path")) {
            if (!QFileInfo::exists(value)) {
                warn(QStringLiteral("Cannot find distant manifest.") + value);
                return false;
            }
            settings.distantManifestPath = value;
        } else if (option == QLatin1String("--url")) {
            if (QUrl(value, QUrl::TolerantMode).isValid())
                settings.updateUrl = value;
            else
                warn(QStringLiteral("Invalid update url. Switching to default value."));
        } else { // "--dir"
            // One level only: a missing parent is more likely a typo than a
            // tree worth building.
            const QString path = joined(cwd, value);
            if (QFileInfo::exists(path) || QDir().mkdir(path))
                settings.destinationDir = value;
            else
                warn(QStringLiteral("Unable to create destination folder. Switching to default value."));
        }
    }

    if (settings.destinationDir.isEmpty())
        settings.destinationDir = cwd;
    return true;
}

QString StartupCheck::run()
{
    QString fatal;
    if (!parseCommandLine())
        fatal = QStringLiteral("Unable to update.");
    else if (UpdaterSettings::instance().distantManifestPath.isEmpty())
        fatal = QStringLiteral("AutoInstall feature not implemented.");
    if (fatal.isEmpty())
        return fatal;

    const QString caption = QStringLiteral("Critical error");
    if (m_interaction == Unattended)
        printWithoutBox(caption, fatal); // the Error records follow
    else
        QMessageBox::critical(m_boxParent, caption, fatal, QMessageBox::Ok, QMessageBox::NoButton);
    LOG_ERROR() << QStringLiteral("Configure execution failed.") << Qt::endl;
    LOG_ERROR() << m_arguments << Qt::endl;
    return fatal;
}
