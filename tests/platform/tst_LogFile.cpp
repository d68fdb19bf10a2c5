// The line form, rotation, privacy and the crashed session's tail are
// checked in tst_CrashReporter, through the report on a crashed child.
#include "log/LogFile.h"
#include "log/Logging.h"

#include <QtTest>

class TestLogFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // XDG base directory rules: a relative XDG_STATE_HOME is ignored.
    void stateDirectory()
    {
        const QString fallback = QDir::homePath() + QStringLiteral("/.local/state/corvane");
        qputenv("XDG_STATE_HOME", "/srv/state");
        QCOMPARE(LogFile::stateDirectory(), QStringLiteral("/srv/state/corvane"));
        qputenv("XDG_STATE_HOME", "state");
        QCOMPARE(LogFile::stateDirectory(), fallback);
    }

    // A tail stops at its session's start, even after an earlier process of the same id.
    void tailAndSingleFile()
    {
        QTemporaryDir dir;
        const QByteArray start = "[2024-01-01 00:00:00 +0000][INFO][session] Corvane 1.0 started, "
                                 "process 7\n";
        QFile file(dir.filePath(QStringLiteral("corvane.log")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(start + "old\n" + start + "new\n"));
        file.close();
        QCOMPARE(LogFile::sessionTail(dir.path(), 7, 10), QStringLiteral("new"));

        LogFile single(dir.path(), 1024, 1);
        QVERIFY(single.start()); // one file starts afresh rather than growing
        for (int i = 0; i < 50; ++i)
            Logging::info(QStringLiteral("line %1").arg(i));
        QCOMPARE(single.files().size(), 1);
        QVERIFY(QFileInfo(single.path()).size() <= 1024);
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_LogFile.moc"
