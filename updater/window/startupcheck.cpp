#include "startupcheck.h"

#include "log.h"
#include "manifestfetch.h"
#include "updatedownloader.h"
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
    return StartupCheck::valueOptions();
}

const QLatin1String silentOption("--silent");
const QLatin1String downgradeOption("--allow_downgrade");
const QLatin1String checkOption("--check");
const QLatin1String repairOption("--repair");
const QLatin1String ignoreRolloutOption("--ignore_rollout");

// A whole number of seconds or bytes within [minimum, maximum].
bool parseBounded(const QString &text, qint64 minimum, qint64 maximum, qint64 *value)
{
    bool ok = false;
    const qint64 number = text.toLongLong(&ok, 10);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}

bool isWebUrl(const QString &text)
{
    const QUrl url(text, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

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

const QStringList &StartupCheck::valueOptions()
{
    static const QStringList names = {
        QStringLiteral("--callback"), QStringLiteral("--local_path"), QStringLiteral("--distant_path"),
        QStringLiteral("--url"), QStringLiteral("--dir"), QStringLiteral("--timeout"), QStringLiteral("--ca_file"),
        QStringLiteral("--files_url"), QStringLiteral("--public_key"), QStringLiteral("--manifest_request"),
        QStringLiteral("--log_size"), QStringLiteral("--channel"), QStringLiteral("--connections")};
    return names;
}

bool StartupCheck::silentRequested(const QStringList &arguments)
{
    return flagGiven(arguments, silentOption);
}

bool StartupCheck::checkRequested(const QStringList &arguments)
{
    return flagGiven(arguments, checkOption);
}

bool StartupCheck::flagGiven(const QStringList &arguments, const QString &flag)
{
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == flag)
            return true;
        if (optionNames().contains(arguments.at(i)))
            ++i; // its value, whatever it looks like
    }
    return false;
}

QString StartupCheck::optionValue(const QStringList &arguments, const QString &option)
{
    QString value;
    for (int i = 1; i < arguments.size(); ++i) {
        if (!optionNames().contains(arguments.at(i)))
            continue;
        if (arguments.at(i) == option && i + 1 < arguments.size())
            value = arguments.at(i + 1); // the last one counts, as for every option
        ++i;
    }
    return value;
}

bool StartupCheck::logSize(const QStringList &arguments, qint64 *bytes)
{
    const QString value = optionValue(arguments, QStringLiteral("--log_size"));
    return !value.isEmpty() && parseBounded(value, 1, qint64(1) << 40, bytes);
}

