#include "log/Log.h"
#include "log/Logging.h"

#include <QRegularExpression>
#include <QtTest>

#include <thread>
#include <vector>

namespace {

struct Captured {
    Logging::Level level;
    Logging::Category category;
    QString message;
};

} // namespace

class TestLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        Logging::setReceiver({});
        Logging::setThreshold(Logging::Level::Verbose);
    }

    void ringKeepsNewestThousand()
    {
        Log log;
        log.setEchoEnabled(false);
        for (int i = 1; i <= 1001; ++i)
            log.receive(Logging::Level::Info, std::nullopt, QString::number(i));
        QCOMPARE(log.count(), 1000);
        const QList<LogMessage> lines = log.lines();
        QCOMPARE(lines.first().message, QStringLiteral("2"));
        QCOMPARE(lines.last().message, QStringLiteral("1001"));
        const QStringList dumped = log.dump(1000).split(QLatin1Char('\n'));
        QCOMPARE(dumped.size(), 1000);
        QVERIFY(dumped.first().endsWith(QLatin1String("] 2")));
        QVERIFY(dumped.last().endsWith(QLatin1String("] 1001")));
        // Keeps wrapping correctly well past the first lap.
        for (int i = 1002; i <= 3500; ++i)
            log.receive(Logging::Level::Info, std::nullopt, QString::number(i));
        QVERIFY(log.dump(1).endsWith(QLatin1String("] 3500")));
        QVERIFY(log.dump(1000).startsWith(QLatin1Char('[')));
        QVERIFY(log.dump(1000).section(QLatin1Char('\n'), 0, 0).endsWith(QLatin1String("] 2501")));
    }

    void dumpCounts()
    {
        Log log;
        log.setEchoEnabled(false);
        QCOMPARE(log.dump(100), QString());
        for (int i = 0; i < 30; ++i)
            log.receive(Logging::Level::Debug, QStringLiteral("SSDP"),
                        QStringLiteral("m%1").arg(i));
        QCOMPARE(log.dump(100).split(QLatin1Char('\n')).size(), 30);
        QCOMPARE(log.dump(0), QString());
        QCOMPARE(log.dump(-3), QString());
        QCOMPARE(log.dump(2).count(QLatin1Char('\n')), 1);
        QVERIFY(!log.dump(2).endsWith(QLatin1Char('\n')));
    }

    void lineForm()
    {
        LogMessage message{QDateTime(QDate(2017, 6, 1), QTime(10, 20, 30), Qt::UTC),
                           Logging::Level::Warning, std::nullopt, QStringLiteral("hello")};
        QCOMPARE(message.lineForm(),
                 QStringLiteral("[2017-06-01 10:20:30 +0000][WARNING][default] hello"));
        // Local time stamps are written in UTC.
        message.timestamp = QDateTime(QDate(2017, 6, 1), QTime(12, 20, 30), QTimeZone(7200));
        message.category = QStringLiteral("AirConnect");
        message.message = QStringLiteral("two\nlines %s {} %d");
        QCOMPARE(
            message.lineForm(),
            QStringLiteral("[2017-06-01 10:20:30 +0000][WARNING][AirConnect] two\nlines %s {} %d"));
        QCOMPARE(Log::echoLine(Logging::Level::Error, std::nullopt, QStringLiteral("a%20b")),
                 QStringLiteral("[ERROR][default] a%20b"));
    }

    void facadePassesDataAndThreshold()
    {
        QList<Captured> got;
        Logging::setReceiver(
            [&](Logging::Level level, const Logging::Category& category, const QString& message) {
                got.append({level, category, message});
            });
        Logging::setThreshold(Logging::Level::Info);
        Logging::debug(QStringLiteral("dropped"));
        Logging::info(QStringLiteral("{} %s %n {0}"), QStringLiteral("SSDP"));
        Logging::error(QStringLiteral("ünïcode ✓"));
        Logging::warning(QStringLiteral("w"), QStringLiteral("settings"));
        QCOMPARE(got.size(), 3);
        QCOMPARE(got[0].level, Logging::Level::Info);
        QCOMPARE(got[0].category, QStringLiteral("SSDP"));
        QCOMPARE(got[0].message, QStringLiteral("{} %s %n {0}"));
        QCOMPARE(got[1].category, std::nullopt);
        QCOMPARE(got[1].message, QStringLiteral("ünïcode ✓"));
        QCOMPARE(got[2].level, Logging::Level::Warning);
        QCOMPARE(got[2].category, QStringLiteral("settings"));

        Logging::setThreshold(Logging::Level::Verbose);
        Logging::verbose(QStringLiteral("v"));
        QCOMPARE(got.last().level, Logging::Level::Verbose);
    }

    void qtMessagesReachTheBuffer()
    {
        Log log;
        log.setEchoEnabled(false);
        log.attach();
        Logging::installQtMessageHandler();
        qWarning("from Qt %d", 5);
        qInstallMessageHandler(nullptr);
        QCOMPARE(log.count(), 1);
        QCOMPARE(log.lines().first().category, QStringLiteral("Qt"));
        QCOMPARE(log.lines().first().level, Logging::Level::Warning);
        QCOMPARE(log.lines().first().message, QStringLiteral("from Qt 5"));
    }

    void concurrentAppendsAndDumps()
    {
        Log log(100);
        log.setEchoEnabled(false);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < 2000; ++i) {
                    log.receive(Logging::Level::Info, std::nullopt,
                                QStringLiteral("t%1 %2").arg(t).arg(i));
                    if (i % 100 == 0)
                        (void)log.dump(50);
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        QCOMPARE(log.count(), 100);
        static const QRegularExpression line(
            QStringLiteral(R"(^\[[-0-9: +]{25}\]\[INFO\]\[default\] t\d \d+$)"));
        for (const QString& text : log.dump(100).split(QLatin1Char('\n')))
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_Log.moc"
