#include "updaterui.h"
#include "ui_updaterui.h"

#include "downloadentry.h"
#include "fileversion.h"
#include "log.h"
#include "runhistory.h"
#include "transferguard.h"
#include "updaterhandler.h"
#include "versionlist.h"
#include "versionupdatersettings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>

#include <cstdlib>
#include <utility>

namespace {

const QString kUpdateError = QStringLiteral("Update error: unable to update...");
const QString kNetworkError = QStringLiteral("Network error: unable to update...");
const QString kNoUpdate = QStringLiteral("No update available.");

// A list may hold thousands of old lines: beyond this many, skipped lines
// (and warnings about lines) are only counted, so that the small rotating
// log keeps the rest of the run.
constexpr int kLoggedSkips = 20;

// Why a line of the list is not taken.
QString skipReason(const QString &line, const Version &local)
{
    QString text = line;
    text.remove(QStringLiteral("\r\n"));
    Version version;
    if (!Version::parse(text.section(QLatin1Char('#'), 0, 0), &version))
        return QStringLiteral("no four-part version");
    return QStringLiteral("%1 is not newer than %2").arg(version.toString(), local.toString());
}

} // namespace

UpdaterUI::UpdaterUI(QWidget *parent)
    : UpdaterUI(QCoreApplication::arguments(), parent)
{
}

UpdaterUI::UpdaterUI(const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent)
    , m_form(new UpdaterUIForm)
{
    m_clock.start();
    m_form->setupUi(this);
    setWindowTitle(QStringLiteral("Updater manager"));
    m_form->restartButton->hide();
    // Nothing is downloaded until the list says so: no "Downloading... 0%"
    // while the list is still being asked for.
    m_form->label->hide();
    m_form->progressBar->hide();
    m_form->detailLabel->hide();
    m_form->cancelButton->setFocus();

    LOG_INFO() << "versionupdater" << UPDATER_PROJECT_VERSION << "started with" << arguments.mid(1);
    parseCommandLine(arguments);
    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();

    // Deliberately without a parent: the handler lives as long as the process.
    m_handler = new updaterHandler(settings.destinationDir);
    m_handler->setFetchOptions(settings.fetchOptions);
    m_handler->setSha256Required(!settings.publicKeys.isEmpty());
    connect(m_handler, &updaterHandler::downloadStart, this, &UpdaterUI::downloadReady);
    connect(m_handler, &updaterHandler::currentDownloadProgress, this, &UpdaterUI::downloadProgress);
    connect(m_handler, &updaterHandler::queueEmpty, this, &UpdaterUI::updateFinished);

    m_manager = new QNetworkAccessManager(this);
    FetchOptions::useSystemProxies(m_manager);
    connect(m_manager, &QNetworkAccessManager::finished, this, &UpdaterUI::staticUpdateReady);

    if (settings.publicKeyUnusable) {
        // Falling back to unsigned updates is the one thing a broken key
        // must never cause: nothing is fetched at all.
        listFailed(kUpdateError, QStringLiteral("no update: the public key %1 cannot be used").arg(settings.publicKeyPath));
        return;
    }
    sendRequest(ListFetch);

    m_form->updateLabel->setText(QStringLiteral("Checking for updates\u2026"));
    if (!settings.downloadEntries.isEmpty())
        m_handler->appendEntries(settings.downloadEntries);
}

UpdaterUI::~UpdaterUI()
{
    delete m_form;
}

void UpdaterUI::warn(const QString &text)
{
    LOG_WARN() << text;
    QMessageBox::warning(this, QStringLiteral("Launch warning."), text, QMessageBox::Ok, QMessageBox::NoButton);
}

