#ifndef UPDATERPROCESS_H
#define UPDATERPROCESS_H

// Runs a program of the system as an end user's machine would, but with no
// display at all, so that any window or box makes it fail instead of
// waiting. Returns its exit status; -1 when it had to be killed after
// timeoutMs, -2 when it crashed. `output` receives its standard output.

#include <QProcess>
#include <QString>
#include <QStringList>

inline int runWithoutDisplay(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                             QString *errors = nullptr, int timeoutMs = 60000, QByteArray *output = nullptr)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(variable));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (errors)
        *errors = QString::fromLocal8Bit(process.readAllStandardError());
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

#endif // UPDATERPROCESS_H
