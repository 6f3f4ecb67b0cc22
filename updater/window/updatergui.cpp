#include "updatergui.h"
#include "ui_updatergui.h"

#include "startupcheck.h"
#include "updatedownloader.h"
#include "updatemanager.h"
#include "updatersettings.h"

#include <QCoreApplication>
#include <QFontMetrics>
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

    // Nothing has started yet, so a failed check has nothing to wind down;
    // the log file is flushed and closed as the process exits.
    if (!StartupCheck(this, arguments).run().isEmpty())
        std::exit(0);

    // From here an update can run. The manager connects its own slots to
    // the downloader first, so for a signal both receive the manager's runs
    // before this window's.
    manager = new UpdateManager(nullptr);
    downloader = manager->m_downloader;
    ui->Restart->setEnabled(false);

    connect(ui->Cancel, &QPushButton::clicked, this, &UpdaterGUI::cancelUpdate);
    connect(ui->Restart, &QPushButton::clicked, this, &UpdaterGUI::restartSoft);
    connect(manager, &UpdateManager::fileDownloadsFinished, this, &UpdaterGUI::downloadsFinished);
    connect(manager, &UpdateManager::fileDownloadFailed, this, &UpdaterGUI::downloadFailed);
    connect(downloader, &UpdateDownloader::fileDownloadStarting, this, &UpdaterGUI::downloadStart);
    connect(downloader, &UpdateDownloader::fileDownloaded, this, &UpdaterGUI::downloadFinished);
    connect(downloader, &UpdateDownloader::fileDownloadProgress, this, &UpdaterGUI::downloadProgress);

    // The run starts before the window is shown; what it reports later
    // arrives through the event loop.
    manager->start();
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

void UpdaterGUI::cancelUpdate()
{
    // The transfer in flight is not aborted; the run ends here with the
    // cancel counted as an error, so nothing is deleted.
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
    std::exit(0);
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
    ui->updateText->setText(metrics.elidedText(name, Qt::ElideMiddle, room) + suffix);
}

void UpdaterGUI::downloadStart(QDomElement elt, int remainingDownloads)
{
    Q_UNUSED(remainingDownloads)
    activeElement = elt;
    const QString name = activeElement.attribute(QStringLiteral("name"));
    showStatus(name, QString());
    writeLog(QStringLiteral("Downloading ") + name + QStringLiteral("..."), true);
}

void UpdaterGUI::downloadsFinished(int errors)
{
    ui->progressBar->setValue(100);
    // The run is over: nothing is left to wait for, and no speed to show.
    ui->progressBar->setFormat(QStringLiteral("%p% - 00:00 remaining"));
    ui->speed->clear();
    ui->updateText->setText(QStringLiteral("Update completed with ") + QString::number(errors)
                            + QStringLiteral(" error(s)."));
    ui->Restart->setEnabled(true);
    ui->Cancel->setEnabled(false);
    // What failed, one line each, so that nobody has to search the log.
    const QList<UpdateManager::Failure> failures = manager->failures();
    for (const UpdateManager::Failure &failure : failures)
        writeLog((failure.entry.isEmpty() ? QStringLiteral("distant manifest") : failure.entry) + QStringLiteral(": ")
                     + failure.reason,
                 true);
    writeLog(QStringLiteral("Update finished."), true);
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
    ui->progressBar->setValue(percentageDone);
    ui->progressBar->setFormat(QStringLiteral("%p% - ") + time.toString(QStringLiteral("mm:ss"))
                               + QStringLiteral(" remaining"));
    ui->speed->setText(formatSize(speed) + QStringLiteral("/s"));
}