bool UpdaterUI::parseCommandLine(const QStringList &arguments)
{
    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    const QString dashes = QStringLiteral("--");
    QStringList publicKeyOptions;
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
        } else if (option == QLatin1String("--timeout")) {
            if (!takeValue(&value))
                continue;
            bool ok = false;
            const int seconds = value.toInt(&ok);
            if (ok && seconds >= 1 && seconds <= 86400)
                settings.fetchOptions.stallSeconds = seconds;
            else
                warn(QStringLiteral("Invalid timeout. Switching to default value."));
        } else if (option == QLatin1String("--ca_file")) {
            if (!takeValue(&value))
                continue;
            FetchOptions read;
            QString error;
            if (read.addCaFile(value, &error))
                settings.fetchOptions.caCertificates = read.caCertificates;
            else
                warn(QStringLiteral("Cannot read CA certificates: %1. Switching to default value.").arg(error));
        } else if (option == QLatin1String("--public_key")) {
            if (takeValue(&value))
                publicKeyOptions.append(value);
        } else {
            warn(QStringLiteral("Invalid command line."));
        }
    }
    loadPublicKey(publicKeyOptions);

    if (!settings.localVersion.isSet()) {
        if (!readFileVersion(settings.versionExecutablePath, &settings.localVersion)) {
            // Every listed version from 0 on is then newer.
            settings.localVersion = Version(-1, 0, 0, 0);
            LOG_ERROR() << QStringLiteral("cannot read the file version of ") + settings.versionExecutablePath;
            QMessageBox::critical(this, QStringLiteral("Update critical error."),
                                  QStringLiteral("Cannot read file version"), QMessageBox::Ok, QMessageBox::NoButton);
        }
    }
    LOG_INFO() << QStringLiteral("local version %1, version list %2, destination %3")
                      .arg(settings.localVersion.toString(), settings.updateUrl,
                           QDir(settings.destinationDir).absolutePath());
    return true;
}

void UpdaterUI::loadPublicKey(const QStringList &options)
{
    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    QStringList paths = options;
    if (paths.isEmpty()) {
        const QFileInfo besideProgram(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("update-key.pub")));
        if (!besideProgram.exists() && !besideProgram.isSymLink()) {
            LOG_WARN() << QStringLiteral("no public key (--public_key, or update-key.pub beside the program): "
                                         "the version list and its downloads are not verified");
            return;
        }
        paths << besideProgram.filePath();
    }
    settings.publicKeyPath = paths.join(QStringLiteral(", "));
    // Every key given must be usable, or none is used and nothing updated.
    for (const QString &path : qAsConst(paths)) {
        QString error;
        if (!settings.publicKeys.addFile(path, &error)) {
            settings.publicKeys = KeyRing();
            settings.publicKeyUnusable = true;
            // The reason names the file.
            warn(QStringLiteral("Cannot use the public key: %1. Nothing will be updated.").arg(error));
            return;
        }
    }
    LOG_INFO() << QStringLiteral("public key: ") + settings.publicKeyPath;
}

void UpdaterUI::showEndButton()
{
    m_form->restartButton->show();
    m_form->restartButton->setText(VersionUpdaterSettings::instance().callbackPath.isEmpty()
                                       ? QStringLiteral("Close")
                                       : QStringLiteral("Restart"));
}

void UpdaterUI::sendRequest(Fetch fetch)
{
    const VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    ++m_attempt;
    QUrl url(settings.updateUrl, QUrl::TolerantMode);
    if (fetch == SignatureFetch)
        url.setPath(url.path(QUrl::FullyEncoded) + QStringLiteral(".sig"), QUrl::TolerantMode);
    QNetworkRequest request = settings.fetchOptions.request(url);
    request.setAttribute(QNetworkRequest::User, int(fetch));
    QNetworkReply *reply = m_manager->get(request);
    m_fetch = reply;
    auto *guard = new TransferGuard(reply, fetch == ListFetch ? FetchOptions::kMaximumListBytes
                                                              : FetchOptions::kMaximumSignatureBytes,
                                    settings.fetchOptions.stallSeconds);
    // Read as it arrives, with the transport holding little ahead: an
    // endless body is then cut at the limit instead of flooding memory
    // faster than it can be counted.
    m_body.clear();
    reply->setReadBufferSize(kReadAhead);
    connect(reply, &QNetworkReply::readyRead, guard, [this, guard] { m_body += guard->take(); });
}

