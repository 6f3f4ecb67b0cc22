#include "downloadentry.h"

#include <QFileInfo>
#include <QStringList>

DownloadEntry DownloadEntry::parse(const QString &text)
{
    DownloadEntry entry;
    const QStringList parts = text.split(QLatin1Char('='), Qt::KeepEmptyParts);
    const QString url = parts.at(0).trimmed();
    entry.url = QUrl(url, QUrl::TolerantMode);
    if (parts.size() == 1) {
        entry.fileName = QFileInfo(url).fileName();
    } else {
        QString name = parts.at(1);
        name.remove(QLatin1Char('\n'));
        entry.fileName = name.trimmed();
    }
    return entry;
}

QString DownloadEntry::describe(const QUrl &url, const QString &fileName)
{
    return url.toString() + QStringLiteral(" -> ") + fileName;
}
