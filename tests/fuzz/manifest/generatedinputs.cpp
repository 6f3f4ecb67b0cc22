// Inputs too large to keep as files: manifests nested far deeper than the
// DOM's recursion survives, as distant, as local and as both.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace {
QByteArray nested(int levels)
{
    return "<UPDATE_STRUCTURE>" + QByteArray("<directory name=\"d\">").repeated(levels) + "<file name=\"f\" crc=\"1\"/>" +
           QByteArray("</directory>").repeated(levels) + "</UPDATE_STRUCTURE>";
}
} // namespace

QList<QPair<QString, QByteArray>> fuzzGeneratedInputs()
{
    const QByteArray deep = nested(100000);
    const QByteArray shallow = nested(3);
    return {{QStringLiteral("100,000 levels, distant"), deep + '\0' + shallow},
            {QStringLiteral("100,000 levels, local"), shallow + '\0' + deep},
            {QStringLiteral("100,000 levels, both"), deep}};
}
