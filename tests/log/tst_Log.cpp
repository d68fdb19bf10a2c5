#include "log/Log.h"
#include "log/Logging.h"

#include <QtTest>

#include <thread>
#include <vector>

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
        QCOMPARE(log.lines().first().message, QStringLiteral("2"));
        QCOMPARE(log.dump(1000).count(QLatin1Char('\n')), 999);
        QCOMPARE(log.dump(5000), log.dump(1000));
        QCOMPARE(log.dump(0), QString());
        QCOMPARE(log.dump(-3), QString());
        // Keeps wrapping correctly well past the first lap.
        for (int i = 1002; i <= 3500; ++i)
            log.receive(Logging::Level::Info, std::nullopt, QString::number(i));
        QVERIFY(log.dump(1).endsWith(QLatin1String("] 3500")));
        QVERIFY(log.dump(1000).section(QLatin1Char('\n'), 0, 0).endsWith(QLatin1String("] 2501")));
    }

    void lineForm()
    {
        // Local time stamps are written in UTC.
        const LogMessage message{QDateTime(QDate(2017, 6, 1), QTime(12, 20, 30), QTimeZone(7200)),
                                 Logging::Level::Warning, QStringLiteral("AirConnect"),
                                 QStringLiteral("two\nlines %s {} %d")};
        QCOMPARE(
            message.lineForm(),
            QStringLiteral("[2017-06-01 10:20:30 +0000][WARNING][AirConnect] two\nlines %s {} %d"));
    }

    void facadePassesDataAndThreshold()
    {
        QStringList got;
        Logging::setReceiver(
            [&](Logging::Level level, const Logging::Category& category, const QString& message) {
                got.append(Log::echoLine(level, category, message));
            });
        Logging::setThreshold(Logging::Level::Info);
        Logging::debug(QStringLiteral("dropped"));
        Logging::info(QStringLiteral("{} %s %n {0}"), QStringLiteral("SSDP"));
        Logging::error(QStringLiteral("ünïcode ✓"));
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::verbose(QStringLiteral("v"));
        QCOMPARE(got, QStringList({QStringLiteral("[INFO][SSDP] {} %s %n {0}"),
                                   QStringLiteral("[ERROR][default] ünïcode ✓"),
                                   QStringLiteral("[VERBOSE][default] v")}));
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
        QVERIFY(log.dump(1).endsWith(QLatin1String("][WARNING][Qt] from Qt 5")));
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
        // Every line whole: no message torn or lost between writers.
        QCOMPARE(log.dump(100).count(QStringLiteral(" +0000][INFO][default] t")), 100);
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_Log.moc"
