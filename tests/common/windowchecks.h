#ifndef WINDOWCHECKS_H
#define WINDOWCHECKS_H

// Checks shared by the window tests: every widget a user can reach has a
// name that a screen reader can say, and, when the screenshot run asks for
// it (UPDATER_SCREENSHOTS names a folder), a picture of the window as it
// is now.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QTextEdit>
#include <QWidget>

// The object names of the window's widgets (itself included) that a user
// reaches or reads, as shown now, and that have no accessible name. Qt's
// own inner parts (scroll bars, viewports: no object name or "qt_...") and
// hidden widgets are left out.
inline QStringList unnamedWidgets(QWidget *window)
{
    QStringList unnamed;
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *widget : qAsConst(widgets)) {
        const QString name = widget->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) || !widget->isVisibleTo(window))
            continue;
        const bool reached = qobject_cast<QAbstractButton *>(widget) || qobject_cast<QAbstractItemView *>(widget)
            || qobject_cast<QAbstractSlider *>(widget) || qobject_cast<QAbstractSpinBox *>(widget)
            || qobject_cast<QComboBox *>(widget) || qobject_cast<QLineEdit *>(widget)
            || qobject_cast<QPlainTextEdit *>(widget) || qobject_cast<QTextEdit *>(widget)
            || qobject_cast<QProgressBar *>(widget) || qobject_cast<QLabel *>(widget)
            || qobject_cast<QStatusBar *>(widget);
        if (!reached)
            continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
        if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << name;
    }
    return unnamed;
}

// Saves the window as UPDATER_SCREENSHOTS/name.png when that folder is
// given; true when there was nothing to do or the picture was written.
inline bool saveScreenshot(QWidget *window, const QString &name)
{
    const QString folder = qEnvironmentVariable("UPDATER_SCREENSHOTS");
    if (folder.isEmpty())
        return true;
    return QDir().mkpath(folder) && window->grab().save(QDir(folder).filePath(name + QStringLiteral(".png")), "PNG");
}

#endif // WINDOWCHECKS_H
