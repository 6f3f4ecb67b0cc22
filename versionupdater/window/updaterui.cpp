#include "updaterui.h"
#include "ui_updaterui.h"

#include "fileversion.h"
#include "updaterhandler.h"
#include "versionlist.h"
#include "versionupdatersettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>

#include <cstdlib>

UpdaterUI::UpdaterUI(QWidget *parent)
    : UpdaterUI(QCoreApplication::arguments(), parent)
{
}

UpdaterUI::UpdaterUI(const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent)
    , m_form(new UpdaterUIForm)
{
    m_form->setupUi(this);
    setWindowTitle(QStringLiteral("Updater manager"));
    m_form->restartButton->hide();

    parseCommandLine(arguments);
    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();

    // Deliberately without a parent: the handler lives as long as the process.
    m_handler = new updaterHandler(settings.destinationDir);
    connect(m_handler, &updaterHandler::downloadStart, this, &UpdaterUI::downloadReady);
    connect(m_handler, &updaterHandler::currentDownloadProgress, this, &UpdaterUI::downloadProgress);
    connect(m_handler, &updaterHandler::queueEmpty, this, &UpdaterUI::updateFinished);

    auto *manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &UpdaterUI::staticUpdateReady);
    manager->get(QNetworkRequest(QUrl(settings.updateUrl, QUrl::TolerantMode)));

    m_form->updateLabel->setText(QStringLiteral("Updating..."));
    if (!settings.downloadEntries.isEmpty())
        m_handler->appendEntries(settings.downloadEntries);
}

UpdaterUI::~UpdaterUI()
{
    delete m_form;
}

void UpdaterUI::warn(const QString &text)
{
    QMessageBox::warning(this, QStringLiteral("Launch warning."), text, QMessageBox::Ok, QMessageBox::NoButton);
}

bool UpdaterUI::parseCommandLine(const QStringList &arguments)
{
    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    const QString dashes = QStringLiteral("--");
    int i = 1; // the program path is not an option
    // Takes the value of an option; an option given last has none, which
    // is reported and the option ignored.
    auto takeValue = [&](QString *value) {
        if (i >= arguments.size()) {
            warn(QStringLiteral("Missing value for option ") + arguments.at(i - 1) + QStringLiteral("."));
            return false;
        }
        *value = arguments.at(i++);
        return true;
    };

    while (i < arguments.size()) {
        const QString option = arguments.at(i++);
        QString value;
        if (option == QLatin1String("--callback")) {
            if (!takeValue(&value))
                continue;
            QMessageBox::warning(this, QStringLiteral("..."), value, QMessageBox::Ok, QMessageBox::NoButton);
            if (QFileInfo::exists(value))
                settings.callbackPath = value;
            else
                warn(QStringLiteral("Cannot find callback executable. Switching to default value."));
        } else if (option == QLatin1String("--path")) {
            if (!takeValue(&value))
                continue;
            if (QFileInfo::exists(value))
                settings.versionExecutablePath = value;
            else
                warn(QStringLiteral("Cannot find version executable. Switching to default value."));
        } else if (option == QLatin1String("--url")) {
            if (!takeValue(&value))
                continue;
            if (QUrl(value, QUrl::TolerantMode).isValid())
                settings.updateUrl = value;
            else
                warn(QStringLiteral("Invalid update url. Switching to default value."));
        } else if (option == QLatin1String("--dir")) {
            if (!takeValue(&value))
                continue;
            // A plain file of that name is no folder to write into.
            if (QFileInfo(value).isDir() || QDir().mkdir(value))
                settings.destinationDir = value;
            else
                warn(QStringLiteral("Unable to create destination folder. Switching to default value."));
        } else if (option == QLatin1String("--files")) {
            while (i < arguments.size() && !arguments.at(i).startsWith(dashes))
                settings.downloadEntries.append(arguments.at(i++));
        } else if (option == QLatin1String("--version")) {
            if (!takeValue(&value))
                continue;
            if (!Version::parse(value, &settings.localVersion))
                warn(QStringLiteral("Invalid version format. Switching to default value."));
        } else {
            warn(QStringLiteral("Invalid command line."));
        }
    }

    if (!settings.localVersion.isSet()) {
        if (!readFileVersion(settings.versionExecutablePath, &settings.localVersion)) {
            // Every listed version from 0 on is then newer.
            settings.localVersion = Version(-1, 0, 0, 0);
            QMessageBox::critical(this, QStringLiteral("Update critical error."),
                                  QStringLiteral("Cannot read file version"), QMessageBox::Ok, QMessageBox::NoButton);
        }
    }
    return true;
}

void UpdaterUI::showEndButton()
{
    m_form->restartButton->show();
    m_form->restartButton->setText(VersionUpdaterSettings::instance().callbackPath.isEmpty()
                                       ? QStringLiteral("Close")
                                       : QStringLiteral("Restart"));
}

void UpdaterUI::staticUpdateReady(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        m_form->updateLabel->setText(QStringLiteral("Network error: unable to update..."));
        showEndButton();
        return;
    }
    QStringList lines;
    if (!VersionList::parse(reply->readAll(), &lines)) {
        m_form->updateLabel->setText(QStringLiteral("Update error: unable to update..."));
        showEndButton();
        return;
    }

    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    bool found = false;
    for (const QString &line : qAsConst(lines)) {
        if (!fileHasUpdate(line))
            continue;
        // A newer line without a download entry has nothing to fetch.
        QString entry;
        if (!VersionList::entryOf(line, &entry))
            continue;
        settings.downloadEntries.append(entry);
        found = true;
    }

    if (found) {
        m_form->updateLabel->setText(QStringLiteral("Updating..."));
        m_handler->appendEntries(settings.downloadEntries);
        return;
    }
    m_form->updateLabel->setText(QStringLiteral("No update available."));
    m_form->progressBar->hide();
    m_form->label->hide();
    showEndButton();
}

bool UpdaterUI::fileHasUpdate(QString line)
{
    return VersionList::isNewer(line, VersionUpdaterSettings::instance().localVersion);
}

void UpdaterUI::downloadReady(QUrl source, int remainingDownloads)
{
    Q_UNUSED(remainingDownloads)
    m_form->progressBar->setValue(0);
    m_form->updateLabel->setText(QStringLiteral("Downloading ") + source.path());
}

void UpdaterUI::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // An unannounced total (-1) or an empty body leaves the bar where it is.
    if (bytesTotal <= 0)
        return;
    const double percent = double(bytesReceived) / double(bytesTotal) * 100.0;
    if (percent < 0.0 || percent > 100.0)
        return;
    m_form->progressBar->setValue(int(percent));
    m_form->progressBar->repaint();
}

void UpdaterUI::updateFinished(bool success)
{
    m_form->updateLabel->setText(success ? QStringLiteral("Update finished.") : QStringLiteral("Update error."));
    showEndButton();
}

void UpdaterUI::on_restartButton_clicked()
{
    const QString callback = VersionUpdaterSettings::instance().callbackPath;
    if (!callback.isEmpty()) {
        // One command line, split the way Qt splits it; a failed start is
        // not a reason to stay.
        QStringList arguments = QProcess::splitCommand(callback);
        if (!arguments.isEmpty()) {
            const QString program = arguments.takeFirst();
            QProcess::startDetached(program, arguments);
        }
    }
    std::exit(0);
}