void StartupCheck::warn(const QString &text)
{
    const QString caption = QStringLiteral("Launch warning.");
    m_lastWarning = text;
    if (m_interaction == Unattended) {
        m_warned = true;
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
    // Known before "--dir" is looked at: a check creates no folder.
    settings.checkOnly = checkRequested(m_arguments);
    QStringList remaining = m_arguments.mid(1);
    while (!remaining.isEmpty()) {
        const QString option = remaining.takeFirst();
        if (option == silentOption || option == checkOption)
            continue; // decided before the window or the run exists
        if (option == downgradeOption) {
            settings.allowDowngrade = true;
            continue;
        }
        if (option == repairOption) {
            settings.repair = true;
            continue;
        }
        if (option == ignoreRolloutOption) {
            settings.ignoreRollout = true;
            continue;
        }
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
        } else if (option == QLatin1String("--timeout")) {
            qint64 seconds = 0;
            if (parseBounded(value, 1, 24 * 3600, &seconds))
                settings.timeoutSeconds = int(seconds);
            else
                warn(QStringLiteral("Invalid timeout. Switching to default value."));
        } else if (option == QLatin1String("--connections")) {
            qint64 connections = 0;
            if (parseBounded(value, 1, UpdateDownloader::maxConnections, &connections))
                settings.connections = int(connections);
            else
                warn(QStringLiteral("Invalid connections. Switching to default value."));
        } else if (option == QLatin1String("--ca_file")) {
            if (QFileInfo(value).isFile())
                settings.caFile = value;
            else
                warn(QStringLiteral("Cannot find CA file. Switching to default value."));
        } else if (option == QLatin1String("--files_url")) {
            if (isWebUrl(value))
                settings.filesUrl = value;
            else
                warn(QStringLiteral("Invalid files url. Switching to default value."));
        } else if (option == QLatin1String("--public_key")) {
            // Falling back to no key would install unsigned releases: a key
            // that cannot be found stops the run instead.
            if (!QFileInfo(value).isFile()) {
                warn(QStringLiteral("Cannot find public key.") + value);
                return false;
            }
            // Several keys while one replaces another: any of them may sign.
            settings.publicKeyPaths.append(value);
        } else if (option == QLatin1String("--channel")) {
            // Asked for a channel check, the run never goes on without one.
            if (value.isEmpty()) {
                warn(QStringLiteral("Invalid channel: the name is empty."));
                return false;
            }
            settings.channel = value;
        } else if (option == QLatin1String("--manifest_request")) {
            if (value.isEmpty())
                warn(QStringLiteral("Invalid manifest request. Switching to default value."));
            else
                settings.manifestRequest = value;
        } else if (option == QLatin1String("--log_size")) {
            // Read before the logger was set up (logSize()); checked here for
            // the warning.
            qint64 bytes = 0;
            if (!parseBounded(value, 1, qint64(1) << 40, &bytes))
                warn(QStringLiteral("Invalid log size. Switching to default value."));
        } else if (option == QLatin1String("--url")) {
            if (QUrl(value, QUrl::TolerantMode).isValid())
                settings.updateUrl = value;
            else
                warn(QStringLiteral("Invalid update url. Switching to default value."));
        } else { // "--dir"
            // One level only: a missing parent is more likely a typo than a
            // tree worth building.
            const QString path = joined(cwd, value);
            if (QFileInfo::exists(path) || settings.checkOnly || QDir().mkdir(path))
                settings.destinationDir = value;
            else
                warn(QStringLiteral("Unable to create destination folder. Switching to default value."));
        }
    }

    if (settings.destinationDir.isEmpty())
        settings.destinationDir = cwd;
    // Without the option, a key shipped beside the program is used. Whatever
    // lies there counts (a folder, a dangling link, garbage): the run then
    // refuses for an unusable key rather than go on without checking.
    const QFileInfo shippedKey(appDir + QStringLiteral("/update-key.pub"));
    if (settings.publicKeyPaths.isEmpty() && (shippedKey.exists() || shippedKey.isSymLink()))
        settings.publicKeyPaths.append(shippedKey.filePath());
    // The release comes either from a file or from the server, not both.
    if (!settings.distantManifestPath.isEmpty() && !settings.manifestRequest.isEmpty()) {
        warn(QStringLiteral("Invalid command line: --distant_path and --manifest_request exclude each other."));
        return false;
    }
    // A repair fetches from the release the installation is at. With a key
    // that must be the signed release: the local manifest carries no
    // signature. Without one, the local manifest itself says what must be
    // there, and is read as the release.
    if (settings.repair && settings.distantManifestPath.isEmpty() && settings.manifestRequest.isEmpty()) {
        if (!settings.publicKeyPaths.isEmpty()) {
            warn(QStringLiteral("Invalid command line: --repair with a public key needs the signed release "
                                "(--distant_path or --manifest_request)."));
            return false;
        }
        settings.distantManifestPath = settings.localManifestPath;
    }
    return true;
}

bool StartupCheck::fetchManifest()
{
    UpdaterSettings &settings = UpdaterSettings::instance();
    QString error;
    const QString path = ManifestFetch::fetch(settings, !settings.publicKeyPaths.isEmpty(),
                                             ManifestFetch::timeLimitMs(settings.timeoutSeconds), &error);
    if (path.isEmpty()) {
        // As for a distant manifest that is not there.
        LOG_ERROR() << QStringLiteral("manifest %1 not fetched: %2").arg(settings.manifestRequest, error) << Qt::endl;
        warn(QStringLiteral("Cannot find distant manifest.") + settings.manifestRequest);
        return false;
    }
    settings.distantManifestPath = path;
    return true;
}

QString StartupCheck::run()
{
    UpdaterSettings &settings = UpdaterSettings::instance();
    QString fatal;
    if (!parseCommandLine())
        fatal = QStringLiteral("Unable to update.");
    else if (settings.distantManifestPath.isEmpty() && settings.manifestRequest.isEmpty())
        fatal = QStringLiteral("AutoInstall feature not implemented.");
    else if (m_warned)
        // Unattended, nobody sees a warning: a run that would go on with a
        // default it was not given (another server, another folder) stops.
        fatal = QStringLiteral("Unable to update.");
    else if (!settings.manifestRequest.isEmpty() && !fetchManifest()) {
        m_releaseUnavailable = true;
        fatal = QStringLiteral("Unable to update.");
    }
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
