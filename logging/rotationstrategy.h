#ifndef ROTATIONSTRATEGY_H
#define ROTATIONSTRATEGY_H

#include <QIODevice>
#include <QString>

class QFile;

namespace Logging {

// Decides when a log file is moved aside and how it is reopened.
class RotationStrategy
{
public:
    virtual ~RotationStrategy();
    // Take the state of the freshly (re)opened log file.
    virtual void initFromFile(const QFile &file) = 0;
    // Account for a record about to be written.
    virtual void countMessage(const QString &record) = 0;
    virtual bool isRotationDue() = 0;
    // Move the closed log file out of the way.
    virtual void rotate() = 0;
    // Added to WriteOnly | Text whenever the log file is opened.
    virtual QIODevice::OpenMode openModeFlag() = 0;
};

} // namespace Logging

#endif // ROTATIONSTRATEGY_H
