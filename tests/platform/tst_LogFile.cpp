// The line form, rotation and the crashed session's tail are checked in
// tst_CrashReporter, through the report on a crashed child's session.
#include "log/LogFile.h"
#include "log/Logging.h"

#include <QtTest>

class TestLogFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Nothing is written after stop(); a process that never logged has no tail.
    void stopEndsTheSession()
    {
        QTemporaryDir dir;
        LogFile log(dir.filePath(QStringLiteral("state/corvane")));
        QVERIFY2(log.start(), qPrintable(log.errorString()));
        Logging::info(QStringLiteral("before stop"));
        log.stop();
        Logging::info(QStringLiteral("after stop"));
        const qint64 pid = QCoreApplication::applicationPid();
        QVERIFY(log.sessionTail(pid).endsWith(QLatin1String("][INFO][default] before stop")));
        QCOMPARE(log.sessionTail(pid).count(u'\n'), 0);
        QCOMPARE(log.sessionTail(pid + 1), QString());
    }

    // XDG base directory rules: a relative XDG_STATE_HOME is ignored.
    void stateDirectory()
    {
        const QString fallback = QDir::homePath() + QStringLiteral("/.local/state/corvane");
        qputenv("XDG_STATE_HOME", "/srv/state");
        QCOMPARE(LogFile::stateDirectory(), QStringLiteral("/srv/state/corvane"));
        qputenv("XDG_STATE_HOME", "state");
        QCOMPARE(LogFile::stateDirectory(), fallback);
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(LogFile::stateDirectory(), fallback);
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_LogFile.moc"
