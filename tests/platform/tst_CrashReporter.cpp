#include "Version.h"
#include "log/LogFile.h"
#include "log/Logging.h"
#include "platform/CrashReporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

// The child half: log a session into the log file, start the reporter, crash.
int crashChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    const QByteArray how = argv[3];
    struct rlimit noCore {};
    ::setrlimit(RLIMIT_CORE, &noCore); // no core file in the build tree
    LogFile log(dir);
    if (!log.start())
        return 3;
    for (int i = 1; i <= 150; ++i)
        Logging::info(QStringLiteral("child line %1").arg(i));
    CrashReporter reporter(dir, QString());
    reporter.configureWithIdentifier(QStringLiteral("0123456789abcdef0123456789abcdef"), nullptr);
    reporter.startManager();
    if (how == "segv") {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (how == "abort") {
        std::abort();
    } else {
        std::raise(SIGBUS);
    }
    return 4;
}

class Delegate : public CrashReporterDelegate {
public:
    void crashManagerWillShowSubmitCrashReportAlert(CrashReporter&) override { ++alerts; }
    QString applicationLogForCrashManager(CrashReporter&) override
    {
        return QStringLiteral("current session line");
    }
    int alerts = 0;
};

struct Handled {
    CrashReporter::LogLevel level;
    QString file;
    QString function;
    QString message;
};

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestCrashReporter : public QObject {
    Q_OBJECT

    // Runs this binary as a crashing child; returns its signal.
    int crashOnce(const QString& dir, const char* how)
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--crash-child"), dir, QString::fromLatin1(how)});
        if (!child.waitForFinished(30000)) {
            child.kill();
            child.waitForFinished();
            return -1;
        }
        return child.exitStatus() == QProcess::CrashExit ? child.exitCode() : 0;
    }

    void attachHandler(CrashReporter& reporter, QList<Handled>& handled)
    {
        reporter.setLogHandler([&handled](const CrashReporter::MessageProvider& message,
                                          CrashReporter::LogLevel level, const char* file,
                                          const char* function, quint32) {
            handled.append({level, QString::fromUtf8(file), QString::fromUtf8(function),
                            message ? message().value_or(QString()) : QString()});
        });
    }

