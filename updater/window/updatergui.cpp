#include "updatergui.h"
#include "ui_updatergui.h"

#include "notesview.h"
#include "releasenotes.h"
#include "runsummary.h"
#include "startupcheck.h"
#include "unattendedrun.h"
#include "updatedownloader.h"
#include "updatemanager.h"
#include "updatersettings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QScrollBar>
#include <QProcess>
#include <QTextCursor>
#include <QTime>

#include <cmath>
#include <cstdlib>

UpdaterGUI::UpdaterGUI(QWidget *parent)
    : UpdaterGUI(QCoreApplication::arguments(), parent)
{
}

UpdaterGUI::UpdaterGUI(const QStringList &arguments, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::UpdaterForm)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Updater"));
    // The log is the run's account, not a place to type.
    ui->plainTextEdit->setReadOnly(true);
    ui->pushButton->hide();
    ui->pushButton_2->hide();
    for (QLabel *label : {ui->headline, ui->updateText, ui->speed})
        setLabelText(label, label->text());
    // What's new in the release, shown where the account is once it is
    // installed.
    m_notesTitle = new QLabel(QStringLiteral("What's new"), this);
    m_notesTitle->setObjectName(QStringLiteral("whatsNewTitle"));
    m_notes = new NotesView(this);
    m_notes->setObjectName(QStringLiteral("whatsNew"));
    m_notes->setAccessibleName(QStringLiteral("What's new"));
    const int account = ui->verticalLayout->indexOf(ui->plainTextEdit);
    ui->verticalLayout->insertWidget(account + 1, m_notesTitle);
    ui->verticalLayout->insertWidget(account + 2, m_notes);
    m_notesTitle->hide();
    m_notes->hide();

    // Nothing has started yet, so a failed check has nothing to wind down;
    // the log file is flushed and closed as the process exits. The status
    // tells whoever started the updater that nothing ran.
    if (!StartupCheck(this, arguments).run().isEmpty())
        std::exit(UnattendedRun::StartupFailed);

    // From here an update can run. The manager connects its own slots to
    // the downloader first, so for a signal both receive the manager's runs
    // before this window's.
    manager = new UpdateManager(nullptr);
    connect(ui->Cancel, &QPushButton::clicked, this, &UpdaterGUI::cancelUpdate);
    connect(ui->Restart, &QPushButton::clicked, this, &UpdaterGUI::restartSoft);
    connect(ui->pushButton, &QPushButton::clicked, this, &UpdaterGUI::repairInstallation);
    startRun();
}

void UpdaterGUI::startRun()
{
    downloader = manager->m_downloader;
    ui->Restart->setEnabled(false);
    connect(manager, &UpdateManager::fileDownloadsFinished, this, &UpdaterGUI::downloadsFinished);
    connect(manager, &UpdateManager::fileDownloadFailed, this, &UpdaterGUI::downloadFailed);
    connect(downloader, &UpdateDownloader::fileDownloadStarting, this, &UpdaterGUI::downloadStart);
    connect(downloader, &UpdateDownloader::fileDownloaded, this, &UpdaterGUI::downloadFinished);
    connect(downloader, &UpdateDownloader::fileDownloadProgress, this, &UpdaterGUI::downloadProgress);

    // While the run goes on, Cancel is the one thing to do; Enter does not
    // press it by accident.
    ui->Cancel->setFocus();

    // The run starts before the window is shown; what it reports later
    // arrives through the event loop. A release refused at once, or one
    // with nothing to fetch, has ended when start() returns. Its notes
    // arrive later still.
    manager->setFetchNotes(true);
    manager->start();
    if (ReleaseNotes *notes = manager->releaseNotes())
        connect(notes, &ReleaseNotes::finished, this, &UpdaterGUI::notesFetched);
    if (!m_finished)
        showRunningHeadline();
}

void UpdaterGUI::repairInstallation()
{
    // The run that ended stays with the window; a new one repairs.
    disconnect(manager, nullptr, this, nullptr);
    disconnect(downloader, nullptr, this, nullptr);
    manager = new UpdateManager(this);
    manager->setRepair(true);
    m_repairing = true;
    m_finished = false;
    m_fileNumber = 0;
    m_fileCount = 0;
    activeElement = QDomElement();
    ui->pushButton->hide();
    ui->Cancel->setEnabled(true);
    ui->Restart->setDefault(false);
    ui->progressBar->setValue(0);
    writeLog(QStringLiteral("Repair started."), true);
    startRun();
}

void UpdaterGUI::notesFetched()
{
    auto *notes = qobject_cast<ReleaseNotes *>(sender());
    if (!notes || !notes->isAvailable())
        return;
    m_notesText = notes->text();
    m_notesHtml = notes->isHtml();
    if (m_finished && manager->summary().outcome() == RunSummary::Done)
        showNotes();
}

void UpdaterGUI::showNotes()
{
    if (m_notesText.isEmpty())
        return;
    m_notes->showNotes(m_notesText, m_notesHtml);
    ui->plainTextEdit->hide();
    m_notesTitle->show();
    m_notes->show();
}

