#include "log.h"
#include "runhistory.h"

#include <QTextCodec>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

using namespace Logging;

namespace {

struct RecordingDestination : Destination
{
    void write(const QString &record, LogLevel) override { records << record; }
    bool isValid() const override { return true; }
    QStringList records;
};

// What action writes to stderr.
QString stderrOf(const std::function<void()> &action)
{
    QTemporaryFile file;
    file.open();
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(file.handle(), 2);
    action();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    file.seek(0);
    return QString::fromLocal8Bit(file.readAll());
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

    QSharedPointer<RecordingDestination> m_recorder{new RecordingDestination};

private slots:
    void initTestCase()
    {
        Logger::instance().addDestination(m_recorder);
        // The log must stay UTF-8 whatever the locale says.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    }
    void init() { Logger::instance().setLevel(Trace); m_recorder->records.clear(); }

    void recordFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("field");
        const QStringList fields{"TRACE", "DEBUG", " INFO", " WARN", "ERROR", "FATAL", "     "};
        for (int level = Trace; level <= Off; ++level)
            QTest::addRow("level %d", level) << level << fields[level];
        QTest::newRow("out of range") << 9 << " INFO";
    }
    void recordFormat()
    {
        QFETCH(int, level);
        // Values spaced and quoted as QDebug does; "%1" stays as it is.
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1); // the stamp keeps milliseconds
        LogRecordStream(static_cast<LogLevel>(level)).stream() << "plain" << 42 << QStringLiteral("%1 %2")
                                                               << QStringList{"x", "y z"} << Qt::endl;
        QCOMPARE(m_recorder->records.size(), 1);
        const QRegularExpressionMatch match = QRegularExpression(
            "^(.{5}) (\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}) plain 42 \"%1 %2\" \\(\"x\", \"y z\"\\) \n$")
                                                  .match(m_recorder->records[0]);
        QVERIFY2(match.hasMatch(), qPrintable(m_recorder->records[0]));
        QTEST(match.captured(1), "field");
        const QDateTime stamp = QDateTime::fromString(match.captured(2), "yyyy-MM-ddThh:mm:ss.zzz");
        QVERIFY(stamp >= before && stamp <= QDateTime::currentDateTime());
    }

    // A line or paragraph separator would split a record in many viewers:
    // escaped like a line feed, in quoted values and plain text alike.
    void lineSeparatorsEscaped()
    {
        const QString name = QStringLiteral("a%1b%2c\nd").arg(QChar(0x2028)).arg(QChar(0x2029));
        LogRecordStream(Info).stream() << name;
        LogRecordStream(Info).stream().noquote() << name;
        QCOMPARE(m_recorder->records.size(), 2);
        for (const QString &record : qAsConst(m_recorder->records)) {
            QVERIFY2(!record.contains(QChar(0x2028)) && !record.contains(QChar(0x2029)), qPrintable(record));
            QVERIFY2(record.contains(QStringLiteral("a\\u2028b\\u2029c")), qPrintable(record));
        }
        QVERIFY(m_recorder->records[0].contains(QStringLiteral("c\\nd")));
    }

    void thresholdSkipsEvaluation()
    {
        Logger::instance().setLevel(Info);
        int evaluated = 0;
        LOG_TRACE() << ++evaluated;
        LOG_DEBUG() << ++evaluated;
        QCOMPARE(evaluated, 0);
        LOG_INFO() << ++evaluated;
        LOG_WARN() << ++evaluated;
        LOG_ERROR() << ++evaluated;
        LOG_FATAL() << ++evaluated;
        QCOMPARE(evaluated, 4);
        // The else must belong to the caller's if, not to the statement's own test.
        bool elseTaken = false;
        if (evaluated < 0)
            LOG_ERROR() << ++evaluated;
        else
            elseTaken = true;
        QVERIFY(elseTaken);
    }

    void debugOutputWritesLine()
    {
        QCOMPARE(stderrOf([] { createDebugOutputDestination()->write(QStringLiteral(" INFO record"), Info); }),
                 QStringLiteral(" INFO record\n"));
    }

