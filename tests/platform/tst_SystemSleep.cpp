#include "log/Logging.h"
#include "platform/SystemSleep.h"
#include "support/FakeInhibitor.h"

#include <QtTest>

class TestSystemSleep : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        SystemSleep::setInhibitor(nullptr);
        Logging::setReceiver({});
    }

    // Each script character: p preventSleep, a allowSleep, Y/N the bus grants
    // or refuses.
    void stateMachine_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        const auto row = [](const char* name, QString script, QString trace) {
            QTest::newRow(name) << script << trace;
        };
        row("take and release", "pYa", "iPrA");
        row("started twice takes one", "pYp", "iP");
        row("second start while waiting", "ppY", "iP");
        row("release without creation", "a", "");
        row("failure is not retried", "pNp", "iF");
        row("failure cleared by release", "pNapY", "iFrAiP");
        // Calls made before the bus answers run in order once it has.
        row("stop while waiting", "paY", "iPrA");
        row("stop and start while waiting", "papYY", "iPrAiP");
        row("stop, start, stop while waiting", "papaYY", "iPrAiPrA");
        row("refused, then stop while waiting", "paN", "iFrA");
    }
    void stateMachine()
    {
        QFETCH(QString, script);
        QFETCH(QString, trace);
        FakeInhibitor fake;
        // SystemSleep's log lines go into the trace too, each by its first
        // letter: P preventing, F failed (the one warning), A allowing.
        Logging::setReceiver(
            [&fake](Logging::Level level, const Logging::Category& category, const QString& text) {
                if (!category && (level == Logging::Level::Warning) == text.startsWith(u"Failed"))
                    fake.trace += text.front();
            });
        SystemSleep::setInhibitor(&fake);
        for (const QChar step : script) {
            step == u'p'   ? SystemSleep::preventSleep()
            : step == u'a' ? SystemSleep::allowSleep()
                           : fake.answer(step == u'Y');
        }
        QCOMPARE(fake.trace, trace);
    }
};

QTEST_GUILESS_MAIN(TestSystemSleep)
#include "tst_SystemSleep.moc"
