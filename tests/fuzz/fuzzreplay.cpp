// Replays every kept input of one fuzz target (its seed corpus and the
// crashing, hanging or hostile inputs kept as fixtures) through the target's
// libFuzzer entry, in the normal build and under the sanitizers. The folders
// come from the build as FUZZ_INPUT_DIRS, separated by "|".
#include <QtTest>

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
// Only some targets set up state before the first input.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

#ifdef FUZZ_GENERATED_INPUTS
// Inputs made at run time, too large to keep as files.
QList<QPair<QString, QByteArray>> fuzzGeneratedInputs();
#endif

class TestFuzzReplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QByteArray program = QCoreApplication::applicationFilePath().toLocal8Bit();
        char *argv[] = {program.data(), nullptr};
        int argc = 1;
        char **args = argv;
        QVERIFY(!LLVMFuzzerInitialize || LLVMFuzzerInitialize(&argc, &args) == 0);
    }

    void replay_data()
    {
        QTest::addColumn<QByteArray>("input");
        int files = 0;
        for (const QString &folder : QStringLiteral(FUZZ_INPUT_DIRS).split('|', Qt::SkipEmptyParts)) {
            for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
                QFile file(info.filePath());
                QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(info.filePath() + ": " + file.errorString()));
                QTest::newRow(qPrintable(QDir(folder).dirName() + '/' + info.fileName())) << file.readAll();
                ++files;
            }
        }
        // A wrong folder would leave nothing to replay and pass silently.
        QVERIFY2(files > 0, FUZZ_INPUT_DIRS);
#ifdef FUZZ_GENERATED_INPUTS
        for (const auto &generated : fuzzGeneratedInputs())
            QTest::newRow(qPrintable(generated.first)) << generated.second;
#endif
    }

    // The entry checks its own properties and aborts when one breaks; here
    // each input has to come back, and come back with 0.
    void replay()
    {
        QFETCH(QByteArray, input);
        // An exact-size copy, so that a read past the end is seen.
        std::vector<std::uint8_t> bytes(input.cbegin(), input.cend());
        QCOMPARE(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    }
};

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "fuzzreplay.moc"