void UpdaterUI::listFailed(const QString &state, const QString &reason)
{
    LOG_ERROR() << reason;
    m_form->updateLabel->setText(state);
    m_listState = state;
    m_listDone = true;
    if (m_handler->isDownloading())
        LOG_INFO() << QStringLiteral("version list: %1 (downloads of --files go on)").arg(state);
    finishWhenDone();
}

void UpdaterUI::staticUpdateReady(QNetworkReply *reply)
{
    reply->deleteLater();
    if (m_cancelled || m_finished)
        return;
    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    const Fetch fetch = Fetch(reply->request().attribute(QNetworkRequest::User).toInt());
    const QString what = fetch == ListFetch ? QStringLiteral("version list") : QStringLiteral("version list signature");
    const QString url = reply->url().toString();
    TransferGuard *guard = TransferGuard::of(reply);
    const QString failure = guard ? guard->failure()
                                  : (reply->error() != QNetworkReply::NoError ? reply->errorString() : QString());

    if (!failure.isEmpty()) {
        const bool retryable = !guard || guard->retryable();
        if (retryable && m_attempt < settings.fetchOptions.attempts()) {
            const int delay = settings.fetchOptions.retryDelayAfter(m_attempt);
            LOG_WARN() << QStringLiteral("%1 %2: attempt %3 of %4 failed: %5; trying again in %6 ms")
                              .arg(what, url, QString::number(m_attempt), QString::number(settings.fetchOptions.attempts()),
                                   failure, QString::number(delay));
            QTimer::singleShot(delay, Qt::PreciseTimer, this, [this, fetch] {
                if (!m_cancelled)
                    sendRequest(fetch);
            });
            return;
        }
        if (fetch == SignatureFetch)
            listFailed(kUpdateError, QStringLiteral("version list refused: %1 (%2: %3)")
                                         .arg(signatureCheckText(SignatureCheck::Missing), url, failure));
        else if (!retryable) // too long to be a version list
            listFailed(kUpdateError, QStringLiteral("version list refused: %1: %2").arg(url, failure));
        else
            listFailed(kNetworkError, QStringLiteral("version list not fetched: %1: %2").arg(url, failure));
        return;
    }

    QByteArray body = std::exchange(m_body, QByteArray());
    if (guard)
        body += guard->take();
    LOG_INFO() << QStringLiteral("%1 fetched from %2: %3 bytes").arg(what, url, QString::number(body.size()));
    if (fetch == SignatureFetch) {
        const SignatureCheck check = settings.publicKeys.verify(m_list, body);
        if (check != SignatureCheck::Valid) {
            listFailed(kUpdateError, QStringLiteral("version list refused: ") + signatureCheckText(check));
            return;
        }
        LOG_INFO() << QStringLiteral("version list: ") + signatureCheckText(check);
        decide(m_list);
        return;
    }
    if (!settings.publicKeys.isEmpty()) {
        // Nothing in the list counts until its signature checks out.
        m_list = body;
        m_attempt = 0;
        sendRequest(SignatureFetch);
        return;
    }
    decide(body);
}