    void fileContents_data()
    {
        QTest::addColumn<bool>("rotate");
        QTest::addColumn<int>("maxSize");
        QTest::addColumn<int>("backups");
        QTest::addColumn<QStringList>("existing"); // name, content, ...
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QStringList>("expected"); // name, content ("<none>": absent), ...
        const QString a(512, 'a'), b(512, 'b'), c(512, 'c'), e(300, QChar(0xe9)), x(2000, 'x');
        QStringList r12;
        for (int i = 1; i <= 12; ++i)
            r12 << QStringLiteral("r%1").arg(i);
        QTest::newRow("no rotation truncates") << false << 0 << 0 << QStringList{"log.txt", "old"}
            << QStringList{"a", e} << QStringList{"log.txt", "a\n" + e + "\n", "log.txt.1", "<none>"};
        QTest::newRow("past 1024 bytes, not at") << true << 1024 << 2 << QStringList() << QStringList{a, b, c}
            << QStringList{"log.txt", c + "\n", "log.txt.1", a + "\n" + b + "\n", "log.txt.2", "<none>"};
        QTest::newRow("counts UTF-8 bytes") << true << 1024 << 2 << QStringList() << QStringList{e, e}
            << QStringList{"log.txt", e + "\n", "log.txt.1", e + "\n"};
        QTest::newRow("two backups, never a third") << true << 0 << 2 << QStringList() << QStringList(r12.mid(0, 5))
            << QStringList{"log.txt", "r5\n", "log.txt.1", "r4\n", "log.txt.2", "r3\n", "log.txt.3", "<none>"};
        QTest::newRow("above ten keeps ten") << true << 0 << 25 << QStringList() << r12
            << QStringList{"log.txt", "r12\n", "log.txt.1", "r11\n", "log.txt.10", "r2\n", "log.txt.11", "<none>"};
        QTest::newRow("no backups deletes") << true << 0 << 0 << QStringList() << QStringList(r12.mid(0, 5))
            << QStringList{"log.txt", "r5\n", "log.txt.1", "<none>"};
        QTest::newRow("gap in the backups") << true << 0 << 3
            << QStringList{"log.txt", "old\n", "log.txt.1", "one", "log.txt.3", "three"} << QStringList{"new"}
            << QStringList{"log.txt", "new\n", "log.txt.1", "old\n", "log.txt.2", "one", "log.txt.3", "three"};
        QTest::newRow("oversized leftover") << true << 1024 << 2 << QStringList{"log.txt", x}
            << QStringList{"fresh"} << QStringList{"log.txt", "fresh\n", "log.txt.1", x, "log.txt.2", "<none>"};
    }
    void fileContents()
    {
        QFETCH(int, maxSize);
        QFETCH(int, backups);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, records);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        for (int i = 0; i < existing.size(); i += 2) {
            QFile file(dir.filePath(existing[i]));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(existing[i + 1].toUtf8()) > 0);
        }
        QFETCH(bool, rotate);
        QSharedPointer<Destination> log = createFileDestination(dir.filePath("log.txt"), rotate, maxSize, backups);
        QVERIFY(log->isValid());
        for (const QString &record : records)
            log->write(record, Info);
        for (int i = 0; i < expected.size(); i += 2) {
            QFile file(dir.filePath(expected[i]));
            QCOMPARE(file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : "<none>", expected[i + 1]);
        }
    }

    // Each problem is one fixed text on stderr with the system's reason;
    // the program goes on.
    void problemsOnStderr_data()
    {
        QTest::addColumn<bool>("missingFolder"); // the log's folder does not exist
        QTest::addColumn<int>("backups");
        QTest::addColumn<QString>("expected"); // %1: the log's path
        QTest::newRow("missing folder")
            << true << 2
            << "Log: could not open log file %1 (No such file or directory)"
               "Log: could not rename log %1 to %1.1 (No such file or directory)"
               "Log: could not reopen log file %1 (No such file or directory)";
        QTest::newRow("missing folder, no backups")
            << true << 0
            << "Log: could not open log file %1 (No such file or directory)"
               "Log: backup delete failed %1 (No such file or directory)"
               "Log: could not reopen log file %1 (No such file or directory)";
        // log.txt.1 cannot move up onto a folder log.txt.2 that is not empty.
        QTest::newRow("backup in the way")
            << false << 2 << "Log: could not rename backup %1.1 to %1.2 (Is a directory)";
    }
    void problemsOnStderr()
    {
        QFETCH(bool, missingFolder);
        QFETCH(int, backups);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(missingFolder ? "missing/log.txt" : "log.txt");
        if (!missingFolder) {
            QVERIFY(QDir(dir.path()).mkpath("log.txt.2/inside"));
            QFile backup(path + ".1");
            QVERIFY(backup.open(QIODevice::WriteOnly) && backup.write("one") == 3);
        }
        bool valid = false;
        QCOMPARE(stderrOf([&] {
                     QSharedPointer<Destination> log = createFileDestination(path, true, 10, backups);
                     valid = log->isValid();
                     log->write(QStringLiteral("longer than ten bytes"), Error);
                 }),
                 expected.arg(path));
        QCOMPARE(valid, !missingFolder);
    }

    // One line per run, whatever the names hold; at most 20 failed files.
    void historyLine_data()
    {
        QTest::addColumn<QStringList>("failures"); // name, reason, ...
        QTest::addColumn<QString>("expected");
        const QString head = "2026-12-07T12:52:54 updater 1.0 -> 2.0 done with errors; fetched 3, failed %1, deleted 0; "
                             "1048579 bytes; 4.2 s";
        QTest::newRow("nothing failed") << QStringList() << head.arg(0);
        QTest::newRow("quotes and separators")
            << QStringList{QStringLiteral("a\"b\\c%1d\ne.dll").arg(QChar(0x2028)), "could not be verified"}
            << head.arg(1) + "; failed: \"a\\\"b\\\\c\\u2028d\\u000ae.dll\" \"could not be verified\"";
        QStringList many;
        QString listed;
        for (int i = 1; i <= 25; ++i) {
            many << QStringLiteral("f%1").arg(i) << "gone";
            if (i <= 20)
                listed += QStringLiteral("%1\"f%2\" \"gone\"").arg(i == 1 ? "" : ", ").arg(i);
        }
        QTest::newRow("25 failed files") << many << head.arg(25) + "; failed: " + listed + ", and 5 more";
    }
    void historyLine()
    {
        QFETCH(QStringList, failures);
        RunHistory::Run run;
        run.ended = QDateTime(QDate(2026, 12, 7), QTime(12, 52, 54, 42));
        run.program = "updater";
        run.fromVersion = "1.0";
        run.toVersion = "2.0";
        run.outcome = "done with errors";
        run.fetched = 3;
        run.failed = failures.size() / 2;
        run.bytes = 1048579;
        run.seconds = 4.21;
        for (int i = 0; i < failures.size(); i += 2)
            run.failures.append({failures[i], failures[i + 1]});
        QTEST(RunHistory::line(run), "expected");
    }

    // The last 200 runs are kept, oldest first; a link where the file goes
    // is replaced, never written through; no path, no file.
    void historyFile_data()
    {
        QTest::addColumn<int>("runs");
        QTest::addColumn<bool>("link");
        QTest::newRow("205 runs") << 205 << false;
        QTest::newRow("a link in place") << 1 << true;
    }
    void historyFile()
    {
        QFETCH(int, runs);
        QFETCH(bool, link);
        QTemporaryDir dir;
        const QString path = dir.filePath("update-history.log"), outside = dir.filePath("outside.txt");
        QFile target(outside);
        QVERIFY(target.open(QIODevice::WriteOnly) && target.write("not a history\n") == 14);
        target.close();
        if (link)
            QVERIFY(QFile::link(outside, path));
        RunHistory &history = RunHistory::instance();
        history.setPath(QString());
        QVERIFY(history.append(RunHistory::Run()));
        history.setPath(path);
        for (int i = 1; i <= runs; ++i) {
            RunHistory::Run run;
            run.program = QStringLiteral("run%1").arg(i);
            QVERIFY(history.append(run));
        }
        history.setPath(QString());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        QCOMPARE(lines.size(), qMin(runs, 200) + 1);
        QVERIFY(lines.last().isEmpty());
        QCOMPARE(lines.first().section(' ', 1, 1), QStringLiteral("run%1").arg(qMax(1, runs - 199)));
        QCOMPARE(lines.at(lines.size() - 2).section(' ', 1, 1), QStringLiteral("run%1").arg(runs));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(QFileInfo(outside).size(), qint64(14));
    }

    void historyUnwritable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("missing/update-history.log");
        RunHistory::instance().setPath(path);
        bool written = true;
        const QString errors = stderrOf([&] { written = RunHistory::instance().append(RunHistory::Run()); });
        RunHistory::instance().setPath(QString());
        QVERIFY(!written);
        QVERIFY2(errors.startsWith("Log: could not write run history " + path + " ("), qPrintable(errors));
    }
};

QTEST_MAIN(TestLogger)
#include "tst_logger.moc"
