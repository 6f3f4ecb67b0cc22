// Every end state of both update windows, and the manifest editor, drawn
// on a real X server at scale 1 and 2. The window suites run again under
// Xvfb with UPDATER_SCREENSHOTS set: they check the texts and values
// through the widgets as always, and leave a picture of each state in the
// build tree (screenshots/scale-N/), where CI keeps them.

#include "xvfbdisplay.h"

#include <QImage>
#include <QSet>
#include <QtTest>

class TestScreenshots : public QObject
{
    Q_OBJECT

    XvfbDisplay m_display;

private slots:
    void initTestCase() { QVERIFY(m_display.start()); }

    void windows_data()
    {
        QTest::addColumn<QString>("suite");
        QTest::addColumn<QStringList>("functions");
        QTest::addColumn<int>("scale");
        QTest::addColumn<QStringList>("pictures");
        for (int scale : {1, 2}) {
            QTest::addRow("updater, scale %d", scale)
                << UPDATERGUI_TEST << QStringList{"endStates"} << scale
                << QStringList{"updater-running", "updater-done", "updater-done-with-errors", "updater-refused",
                               "updater-cancelled", "updater-window-closed"};
            QTest::addRow("versionupdater, scale %d", scale)
                << UPDATERUI_TEST << QStringList{"endStates"} << scale
                << QStringList{"versionupdater-running", "versionupdater-finished", "versionupdater-error",
                               "versionupdater-no-update", "versionupdater-list-not-found", "versionupdater-list-refused",
                               "versionupdater-cancel", "versionupdater-close"};
            QTest::addRow("manifest editor, scale %d", scale)
                << MANIFESTEDITOR_TEST << QStringList{"windowFitsTheScreen", "compareListsDistantAgainstLocal"} << scale
                << QStringList{"manifesteditor"};
        }
    }
    void windows()
    {
        QFETCH(QString, suite);
        QFETCH(QStringList, functions);
        QFETCH(int, scale);
        QFETCH(QStringList, pictures);
        const QDir folder(QStringLiteral(SCREENSHOTS_DIR "/scale-%1").arg(scale));
        for (const QString &picture : pictures)
            QFile::remove(folder.filePath(picture + ".png"));

        QProcessEnvironment env = m_display.environment();
        env.insert("QT_SCALE_FACTOR", QString::number(scale));
        env.insert("UPDATER_SCREENSHOTS", folder.path());
        QProcess run;
        run.setProcessEnvironment(env);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(suite, functions);
        const bool ended = run.waitForFinished(150000);
        if (!ended) {
            run.kill();
            run.waitForFinished(20000);
        }
        const QByteArray output = run.readAll();
        QVERIFY2(ended && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, output.right(4000).constData());

        for (const QString &picture : pictures) {
            const QImage image(folder.filePath(picture + ".png"));
            QVERIFY2(!image.isNull(), qPrintable(picture));
            // Drawn at the scale, and not a blank area.
            QVERIFY2(image.width() >= 300 * scale && image.height() >= 80 * scale,
                     qPrintable(QStringLiteral("%1: %2x%3").arg(picture).arg(image.width()).arg(image.height())));
            QSet<QRgb> colours;
            for (int y = 0; y < image.height() && colours.size() < 3; y += 3)
                for (int x = 0; x < image.width(); x += 3)
                    colours.insert(image.pixel(x, y));
            QVERIFY2(colours.size() >= 3, qPrintable(picture));
        }
    }
};

QTEST_GUILESS_MAIN(TestScreenshots)
#include "tst_screenshots.moc"
