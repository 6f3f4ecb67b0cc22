#include "unattendedrun.h"

#include "startupcheck.h"
#include "updatecheck.h"
#include "updatemanager.h"

#include <cstdio>

namespace {

void printReport(const QByteArray &report)
{
    std::fwrite(report.constData(), 1, size_t(report.size()), stdout);
    std::fflush(stdout);
}

} // namespace

UnattendedRun::UnattendedRun(const QStringList &arguments, QObject *parent)
    : QObject(parent)
    , m_arguments(arguments)
{
    m_closeTimeout.setSingleShot(true);
    m_closeTimeout.setInterval(closeRequestTimeoutMs);
    connect(&m_closeTimeout, &QTimer::timeout, this, &UnattendedRun::conclude);
}

bool UnattendedRun::start()
{
    StartupCheck check(nullptr, m_arguments, StartupCheck::Unattended);
    const QString fatal = check.run();
    const bool checkOnly = StartupCheck::checkRequested(m_arguments);
    if (!fatal.isEmpty()) {
        if (checkOnly) {
            // A release the server would not give is a failed check; any
            // other start-up problem lies in the command line.
            const bool unavailable = check.releaseUnavailable();
            m_startupStatus = unavailable ? UpdateCheck::Failed : UpdateCheck::CommandLineError;
            printReport(UpdateCheck::failure(unavailable ? QStringLiteral("failed") : QStringLiteral("command line error"),
                                             check.lastWarning().isEmpty() ? fatal : check.lastWarning() + QLatin1Char(' ') + fatal));
        }
        return false;
    }

    m_manager = new UpdateManager(this);
    if (checkOnly) {
        // Nothing was fetched or placed, so there is no close request.
        connect(m_manager, &UpdateManager::checkFinished, this, [this](const QByteArray &report, int status) {
            printReport(report);
            m_exitStatus = status;
            QTimer::singleShot(0, this, &UnattendedRun::conclude);
        });
        m_manager->start();
        return true;
    }
    connect(m_manager, &UpdateManager::fileDownloadsFinished, this, &UnattendedRun::runFinished);
    connect(m_manager, &UpdateManager::closeRequestFinished, this, [this] {
        if (!m_manager->closeRequestPending() && m_closeTimeout.isActive())
            conclude();
    });
    m_manager->start();
    return true;
}

void UnattendedRun::runFinished(int errors)
{
    m_exitStatus = errors == 0 ? Success : FilesFailed;
    if (m_manager->closeRequestPending())
        m_closeTimeout.start();
    else
        // The run may end inside start(), before the event loop runs; a
        // quit requested then would be lost.
        QTimer::singleShot(0, this, &UnattendedRun::conclude);
}

void UnattendedRun::conclude()
{
    if (m_concluded)
        return;
    m_concluded = true;
    m_closeTimeout.stop();
    emit finished(m_exitStatus);
}
