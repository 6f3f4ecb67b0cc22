#include "comparedialog.h"
#include "ui_comparedialog.h"

#include "filechooser.h"
#include "manifest.h"
#include "manifestcomparison.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>

#include <memory>

CompareDialog::CompareDialog(FileChooser *chooser, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CompareDialog)
    , m_chooser(chooser)
{
    ui->setupUi(this);
    ui->distantEdit->setText(QDir::current().filePath(QStringLiteral("Distant")));
    ui->localEdit->setText(QDir::current().filePath(QStringLiteral("Local")));
    connect(ui->compareButton, &QPushButton::clicked, this, &CompareDialog::compare);
    connect(ui->closeButton, &QPushButton::clicked, this, &QDialog::close);
    connect(ui->distantBrowse, &QPushButton::clicked, this, [this] { browse(true); });
    connect(ui->localBrowse, &QPushButton::clicked, this, [this] { browse(false); });
}

CompareDialog::~CompareDialog()
{
    delete ui;
}

QString CompareDialog::distantPath() const
{
    return ui->distantEdit->text();
}

QString CompareDialog::localPath() const
{
    return ui->localEdit->text();
}

void CompareDialog::browse(bool distant)
{
    QLineEdit *edit = distant ? ui->distantEdit : ui->localEdit;
    const QString path = m_chooser->openFileName(this, distant ? QStringLiteral("Distant manifest")
                                                               : QStringLiteral("Local manifest"),
                                                 edit->text());
    if (path.isEmpty())
        return;
    edit->setText(path);
    compare();
}

void CompareDialog::compare()
{
    QStringList notes;
    // A file that cannot be read counts as an empty manifest, and the
    // dialog says so: otherwise everything would seem new, or gone.
    auto read = [&notes](const QString &what, const QString &path) {
        QString error;
        const QDomDocument document = readManifestDocument(path, &error);
        if (document.isNull())
            notes << QStringLiteral("%1 %2 cannot be read (%3): compared as an empty manifest.")
                         .arg(what, QDir::toNativeSeparators(path), error);
        return document;
    };
    const QDomDocument distant = read(QStringLiteral("Distant"), distantPath());
    const QDomDocument local = read(QStringLiteral("Local"), localPath());
    QPair<QDomElement, QDomElement> roots(distant.documentElement(), local.documentElement());
    const std::unique_ptr<QList<DOM_DIFF *>> records(compareManifests(&roots));

    m_differences.clear();
    int added = 0;
    int removed = 0;
    for (const DOM_DIFF *record : qAsConst(*records)) {
        const QString name = elementName(record->distant);
        QString line;
        if (record->type == REMOVED) {
            line = name + QStringLiteral(" to DELETE");
            ++removed;
        } else if (isFile(record->distant) || (record->type == NEW && isDirectory(record->distant))) {
            line = name + QStringLiteral(" is NEW.");
            ++added;
        }
        if (line.isEmpty())
            continue;
        m_differences << line;
        // Also where the comparison has always written it.
        qDebug().noquote() << line;
    }
    qDeleteAll(*records);

    notes << (m_differences.isEmpty() ? QStringLiteral("No difference.")
                                      : QStringLiteral("%1 new or changed, %2 to delete.").arg(added).arg(removed));
    ui->summaryLabel->setText(notes.join(QLatin1Char('\n')));
    ui->resultView->setPlainText(m_differences.join(QLatin1Char('\n')));
}