private Q_SLOTS:
    void crashLeavesFile_data()
    {
        QTest::addColumn<QByteArray>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("name");
        QTest::newRow("segmentation fault")
            << QByteArray("segv") << int(SIGSEGV) << QStringLiteral("SIGSEGV");
        QTest::newRow("abort") << QByteArray("abort") << int(SIGABRT) << QStringLiteral("SIGABRT");
        QTest::newRow("bus error") << QByteArray("bus") << int(SIGBUS) << QStringLiteral("SIGBUS");
    }
    void crashLeavesFile()
    {
        QFETCH(QByteArray, how);
        QFETCH(int, signal);
        QFETCH(QString, name);
        QTemporaryDir dir;
        // The child still dies by its signal, so core dumps keep working.
        QCOMPARE(crashOnce(dir.path(), how.constData()), signal);

        CrashReporter reporter(dir.path(), QString());
        const QStringList pending = reporter.pendingCrashFiles();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(QFile::permissions(pending.first()) & QFile::ReadOther, QFile::Permissions());
        const std::optional<CrashReport> report = CrashReporter::readCrashFile(pending.first());
        QVERIFY(report);
        QVERIFY2(
            report->crashText.contains(QStringLiteral("Signal: %1 (%2)\n").arg(signal).arg(name)),
            qPrintable(report->crashText));
        QCOMPARE(report->version, QString::fromUtf8(corvane::kVersion));
        QVERIFY(report->pid > 0);
        QVERIFY(qAbs(report->crashTime.secsTo(QDateTime::currentDateTimeUtc())) < 120);
        QVERIFY(report->crashText.contains(
            QLatin1String("Identifier: 0123456789abcdef0123456789abcdef\n")));
        const QString frames = report->crashText.section(QStringLiteral("Backtrace:\n"), 1);
        QVERIFY2(frames.count(QLatin1Char('\n')) >= 3, qPrintable(report->crashText));
        // Only finished files count as pending.
        QCOMPARE(QDir(reporter.crashDirectory()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    // Headless: each crash is offered once, written with both logs to
    // reports/, and a warning goes through the log handler.
    void nextLaunchOffersOnceHeadless()
    {
        QTemporaryDir dir;
        QCOMPARE(crashOnce(dir.path(), "segv"), int(SIGSEGV));

        Delegate delegate;
        QList<Handled> handled;
        CrashReporter reporter(dir.path(), QString());
        reporter.configureWithIdentifier(QStringLiteral("id"), &delegate);
        attachHandler(reporter, handled);
        QSignalSpy done(&reporter, &CrashReporter::pendingReportsHandled);
        reporter.startManager();
        QCOMPARE(delegate.alerts, 0); // offered from the event loop, after start-up
        QTRY_COMPARE(done.size(), 1);
        QCOMPARE(delegate.alerts, 1);
        QVERIFY(reporter.pendingCrashFiles().isEmpty());

        const QStringList reports =
            QDir(reporter.reportsDirectory()).entryList({QStringLiteral("*.txt")}, QDir::Files);
        QCOMPARE(reports.size(), 1);
        const QString text = readAll(reporter.reportsDirectory() + QLatin1Char('/') + reports[0]);
        QVERIFY(text.startsWith(QLatin1String("Corvane crash report\n")));
        QVERIFY(text.contains(QLatin1String("Signal: 11 (SIGSEGV)")));
        QVERIFY(text.contains(QLatin1String("[INFO][default] child line 150\n")));
        QVERIFY(text.contains(QLatin1String("[INFO][default] child line 51\n")));
        QVERIFY(!text.contains(QLatin1String("child line 50\n")));
        QVERIFY(text.contains(QLatin1String("current session line")));

        QCOMPARE(handled.size(), 1);
        QCOMPARE(handled[0].level, CrashReporter::LogLevel::Warning);
        QVERIFY(handled[0].file.endsWith(QLatin1String("/CrashReporter.cpp")));
        QVERIFY(!handled[0].function.isEmpty());
        QVERIFY(handled[0].message.contains(reports[0]));

        // The launch after that has nothing to offer.
        CrashReporter again(dir.path(), QString());
        again.configureWithIdentifier(QStringLiteral("id"), &delegate);
        again.startManager();
        QCoreApplication::processEvents();
        QCOMPARE(delegate.alerts, 1);
    }

    // With a presenter, reports are shown one at a time, oldest first.
    void presenterShowsOneAtATime()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("crashes")));
        for (const char* name : {"crash-2000-22.txt", "crash-1000-11.txt"}) {
            QFile f(dir.filePath(QStringLiteral("crashes/") + QLatin1String(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray("Corvane crash report\nProcess: ") + QByteArray(name + 11, 2) +
                    "\nTime: 2024-02-03 04:05:06 +0000\nBacktrace:\n");
        }
        Delegate delegate;
        CrashReporter reporter(dir.path(), QString());
        reporter.configureWithIdentifier(QStringLiteral("id"), &delegate);
        QList<CrashReport> shown;
        std::function<void()> answer;
        reporter.setPresenter([&](const CrashReport& report, std::function<void()> done) {
            shown.append(report);
            answer = std::move(done);
        });
        QSignalSpy finished(&reporter, &CrashReporter::pendingReportsHandled);
        reporter.startManager();
        QTRY_COMPARE(shown.size(), 1);
        QCOMPARE(shown[0].pid, 11);
        QCOMPARE(shown[0].crashTime, QDateTime(QDate(2024, 2, 3), QTime(4, 5, 6), Qt::UTC));
        QCOMPARE(shown[0].applicationLog, QStringLiteral("current session line"));
        QCOMPARE(delegate.alerts, 1);
        QCoreApplication::processEvents();
        QCOMPARE(shown.size(), 1);
        answer();
        answer(); // a second answer to the same alert changes nothing
        QTRY_COMPARE(shown.size(), 2);
        QCOMPARE(shown[1].pid, 22);
        answer();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(delegate.alerts, 2);
        QVERIFY(!QDir(reporter.reportsDirectory()).exists());
    }

    // Its own errors and warnings reach the handler up to the configured level.
    void logLevelFiltersOwnMessages_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("expected");
        QTest::newRow("warning") << int(CrashReporter::LogLevel::Warning) << 3;
        QTest::newRow("error") << int(CrashReporter::LogLevel::Error) << 2;
        QTest::newRow("none") << int(CrashReporter::LogLevel::None) << 0;
    }
    void logLevelFiltersOwnMessages()
    {
        QFETCH(int, level);
        QFETCH(int, expected);
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("crashes")));
        for (const char* name : {"crash-1-1.txt", "crash-2-2.txt"}) {
            QFile f(dir.filePath(QStringLiteral("crashes/") + QLatin1String(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        // A file where reports/ belongs: neither report can be saved.
        QFile blocker(dir.filePath(QStringLiteral("reports")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        CrashReporter reporter(dir.path(), QString());
        QList<Handled> handled;
        attachHandler(reporter, handled);
        reporter.setLogLevel(CrashReporter::LogLevel(level));
        QSignalSpy finished(&reporter, &CrashReporter::pendingReportsHandled);
        reporter.startManager();
        QTRY_COMPARE(finished.size(), 1);
        reporter.startManager(); // already started: a warning
        QCOMPARE(handled.size(), expected);
        for (int i = 0; i < qMin(expected, 2); ++i) {
            QCOMPARE(handled[i].level, CrashReporter::LogLevel::Error);
            QVERIFY(handled[i].message.startsWith(QLatin1String("Cannot save the crash report")));
        }
        if (expected == 3)
            QCOMPARE(handled[2].level, CrashReporter::LogLevel::Warning);
    }

    void feedbackManager_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("present");
        QTest::newRow("none") << QString() << false;
        QTest::newRow("https") << QStringLiteral("https://example.org/corvane/feedback") << true;
        QTest::newRow("mailto") << QStringLiteral("mailto:feedback@example.org") << true;
        QTest::newRow("not an address") << QStringLiteral("feedback please") << false;
        QTest::newRow("local file") << QStringLiteral("file:///etc/passwd") << false;
    }
    void feedbackManager()
    {
        QFETCH(QString, address);
        QFETCH(bool, present);
        QTemporaryDir dir;
        CrashReporter reporter(dir.path(), address);
        QCOMPARE(reporter.feedbackManager() != nullptr, present);
        if (!present)
            return;
        QList<QUrl> opened;
        reporter.feedbackManager()->setUrlOpener([&opened](const QUrl& url) {
            opened.append(url);
            return true;
        });
        QVERIFY(reporter.feedbackManager()->showFeedbackWindow());
        QCOMPARE(opened, QList<QUrl>{QUrl(address)});
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
