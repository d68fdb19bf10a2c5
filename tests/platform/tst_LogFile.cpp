// The line form, rotation, privacy and the crashed session's tail are
// checked in tst_CrashReporter, through the report on a crashed child.
#include "log/LogFile.h"

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
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(LogFile::stateDirectory(), fallback);
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_LogFile.moc"
