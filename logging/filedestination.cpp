#include "filedestination.h"

#include "folderhandle.h"
#include "reportproblem.h"

#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Logging {

namespace {

platform::NativeText::String nativeOf(const QString &text)
{
#ifdef Q_OS_WIN
    return text.toStdWString();
#else
    return QFile::encodeName(text).toStdString();
#endif
}

} // namespace

FileDestination::FileDestination(const QString &filePath,
                                 const QSharedPointer<RotationStrategy> &rotationStrategy)
    : m_path(filePath)
    , m_rotationStrategy(rotationStrategy)
{
    // A log that cannot be opened must not stop the program; records are
    // simply lost until a rotation manages to reopen it.
    QString reason;
    if (!openLog(&reason))
        reportProblem(QStringLiteral("Log: could not open log file ") + filePath, reason);
    m_outputStream.setDevice(&m_file);
    m_outputStream.setCodec("UTF-8");
    // The strategy takes the name and the size: an open descriptor has no name.
    m_rotationStrategy->initFromFile(QFile(m_path));
}

FileDestination::~FileDestination()
{
    m_rotationStrategy.reset();
    m_outputStream.flush();
    m_outputStream.setDevice(nullptr);
    m_file.close();
}

bool FileDestination::openLog(QString *reason)
{
    const QFileInfo info(m_path);
    platform::Result result;
    const platform::FolderHandle folder = platform::FolderHandle::open(nativeOf(info.absolutePath()), &result);
    const platform::NativeText::String name = nativeOf(info.fileName());
    if (folder.isOpen() && folder.kindOf(name) == platform::FolderHandle::EntryKind::Link) {
        // Records written through it would land wherever it leads.
        result = folder.removeFile(name);
        if (!result) {
            *reason = QStringLiteral("it is a link that cannot be removed: ") + QString::fromStdString(result.reason());
            return false;
        }
        reportProblem(QStringLiteral("Log: replaced the link at log file ") + m_path, QString());
    }
    const QIODevice::OpenMode flag = m_rotationStrategy->openModeFlag();
    int descriptor = -1;
    if (folder.isOpen())
        result = folder.openFile(name,
                                 flag & QIODevice::Truncate ? platform::FolderHandle::FileAccess::Truncate
                                                            : platform::FolderHandle::FileAccess::Append,
                                 &descriptor);
    if (!result) {
        *reason = QString::fromStdString(result.reason());
        return false;
    }
    if (!m_file.open(descriptor, QIODevice::WriteOnly | QIODevice::Text | (flag & QIODevice::Append),
                     QFileDevice::AutoCloseHandle)) {
        *reason = m_file.errorString();
#ifdef Q_OS_WIN
        _close(descriptor);
#else
        ::close(descriptor);
#endif
        return false;
    }
    return true;
}

void FileDestination::write(const QString &record, LogLevel level)
{
    Q_UNUSED(level)
    m_rotationStrategy->countMessage(record);
    if (m_rotationStrategy->isRotationDue()) {
        m_outputStream.setDevice(nullptr);
        m_file.close();
        m_rotationStrategy->rotate();
        QString reason;
        if (!openLog(&reason))
            reportProblem(QStringLiteral("Log: could not reopen log file ") + m_path, reason);
        m_rotationStrategy->initFromFile(QFile(m_path));
        m_outputStream.setDevice(&m_file);
        // setDevice() falls back to the locale's codec; the log stays UTF-8.
        m_outputStream.setCodec("UTF-8");
    }
    // Writing to a closed file would only add Qt's own complaints to stderr.
    if (!m_file.isOpen())
        return;
    m_outputStream << record << Qt::endl;
    m_outputStream.flush();
}

bool FileDestination::isValid() const
{
    return m_file.isOpen();
}

} // namespace Logging
