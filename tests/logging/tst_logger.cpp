#include "log.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace Logging;

namespace {

class RecordingDestination : public Destination
{
public:
    void write(const QString &record, LogLevel) override { records << record; }
    bool isValid() const override { return true; }
    QStringList records;
};

// Everything written to stderr while it lives, read back with text().
class StderrCapture
{
public:
    StderrCapture()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = dup(2);
        dup2(m_file.handle(), 2);
    }
    QByteArray text()
    {
        std::fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    QTemporaryFile m_file;
    int m_saved;
};

QString readUtf8(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("<none>");
}

const int PrefixLength = 30; // level field, blank, timestamp, blank

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private:
    QSharedPointer<RecordingDestination> m_recorder{new RecordingDestination};

    QString messageOf(const std::function<void(QDebug &)> &streamValues)
    {
        { LogRecordStream record(Info); streamValues(record.stream()); }
        return m_recorder->records.last().mid(PrefixLength);
    }

private slots:
    void initTestCase()
    {
        Logger::instance().addDestination(m_recorder);
        // The log must be UTF-8 whatever the locale says.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    }
    void init() { Logger::instance().setLevel(Trace); m_recorder->records.clear(); }

    void recordFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("field");
        QTest::newRow("trace") << int(Trace) << "TRACE";
        QTest::newRow("debug") << int(Debug) << "DEBUG";
        QTest::newRow("info") << int(Info) << " INFO";
        QTest::newRow("warn") << int(Warn) << " WARN";
        QTest::newRow("error") << int(Error) << "ERROR";
        QTest::newRow("fatal") << int(Fatal) << "FATAL";
        QTest::newRow("off") << int(Off) << "     ";
        QTest::newRow("out of range") << 9 << " INFO";
    }
    void recordFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, field);
        { LogRecordStream record(static_cast<LogLevel>(level)); record.stream() << QStringLiteral("hello") << Qt::endl; }
        QCOMPARE(m_recorder->records.size(), 1);
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^(.{5}) (\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}) \"hello\" \n$"))
                .match(m_recorder->records.first());
        QVERIFY2(match.hasMatch(), qPrintable(m_recorder->records.first()));
        QCOMPARE(match.captured(1), field);
        const QDateTime stamp = QDateTime::fromString(match.captured(2), QStringLiteral("yyyy-MM-ddThh:mm:ss.zzz"));
        QVERIFY(qAbs(stamp.msecsTo(QDateTime::currentDateTime())) < 5000);
    }

    void messageText()
    {
        QCOMPARE(messageOf([](QDebug &d) { d << QStringLiteral("a b") << Qt::endl; }), QStringLiteral("\"a b\" \n"));
        QCOMPARE(messageOf([](QDebug &d) { d << "plain" << 42; }), QStringLiteral("plain 42 "));
        QCOMPARE(messageOf([](QDebug &d) { d << QStringLiteral("%1 %2"); }), QStringLiteral("\"%1 %2\" "));
        QCOMPARE(messageOf([](QDebug &d) { d << QStringList{QStringLiteral("x"), QStringLiteral("y z")}; }),
                 QStringLiteral("(\"x\", \"y z\") "));
    }

    void thresholdSkipsEvaluation()
    {
        Logger::instance().setLevel(Info);
        int evaluated = 0;
        const auto value = [&evaluated] { return ++evaluated; };
        LOG_TRACE() << value();
        LOG_DEBUG() << value();
        QCOMPARE(evaluated, 0);
        QVERIFY(m_recorder->records.isEmpty());
        LOG_INFO() << value();
        LOG_WARN() << value();
        LOG_ERROR() << value();
        LOG_FATAL() << value();
        QCOMPARE(evaluated, 4);
        QCOMPARE(m_recorder->records.size(), 4);

        // The else must belong to the caller's if, not to the statement's test.
        bool elseTaken = false;
        if (evaluated < 0)
            LOG_ERROR() << value();
        else
            elseTaken = true;
        QVERIFY(elseTaken);
        QCOMPARE(m_recorder->records.size(), 4);
    }

    void debugOutputWritesLine()
    {
        StderrCapture capture;
        createDebugOutputDestination()->write(QStringLiteral(" INFO record"), Info);
        QCOMPARE(capture.text(), QByteArray(" INFO record\n"));
    }

    void noRotationTruncates()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("earlier run\n") > 0);
        old.close();
        QSharedPointer<Destination> log = createFileDestination(path, false, 0, 0);
        QVERIFY(log->isValid());
        log->write(QStringLiteral("a"), Info);
        log->write(QStringLiteral("\u00e9"), Info);
        QCOMPARE(readUtf8(path), QStringLiteral("a\n\u00e9\n"));
    }

    void rotation_data()
    {
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("backups");
        QTest::addColumn<QStringList>("existing"); // name, content, name, content...
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QStringList>("expected"); // name, content ("<none>": absent)...
        const QString k512a(512, QLatin1Char('a')), k512b(512, QLatin1Char('b')), k512c(512, QLatin1Char('c'));
        const QString e300(300, QChar(0xe9)), x2000(2000, QLatin1Char('x'));
        const QStringList r5 = {"r1", "r2", "r3", "r4", "r5"};
        QStringList r12;
        for (int i = 1; i <= 12; ++i)
            r12 << QStringLiteral("r%1").arg(i);
        QTest::newRow("past 1024 bytes, not at") << qint64(1024) << 2 << QStringList() << QStringList{k512a, k512b, k512c}
            << QStringList{"log.txt", k512c + "\n", "log.txt.1", k512a + "\n" + k512b + "\n", "log.txt.2", "<none>"};
        QTest::newRow("counts UTF-8 bytes") << qint64(1024) << 2 << QStringList() << QStringList{e300, e300}
            << QStringList{"log.txt", e300 + "\n", "log.txt.1", e300 + "\n"};
        QTest::newRow("two backups, never a third") << qint64(0) << 2 << QStringList() << r5
            << QStringList{"log.txt", "r5\n", "log.txt.1", "r4\n", "log.txt.2", "r3\n", "log.txt.3", "<none>"};
        QTest::newRow("count above ten keeps ten") << qint64(0) << 25 << QStringList() << r12
            << QStringList{"log.txt", "r12\n", "log.txt.1", "r11\n", "log.txt.10", "r2\n", "log.txt.11", "<none>"};
        QTest::newRow("no backups deletes the log") << qint64(0) << 0 << QStringList() << r5
            << QStringList{"log.txt", "r5\n", "log.txt.1", "<none>"};
        QTest::newRow("gap in the backups") << qint64(0) << 3
            << QStringList{"log.txt", "old\n", "log.txt.1", "one", "log.txt.3", "three"} << QStringList{"new"}
            << QStringList{"log.txt", "new\n", "log.txt.1", "old\n", "log.txt.2", "one", "log.txt.3", "three"};
        QTest::newRow("oversized leftover") << qint64(1024) << 2 << QStringList{"log.txt", x2000}
            << QStringList{"fresh"} << QStringList{"log.txt", "fresh\n", "log.txt.1", x2000, "log.txt.2", "<none>"};
    }
    void rotation()
    {
        QFETCH(qint64, maxSize);
        QFETCH(int, backups);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, records);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        for (int i = 0; i < existing.size(); i += 2) {
            QFile file(dir.filePath(existing[i]));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(existing[i + 1].toUtf8());
        }
        QSharedPointer<Destination> log = createFileDestination(dir.filePath(QStringLiteral("log.txt")), true, maxSize, backups);
        for (const QString &record : records)
            log->write(record, Info);
        for (int i = 0; i < expected.size(); i += 2)
            QCOMPARE(readUtf8(dir.filePath(expected[i])), expected[i + 1]);
    }

    void missingFolderDiagnostics_data()
    {
        QTest::addColumn<bool>("rotate");
        QTest::addColumn<QString>("afterOpen");
        QTest::newRow("rotating") << true << "Log: could not rename log %1 to %1.1Log: could not reopen log file %1";
        QTest::newRow("not rotating") << false << "";
    }
    void missingFolderDiagnostics()
    {
        QFETCH(bool, rotate);
        QFETCH(QString, afterOpen);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("missing/log.txt"));
        StderrCapture capture;
        {
            QSharedPointer<Destination> log = createFileDestination(path, rotate, 10, 2);
            QVERIFY(!log->isValid());
            log->write(QStringLiteral("longer than ten bytes"), Error);
        }
        QCOMPARE(QString::fromLocal8Bit(capture.text()),
                 QStringLiteral("Log: could not open log file ") + path + afterOpen.replace(QStringLiteral("%1"), path));
        QVERIFY(!QFileInfo::exists(path));
    }
};

QTEST_MAIN(TestLogger)
#include "tst_logger.moc"
