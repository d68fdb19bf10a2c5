// A crashing child logs into small rotating log files, so the report that
// the next launch makes also shows the log file's line form and rotation.
#include "Version.h"
#include "log/LogFile.h"
#include "log/Logging.h"
#include "platform/CrashReporter.h"

#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

const QString kIdentifier = QStringLiteral("0123456789abcdef0123456789abcdef");

// Looks like a session marker; logged as the second line of a message.
const QString kForgedMarker =
    QStringLiteral("[2024-01-01 00:00:00 +0000][INFO][session] Corvane 0.1.0 started, process %1");

// The child half: log a session, start the reporter, crash.
// The null store is the point: the sanitizer must not stop it before the kernel does.
__attribute__((no_sanitize("undefined"))) int crashChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    struct rlimit noCore {};
    ::setrlimit(RLIMIT_CORE, &noCore); // no core file in the build tree
    LogFile log(dir, 4096, 3);
    log.start();
    for (int i = 1; i <= 300; ++i)
        Logging::info(QStringLiteral("child line %1").arg(i));
    Logging::info(QStringLiteral("hello {} %s"), QStringLiteral("SSDP"));
    Logging::warning(QStringLiteral("first\n") +
                     kForgedMarker.arg(QCoreApplication::applicationPid()));
    CrashReporter reporter(dir, QString());
    reporter.configureWithIdentifier(kIdentifier, nullptr);
    reporter.startManager();
    const int signal = std::atoi(argv[3]);
    volatile int* volatile nowhere = nullptr;
    if (signal == SIGSEGV)
        *nowhere = 1;
    else if (signal == SIGABRT)
        std::abort();
    std::raise(signal);
    return 4;
}

struct Delegate : CrashReporterDelegate {
    void crashManagerWillShowSubmitCrashReportAlert(CrashReporter&) override { ++alerts; }
    QString applicationLogForCrashManager(CrashReporter&) override { return log; }
    int alerts = 0;
    const QString log = QStringLiteral("current session buffer");
};

} // namespace

