#include "unattendedrun.h"

#include "startupcheck.h"
#include "updatemanager.h"

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
    if (!StartupCheck(nullptr, m_arguments, StartupCheck::Unattended).run().isEmpty())
        return false;

    m_manager = new UpdateManager(this);
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
