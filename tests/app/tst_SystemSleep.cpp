#include "app/SystemSleep.h"
#include "log/Logging.h"
#include "platform/SleepInhibitor.h"

#include <QDBusConnection>
#include <QtTest>

namespace {

// Answers only when the test says so, like a bus that has not replied yet.
class FakeInhibitor : public SleepInhibitor {
public:
    FakeInhibitor() : SleepInhibitor(QDBusConnection(QString()), QDBusConnection(QString())) {}
    void inhibit(const QString&) override { ++inhibits; }
    void release() override { ++releases; }
    void answer(bool granted) { emit finished(granted); }
    int inhibits = 0;
    int releases = 0;
};

} // namespace

class TestSystemSleep : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        SystemSleep::setInhibitor(nullptr);
        Logging::setReceiver({});
    }

    // Each script character: p preventSleep, a allowSleep, Y/N the bus grants
    // or refuses. Logs: P preventing, F failed (a warning), A allowing.
    void stateMachine_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("inhibits");
        QTest::addColumn<int>("releases");
        QTest::addColumn<QString>("logs");
        QTest::addColumn<bool>("onRecord");

        QTest::newRow("take and release")
            << QStringLiteral("pYa") << 1 << 1 << QStringLiteral("PA") << false;
        QTest::newRow("started twice takes one")
            << QStringLiteral("pYp") << 1 << 0 << QStringLiteral("P") << true;
        QTest::newRow("second start while waiting")
            << QStringLiteral("ppY") << 1 << 0 << QStringLiteral("P") << true;
        QTest::newRow("release without creation")
            << QStringLiteral("a") << 0 << 0 << QStringLiteral("") << false;
        QTest::newRow("released twice")
            << QStringLiteral("pYaa") << 1 << 1 << QStringLiteral("PA") << false;
        QTest::newRow("start, stop, start")
            << QStringLiteral("pYapYa") << 2 << 2 << QStringLiteral("PAPA") << false;
        QTest::newRow("failure is not retried")
            << QStringLiteral("pNp") << 1 << 0 << QStringLiteral("F") << true;
        QTest::newRow("failure cleared by release")
            << QStringLiteral("pNapY") << 2 << 1 << QStringLiteral("FAP") << true;
        // Calls made before the bus answers run in order once it has.
        QTest::newRow("stop while waiting")
            << QStringLiteral("paY") << 1 << 1 << QStringLiteral("PA") << false;
        QTest::newRow("stop and start while waiting")
            << QStringLiteral("papYY") << 2 << 1 << QStringLiteral("PAP") << true;
        QTest::newRow("stop, start, stop while waiting")
            << QStringLiteral("papaYY") << 2 << 2 << QStringLiteral("PAPA") << false;
        QTest::newRow("refused, then stop while waiting")
            << QStringLiteral("paN") << 1 << 1 << QStringLiteral("FA") << false;
    }
    void stateMachine()
    {
        QFETCH(QString, script);
        QFETCH(int, inhibits);
        QFETCH(int, releases);
        QFETCH(QString, logs);
        QFETCH(bool, onRecord);

        QString seen;
        Logging::setReceiver(
            [&seen](Logging::Level level, const Logging::Category& category, const QString& text) {
                QVERIFY(!category);
                if (text == QLatin1String("Preventing system from idle sleeping") &&
                    level == Logging::Level::Info)
                    seen += QLatin1Char('P');
                else if (text == QLatin1String("Failed to disable system idle sleep") &&
                         level == Logging::Level::Warning)
                    seen += QLatin1Char('F');
                else if (text == QLatin1String("Allowing user idle sleep again") &&
                         level == Logging::Level::Info)
                    seen += QLatin1Char('A');
            });
        FakeInhibitor fake;
        SystemSleep::setInhibitor(&fake);
        for (const QChar step : script) {
            switch (step.toLatin1()) {
            case 'p':
                SystemSleep::preventSleep();
                break;
            case 'a':
                SystemSleep::allowSleep();
                break;
            case 'Y':
                fake.answer(true);
                break;
            case 'N':
                fake.answer(false);
                break;
            }
        }
        QCOMPARE(seen, logs);
        QCOMPARE(fake.inhibits, inhibits);
        QCOMPARE(fake.releases, releases);
        QCOMPARE(SystemSleep::isCreationOnRecord(), onRecord);
    }

    void resultCodes()
    {
        FakeInhibitor fake;
        SystemSleep::setInhibitor(&fake);
        SystemSleep::preventSleep();
        QCOMPARE(SystemSleep::creationResult(), std::nullopt);
        fake.answer(false);
        QCOMPARE(SystemSleep::creationResult(), std::optional<qint32>(-1));
        SystemSleep::allowSleep();
        QCOMPARE(SystemSleep::creationResult(), std::nullopt);
        SystemSleep::preventSleep();
        fake.answer(true);
        QCOMPARE(SystemSleep::creationResult(), std::optional<qint32>(0));
    }

    // No bus at all: the creation fails from the event loop and Corvane goes on.
    void noBusFails()
    {
        QStringList warnings;
        Logging::setReceiver(
            [&warnings](Logging::Level level, const Logging::Category&, const QString& text) {
                if (level == Logging::Level::Warning)
                    warnings << text;
            });
        const QString nowhere = QStringLiteral("unix:path=/nonexistent/bus");
        SleepInhibitor inhibitor(QDBusConnection::connectToBus(nowhere, QStringLiteral("a")),
                                 QDBusConnection::connectToBus(nowhere, QStringLiteral("b")));
        SystemSleep::setInhibitor(&inhibitor);
        SystemSleep::preventSleep();
        QVERIFY(warnings.isEmpty());
        QTRY_COMPARE(SystemSleep::creationResult(), std::optional<qint32>(-1));
        QCOMPARE(warnings, QStringList{QStringLiteral("Failed to disable system idle sleep")});
    }
};

QTEST_GUILESS_MAIN(TestSystemSleep)
#include "tst_SystemSleep.moc"