class TestCrashReporter : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void crashIsOfferedOnceHeadless_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGSEGV") << int(SIGSEGV);
        QTest::newRow("SIGABRT") << int(SIGABRT);
        QTest::newRow("SIGBUS") << int(SIGBUS);
    }
    void crashIsOfferedOnceHeadless()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString state = dir.filePath(QStringLiteral("state"));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--crash-child"), state, QString::number(signal)});
        const qint64 pid = child.processId();
        QVERIFY(child.waitForFinished(30000));
        // It still dies by its signal, so core dumps keep working.
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(child.exitCode(), signal);
        // Its log rotated within the size and count it was given, privately.
        const QStringList logFiles = LogFile(state, 4096, 3).files();
        QCOMPARE(logFiles.size(), 3);
        for (const QString& f : logFiles)
            QVERIFY2(QFileInfo(f).size() <= 4096 &&
                         !(QFile::permissions(f) & (QFile::ReadOther | QFile::ReadGroup)),
                     qPrintable(f));
        QCOMPARE(QFile::permissions(state) & QFile::ExeOther, QFile::Permissions());

        CrashReporter next(state, QString());
        const QStringList pending = next.pendingCrashFiles();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(QFile::permissions(pending.first()) & QFile::ReadOther, QFile::Permissions());
        // Only finished files count as pending.
        QCOMPARE(QDir(next.crashDirectory()).entryList(QDir::Files | QDir::Hidden).size(), 1);

        // Headless, with this session logging into the same files: the report
        // goes to reports/ with the crashed session's log and the delegate's,
        // and a warning goes to the handler.
        LogFile thisSession(state, 4096, 3);
        QVERIFY(thisSession.start());
        Logging::info(QStringLiteral("this session"));
        Delegate delegate;
        next.configureWithIdentifier(QStringLiteral("id"), &delegate);
        QStringList handled; // level, file name, function and message of each
        next.setLogHandler([&handled](const CrashReporter::MessageProvider& message,
                                      CrashReporter::LogLevel level, const char* file,
                                      const char* function, quint32) {
            handled << QString::number(int(level)) << QFileInfo(QString::fromUtf8(file)).fileName()
                    << QString::fromUtf8(function) << message().value_or(QString());
        });
        QSignalSpy finished(&next, &CrashReporter::pendingReportsHandled);
        next.startManager();
        QCOMPARE(delegate.alerts, 0); // offered from the event loop, after start-up
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(delegate.alerts, 1);
        QVERIFY(next.pendingCrashFiles().isEmpty()); // nothing left for the next launch
        const QDir reportsDir(next.reportsDirectory());
        const QStringList reports = reportsDir.entryList({QStringLiteral("*.txt")}, QDir::Files);
        QCOMPARE(reports.size(), 1);
        QFile file(reportsDir.filePath(reports[0]));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.startsWith(QLatin1String("Corvane crash report\n")));
        QVERIFY2(text.contains(
                     QStringLiteral("Signal: %1 (%2)\n").arg(signal).arg(QTest::currentDataTag())),
                 qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("Identifier: %1\n").arg(kIdentifier)));
        QVERIFY(text.contains(QLatin1String("Version: ") + QLatin1String(corvane::kVersion)));
        const QString frames =
            text.section(QStringLiteral("Backtrace:\n"), 1).section(QStringLiteral("\n\n"), 0, 0);
        QVERIFY2(frames.count(QLatin1Char('\n')) >= 2, qPrintable(text));

        // The crashed session's last 100 lines, across the rotation; a message's
        // further lines are indented, so the forged marker does not cut it short.
        const QStringList tail = text.section(QStringLiteral("lines):\n"), 1)
                                     .section(QStringLiteral("\n\n"), 0, 0)
                                     .split(QLatin1Char('\n'));
        QCOMPARE(tail.size(), 100);
        QVERIFY2(tail[0].endsWith(QLatin1String(" +0000][INFO][default] child line 204")),
                 qPrintable(tail[0]));
        QVERIFY(tail[97].endsWith(QLatin1String(" +0000][INFO][SSDP] hello {} %s")));
        QVERIFY(tail[98].endsWith(QLatin1String(" +0000][WARNING][default] first")));
        QCOMPARE(tail[99], QStringLiteral("    ") + kForgedMarker.arg(pid));
        QVERIFY(!text.contains(QLatin1String("] this session")));
        QVERIFY(text.contains(delegate.log));
        QCOMPARE(handled.size(), 4); // one warning, from where it was made
        QCOMPARE(handled.mid(0, 2),
                 (QStringList{QStringLiteral("2"), QStringLiteral("CrashReporter.cpp")}));
        QVERIFY(!handled[2].isEmpty() && handled[3].endsWith(reports[0]));

        // This session's lines reach its file until it stops, whichever loggers existed before.
        thisSession.stop();
        Logging::info(QStringLiteral("after stop"));
        QVERIFY(thisSession.sessionTail(QCoreApplication::applicationPid(), 1)
                    .endsWith(QLatin1String("] this session")));
    }

    // With an alert, each crash waits for the answer to the one before.
    void crashesAreOfferedOneAtATime()
    {
        QTemporaryDir dir;
        CrashReporter reporter(dir.path(), QString());
        for (const char* name : {"/crash-1-1.txt", "/crash-2-2.txt"})
            QVERIFY(QDir().mkpath(reporter.crashDirectory()) &&
                    QFile(reporter.crashDirectory() + name).open(QIODevice::WriteOnly));
        QList<std::function<void()>> shown;
        reporter.setPresenter([&shown](const CrashReport&, auto done) { shown.append(done); });
        reporter.startManager();
        QTRY_COMPARE(shown.size(), 1);
        shown[0]();
        QTRY_COMPARE(shown.size(), 2);
    }
};

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--crash-child") == 0)
        return crashChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestCrashReporter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_CrashReporter.moc"
