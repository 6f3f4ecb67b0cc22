#ifndef TESTLOG_H
#define TESTLOG_H

// The process's log, as versionupdater writes it, captured in a file: each
// test reads only the records written since it began.

#include "log.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class TestLog
{
public:
    // Once per process: the logger keeps its destinations until exit.
    void start(const QString &path)
    {
        m_path = path;
        Logging::Logger::instance().setLevel(Logging::Trace);
        Logging::Logger::instance().addDestination(Logging::createFileDestination(path, false, 0, 0));
    }
    // Forget what was written so far.
    void mark() { m_offset = QFile(m_path).size(); }
    // The records since mark().
    QStringList records() const
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
            return {};
        return QString::fromUtf8(file.readAll()).split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    }
    // The records that hold every one of the texts, at the given level.
    QStringList matching(const QString &level, const QStringList &texts) const
    {
        QStringList found = records().filter(QRegularExpression("^" + QRegularExpression::escape(level.rightJustified(5))));
        for (const QString &text : texts)
            found = found.filter(text);
        return found;
    }

private:
    QString m_path;
    qint64 m_offset = 0;
};

#endif // TESTLOG_H
