#ifndef XVFBDISPLAY_H
#define XVFBDISPLAY_H

// A virtual X display of its own for tests that run programs (or this
// test program again) on a real window system: Xvfb picks a free display
// number and says which. Everything started with environment() draws
// there; the server goes with the object.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

class XvfbDisplay
{
public:
    // False when Xvfb did not come up within 20 s.
    bool start(const QString &screen = QStringLiteral("1280x900x24"))
    {
        m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", screen});
        if (!m_server.waitForReadyRead(20000))
            return false;
        m_display = QLatin1Char(':') + QString::fromLatin1(m_server.readLine().trimmed());
        return m_display.size() > 1;
    }
    ~XvfbDisplay()
    {
        m_server.kill();
        m_server.waitForFinished(20000);
    }
    // The system's environment with this display and Qt's X11 platform.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        return env;
    }

private:
    QProcess m_server;
    QString m_display;
};

#endif // XVFBDISPLAY_H