void UpdaterUI::decide(const QByteArray &list)
{
    QStringList lines;
    if (!VersionList::parse(list, &lines)) {
        listFailed(kUpdateError, QStringLiteral("version list refused: its first line does not start with **UPDATE LIST**"));
        return;
    }

    VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    bool found = false;
    int skipped = 0, warned = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        // Line numbers count the marker line as 1.
        const QString where = QStringLiteral("line %1").arg(i + 2);
        // The publisher's slips: the line is still read as it always was.
        for (const QString &warning : VersionList::read(line).warnings) {
            if (++warned <= kLoggedSkips)
                LOG_WARN() << QStringLiteral("%1: %2").arg(where, warning);
        }
        QString reason, entry;
        if (!fileHasUpdate(line))
            reason = skipReason(line, settings.localVersion);
        else if (!VersionList::entryOf(line, &entry)) // newer, but nothing to fetch
            reason = QStringLiteral("no download entry");
        if (!reason.isEmpty()) {
            if (++skipped <= kLoggedSkips)
                LOG_INFO() << QStringLiteral("%1 skipped: %2").arg(where, reason);
            continue;
        }
        const QString sha256 = VersionList::sha256Of(line);
        while (settings.downloadSha256.size() < settings.downloadEntries.size())
            settings.downloadSha256.append(QString());
        settings.downloadEntries.append(entry);
        settings.downloadSha256.append(sha256);
        Version version;
        if (Version::parse(line.section(QLatin1Char('#'), 0, 0).remove(QStringLiteral("\r\n")), &version)
            && (!m_target.isSet() || version.isNewerThan(m_target)))
            m_target = version;
        const DownloadEntry parsed = DownloadEntry::parse(entry);
        LOG_INFO() << QStringLiteral("%1 chosen: newer than %2: %3%4")
                          .arg(where, settings.localVersion.toString(), DownloadEntry::describe(parsed.url, parsed.fileName),
                               sha256.isEmpty() ? QStringLiteral(" (no sha256)") : QStringLiteral(" sha256=") + sha256);
        found = true;
    }
    if (skipped > kLoggedSkips)
        LOG_INFO() << QStringLiteral("%1 more lines skipped").arg(skipped - kLoggedSkips);
    if (warned > kLoggedSkips)
        LOG_WARN() << QStringLiteral("%1 more warnings about the version list").arg(warned - kLoggedSkips);

    m_anyNewer = found;
    if (found) {
        m_form->updateLabel->setText(QStringLiteral("Updating..."));
        showDetail();
        m_handler->appendEntries(settings.downloadEntries, settings.downloadSha256);
    } else {
        m_form->updateLabel->setText(kNoUpdate);
        m_form->progressBar->hide();
        m_form->label->hide();
    }
    m_listDone = true;
    finishWhenDone();
}

void UpdaterUI::finishWhenDone()
{
    if (m_finished || !m_listDone || m_handler->isDownloading())
        return;
    QString state;
    QString outcome;
    if (!m_listState.isEmpty()) {
        state = m_listState;
        outcome = m_listState == kNetworkError ? QStringLiteral("version list not fetched")
                                               : QStringLiteral("version list refused");
    } else if (m_handler->entryCount() == 0 && !m_anyNewer) {
        state = kNoUpdate;
        outcome = QStringLiteral("no update");
    } else if (m_handler->failedCount() > 0 || m_handler->isStopped()) {
        state = QStringLiteral("Update error.");
        outcome = QStringLiteral("done with errors");
    } else {
        state = QStringLiteral("Update finished.");
        outcome = QStringLiteral("done");
    }
    finish(state, outcome);
}

void UpdaterUI::finish(const QString &state, const QString &outcome)
{
    m_finished = true;
    m_form->updateLabel->setText(state);
    // Nothing is downloading any more: "Downloading..." would be stale.
    m_form->label->hide();
    const int entries = m_handler->entryCount();
    // The bar ends at the share of files really put in place.
    m_form->progressBar->setValue(entries > 0 ? m_handler->succeededCount() * 100 / entries : 0);
    m_form->progressBar->setVisible(state != kNoUpdate);
    m_form->cancelButton->hide();
    showEndButton();
    m_form->restartButton->setDefault(true);
    m_form->restartButton->setFocus();
    showDetail();
    LOG_INFO() << QStringLiteral("end: ") + state;

    const VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    Logging::RunHistory::Run run;
    run.ended = QDateTime::currentDateTime();
    run.program = QStringLiteral("versionupdater");
    run.fromVersion = settings.localVersion.isSet() ? settings.localVersion.toString() : QString();
    run.toVersion = m_target.isSet() ? m_target.toString() : QString();
    run.outcome = outcome;
    run.fetched = m_handler->succeededCount();
    run.failed = m_handler->failedCount();
    run.bytes = m_handler->bytesWritten();
    run.seconds = m_clock.elapsed() / 1000.0;
    const QList<updaterHandler::Failure> failures = m_handler->failures();
    for (const updaterHandler::Failure &failure : failures)
        run.failures.append({failure.name, failure.reason});
    Logging::RunHistory::instance().append(run);
}