UpdaterGUI::~UpdaterGUI()
{
    delete ui;
}

QString UpdaterGUI::formatSize(qint64 bytes)
{
    const qint64 kB = 1024;
    const qint64 MB = 1024 * 1024;
    if (bytes < kB)
        return QString::number(bytes) + QStringLiteral("bytes");
    if (bytes < MB)
        return QString::number(bytes / kB) + QStringLiteral("kB");
    const qint64 rest = bytes % MB;
    if (rest == 0)
        return QString::number(bytes / MB) + QStringLiteral("MB");
    return QString::number(bytes / MB) + QLatin1Char('.') + QString::number(rest * 10 / MB) + QStringLiteral("MB");
}

int UpdaterGUI::exitStatus() const
{
    return m_exitStatus;
}

void UpdaterGUI::showRunningHeadline()
{
    // The application is named after its executable ("Kandemar" for
    // "Kandemar.exe"), which is what the user knows it by.
    const QStringList command = QProcess::splitCommand(UpdaterSettings::instance().callbackPath);
    QString application = command.isEmpty() ? QString() : QFileInfo(command.first()).completeBaseName();
    if (application.isEmpty())
        application = QStringLiteral("the application");
    const RunSummary run = manager->summary();
    m_subject = application;
    if (!run.distantVersion.isEmpty())
        m_subject += QLatin1Char(' ') + (run.localVersionBefore.isEmpty() ? run.distantVersion
                                                                        : run.localVersionBefore + QStringLiteral(" \u2192 ")
                                                                              + run.distantVersion);
    QString text = (m_repairing ? QStringLiteral("Repairing ") : QStringLiteral("Updating ")) + m_subject;
    if (m_fileCount > 0)
        text += QStringLiteral(", file %1 of %2").arg(m_fileNumber).arg(m_fileCount);
    setHeadline(text);
}

void UpdaterGUI::setLabelText(QLabel *label, const QString &text)
{
    label->setText(text);
    label->setAccessibleName(text.isEmpty() ? label->accessibleDescription() : QString());
}

void UpdaterGUI::setHeadline(const QString &text)
{
    setLabelText(ui->headline, text);
    // The window keeps its size: a long headline takes a second line from
    // the log view instead of being cut.
    const QMargins margins = layout()->contentsMargins();
    ui->headline->setMinimumHeight(ui->headline->heightForWidth(width() - margins.left() - margins.right()));
    layout()->activate();
}

void UpdaterGUI::showEndState(const RunSummary &run)
{
    QString headline;
    switch (run.outcome()) {
    case RunSummary::Done:
        headline = run.distantVersion.isEmpty() ? QStringLiteral("Update done.")
                                                : QStringLiteral("Update done: version %1 is installed.").arg(run.distantVersion);
        break;
    case RunSummary::Refused:
        headline = QStringLiteral("Update refused: nothing was changed.");
        break;
    case RunSummary::Cancelled:
        headline = QStringLiteral("Update cancelled: some files may already be new.");
        break;
    case RunSummary::NotOffered:
        headline = QStringLiteral("Update not yet offered: nothing was changed.");
        break;
    default:
        headline = run.filesFailed > 0 ? QStringLiteral("Update done with errors: %1 of %2 files could not be installed.")
                                             .arg(run.filesFailed)
                                             .arg(run.filesFetched + run.filesFailed)
                                       : QStringLiteral("Update done with errors.");
        break;
    }
    setHeadline(headline);

    // Only a completed run shows a full bar; any other shows how much of
    // what the release needs was really put in place.
    int percent = 0;
    if (run.outcome() == RunSummary::Done)
        percent = 100;
    else if (run.bytesToWrite > 0)
        percent = int(qMin<qint64>(99, run.bytesWritten * 100 / run.bytesToWrite));
    ui->progressBar->setValue(percent);
    ui->progressBar->setFormat(QStringLiteral("%p%"));
    m_exitStatus = run.outcome() == RunSummary::Done || run.outcome() == RunSummary::NotOffered ? UnattendedRun::Success
                                                                                               : UnattendedRun::FilesFailed;
    // Files that failed or were left may be fetched again by a repair.
    ui->pushButton->setVisible(run.outcome() == RunSummary::DoneWithErrors || run.outcome() == RunSummary::Cancelled);
}

void UpdaterGUI::closeEvent(QCloseEvent *event)
{
    // Closing the window while files are placed would leave the saved
    // manifest behind the disk: the run is cancelled and summed up first.
    if (manager && !m_finished)
        cancelUpdate();
    event->accept();
}

void UpdaterGUI::keyPressEvent(QKeyEvent *event)
{
    // A plain window has no default button of its own: Enter restarts
    // once that is possible, and Esc closes once the run is over.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && ui->Restart->isEnabled()) {
        ui->Restart->click();
        return;
    }
    if (event->key() == Qt::Key_Escape && m_finished) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdaterGUI::cancelUpdate()
{
    // The transfer in flight is aborted and its file never placed; the run
    // ends here with the cancel counted as an error, so nothing is deleted.
    downloader->cancelDownloads();
    manager->m_errorCount += 1;
    manager->downloadsFinished();
}

