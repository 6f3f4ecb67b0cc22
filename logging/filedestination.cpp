#include "filedestination.h"

#include "reportproblem.h"

namespace Logging {

FileDestination::FileDestination(const QString &filePath,
                                 const QSharedPointer<RotationStrategy> &rotationStrategy)
    : m_rotationStrategy(rotationStrategy)
{
    m_file.setFileName(filePath);
    // A log that cannot be opened must not stop the program; records are
    // simply lost until a rotation manages to reopen it.
    if (!m_file.open(openMode()))
        reportProblem(QStringLiteral("Log: could not open log file ") + filePath, m_file.errorString());
    m_outputStream.setDevice(&m_file);
    m_outputStream.setCodec("UTF-8");
    m_rotationStrategy->initFromFile(m_file);
}

FileDestination::~FileDestination()
{
    m_rotationStrategy.reset();
    m_outputStream.flush();
    m_outputStream.setDevice(nullptr);
    m_file.close();
}

QIODevice::OpenMode FileDestination::openMode() const
{
    return QIODevice::WriteOnly | QIODevice::Text | m_rotationStrategy->openModeFlag();
}

void FileDestination::write(const QString &record, LogLevel level)
{
    Q_UNUSED(level)
    m_rotationStrategy->countMessage(record);
    if (m_rotationStrategy->isRotationDue()) {
        m_outputStream.setDevice(nullptr);
        m_file.close();
        m_rotationStrategy->rotate();
        if (!m_file.open(openMode()))
            reportProblem(QStringLiteral("Log: could not reopen log file ") + m_file.fileName(),
                          m_file.errorString());
        m_rotationStrategy->initFromFile(m_file);
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