void UpdaterUI::showDetail()
{
    const VersionUpdaterSettings &settings = VersionUpdaterSettings::instance();
    QStringList parts;
    if (m_target.isSet())
        parts << (settings.localVersion.isSet() ? settings.localVersion.toString() + QStringLiteral(" \u2192 ") : QString())
                     + m_target.toString();
    const int entries = m_handler ? m_handler->entryCount() : 0;
    if (entries > 0 && m_finished)
        parts << QStringLiteral("%1 of %2 files installed").arg(m_handler->succeededCount()).arg(entries);
    else if (entries > 0)
        parts << QStringLiteral("file %1 of %2").arg(qMin(m_handler->endedCount() + 1, entries)).arg(entries);
    m_form->detailLabel->setText(parts.join(QStringLiteral(", ")));
    m_form->detailLabel->setVisible(!parts.isEmpty());
}

void UpdaterUI::on_cancelButton_clicked()
{
    if (m_finished)
        return;
    m_cancelled = true;
    if (m_fetch)
        m_fetch->abort();
    m_handler->cancel();
    finish(QStringLiteral("Update cancelled."), QStringLiteral("cancelled"));
}

void UpdaterUI::closeEvent(QCloseEvent *event)
{
    // Closing mid-run is Cancel: the download in flight is dropped, never
    // placed, and the run is summed up before the window goes.
    if (!m_finished)
        on_cancelButton_clicked();
    event->accept();
}

void UpdaterUI::keyPressEvent(QKeyEvent *event)
{
    // A main window has no default button of its own.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && m_form->restartButton->isVisible()) {
        m_form->restartButton->click();
        return;
    }
    if (event->key() == Qt::Key_Escape && m_finished) {
        close();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

bool UpdaterUI::fileHasUpdate(QString line)
{
    return VersionList::isNewer(line, VersionUpdaterSettings::instance().localVersion);
}

void UpdaterUI::downloadReady(QUrl source, int remainingDownloads)
{
    Q_UNUSED(remainingDownloads)
    // The bar runs over all files: a new file starts where the last ended.
    const int entries = m_handler->entryCount();
    m_form->progressBar->setValue(entries > 0 ? m_handler->endedCount() * 100 / entries : 0);
    m_form->progressBar->show();
    m_form->label->show();
    m_form->updateLabel->setText(QStringLiteral("Downloading ") + source.path());
    showDetail();
}

void UpdaterUI::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // An unannounced total (-1) or an empty body leaves the bar where it is.
    if (bytesTotal <= 0)
        return;
    const double fraction = double(bytesReceived) / double(bytesTotal);
    if (fraction < 0.0 || fraction > 1.0)
        return;
    const int entries = m_handler->entryCount();
    const double percent = entries > 0 ? (m_handler->endedCount() + fraction) / entries * 100.0 : fraction * 100.0;
    m_form->progressBar->setValue(int(percent));
    m_form->progressBar->repaint();
}

void UpdaterUI::updateFinished(bool success)
{
    Q_UNUSED(success) // the handler's counts say it all at the end
    // The queue may run dry before the list has been read ("--files"): the
    // run ends only once both are done.
    if (!m_listDone) {
        m_form->updateLabel->setText(QStringLiteral("Checking for updates\u2026"));
        m_form->label->hide();
    }
    finishWhenDone();
}

void UpdaterUI::on_restartButton_clicked()
{
    const QString callback = VersionUpdaterSettings::instance().callbackPath;
    LOG_INFO() << (callback.isEmpty() ? QStringLiteral("closed") : QStringLiteral("restarting ") + callback);
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