void UpdaterGUI::restartSoft()
{
    // The callback is a command line: program and arguments split at
    // blanks, double quotes grouping.
    const QStringList command = QProcess::splitCommand(UpdaterSettings::instance().callbackPath);
    if (!command.isEmpty())
        QProcess::startDetached(command.first(), command.mid(1));
    std::exit(m_exitStatus);
}

void UpdaterGUI::writeLog(const QString &text, bool newLine)
{
    // The view follows the newest line, unless the user has scrolled up to
    // read an older one.
    QScrollBar *bar = ui->plainTextEdit->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    if (newLine)
        ui->plainTextEdit->appendPlainText(text);
    else
        ui->plainTextEdit->textCursor().insertText(text);
    if (following)
        bar->setValue(bar->maximum());
}

void UpdaterGUI::showStatus(const QString &name, const QString &suffix)
{
    // A long name is cut in the middle so that what follows it (the byte
    // counts) stays in view.
    const QFontMetrics metrics(ui->updateText->font());
    const int width = ui->updateText->contentsRect().width() > 0 ? ui->updateText->contentsRect().width()
                                                                   : this->width() - 20;
    const int room = qMax(metrics.averageCharWidth() * 4, width - metrics.horizontalAdvance(suffix));
    setLabelText(ui->updateText, metrics.elidedText(name, Qt::ElideMiddle, room) + suffix);
}

void UpdaterGUI::downloadStart(QDomElement elt, int remainingDownloads)
{
    // A file tried again is the same file; the queue then holds the rest.
    if (elt != activeElement || m_fileNumber == 0)
        ++m_fileNumber;
    m_fileCount = qMax(m_fileCount, m_fileNumber + qMax(0, remainingDownloads));
    activeElement = elt;
    if (!m_finished && manager)
        showRunningHeadline();
    const QString name = activeElement.attribute(QStringLiteral("name"));
    showStatus(name, QString());
    writeLog(QStringLiteral("Downloading ") + name + QStringLiteral("..."), true);
}

void UpdaterGUI::downloadsFinished(int errors)
{
    m_finished = true;
    const RunSummary run = manager->summary();
    // The run is over: nothing is left to wait for, and no speed to show.
    showEndState(run);
    setLabelText(ui->speed, QString());
    setLabelText(ui->updateText, QStringLiteral("Update completed with ") + QString::number(errors)
                                     + QStringLiteral(" error(s)."));
    ui->Restart->setEnabled(true);
    ui->Restart->setDefault(true);
    ui->Restart->setFocus();
    ui->Cancel->setEnabled(false);
    // What failed, one plain line each, so that nobody has to search the
    // log; the digests and the engine's wording are in the log.
    for (const Logging::RunHistory::Failure &failure : run.failures)
        writeLog(RunSummary::plainFailure(failure.name, failure.reason), true);
    for (const QString &repaired : run.repaired)
        writeLog(QStringLiteral("Repaired: ") + repaired, true);
    writeLog(QStringLiteral("Update finished."), true);
    if (run.outcome() == RunSummary::Done)
        showNotes();
}

void UpdaterGUI::downloadFinished(QDomElement elt, QFile *file)
{
    Q_UNUSED(elt)
    Q_UNUSED(file)
    const QString name = activeElement.attribute(QStringLiteral("name"));
    const qint64 size = activeElement.attribute(QStringLiteral("size")).toLongLong();
    showStatus(name, QStringLiteral(" downloaded. ") + formatSize(size));
    // Continues the "Downloading ..." line.
    writeLog(name + QStringLiteral(" written."), false);
}

void UpdaterGUI::downloadFailed(QDomElement elt)
{
    Q_UNUSED(elt)
    const QString name = activeElement.attribute(QStringLiteral("name"));
    showStatus(name, QStringLiteral(" - Download failed !!!"));
    writeLog(name + QStringLiteral(" failed !"), false);
}

void UpdaterGUI::downloadProgress(qint64 bytesReceived, qint64 bytesTotal, double currentSpeed,
                                  double timeLeft, int percentageDone)
{
    // Out of range (or not a number) gives an invalid time, shown as nothing.
    const int seconds = timeLeft > -1.0e9 && timeLeft < 1.0e9 ? int(timeLeft) : -1;
    const QTime time(0, seconds / 60, seconds % 60, 0);
    const QString progress = formatSize(bytesReceived) + QLatin1Char('/') + formatSize(bytesTotal);
    if (!activeElement.isNull())
        showStatus(activeElement.attribute(QStringLiteral("name")), QStringLiteral(" - ") + progress);
    const qint64 speed = std::isfinite(currentSpeed) ? qint64(qBound(-9.0e18, currentSpeed, 9.0e18)) : 0;
    // Only a run that has completed shows a full bar.
    ui->progressBar->setValue(qMin(percentageDone, 99));
    ui->progressBar->setFormat(QStringLiteral("%p% - ") + time.toString(QStringLiteral("mm:ss"))
                               + QStringLiteral(" remaining"));
    setLabelText(ui->speed, formatSize(speed) + QStringLiteral("/s"));
}
