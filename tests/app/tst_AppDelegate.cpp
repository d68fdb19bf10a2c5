#include "DelegateHome.h"
#include "Version.h"
#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "bridge/BridgeController.h"
#include "log/Logging.h"
#include "platform/LaunchOnLogin.h"
#include "support/LogCapture.h"

#include <QAction>
#include <QIcon>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include <csignal>

using namespace std::chrono_literals;

// Drives the delegate through the notifications its collaborators post,
// with private settings, a discovery aimed at nothing and a fake bridge.
class TestAppDelegate : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<DelegateHome> m_home;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<LogCapture> m_log;

    void discover(const DeviceInfo& info, bool coordinator = true)
    {
        m_home->discover(info, coordinator);
        QCoreApplication::processEvents();
    }

    QString status() const { return m_delegate->firstMenuItem()->text(); }
    bool logged(const QString& text) const
    {
        return std::any_of(m_log->lines.begin(), m_log->lines.end(),
                           [&](const LogCapture::Line& line) { return std::get<2>(line) == text; });
    }
    QStringList statusLog() const
    {
        QStringList out;
        for (const auto& [level, category, message] : m_log->lines) {
            if (message.startsWith(QLatin1String("Corvane: ")))
                out.append(message);
        }
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<DelegateHome>();
        m_delegate = std::make_unique<AppDelegate>(AppDelegate::StatusItemMode::Headless,
                                                   m_home->services());
        m_log = std::make_unique<LogCapture>();
        m_delegate->applicationDidFinishLaunching();
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));
        m_log->lines.clear();
    }

    void cleanup()
    {
        m_delegate->applicationWillTerminate();
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
        m_delegate.reset();
        m_home.reset();
        m_log.reset();
    }

    void menuShowsSpeakersOfThisRun()
    {
        DeviceSettings remembered =
            mergeDiscovered(std::nullopt,
                            speakerAt(QStringLiteral("127.0.0.5"), QStringLiteral("Attic"),
                                      QStringLiteral("uuid:C")),
                            DeviceTopology(true, "G"));
        remembered.active = false;
        m_home->settings.setDevice(remembered.info.location, remembered);

        discover(speakerAt(QStringLiteral("127.0.0.3"), QStringLiteral("Office"),
                           QStringLiteral("uuid:B")));
        discover(speakerAt(QStringLiteral("127.0.0.2"), QStringLiteral("Bath"),
                           QStringLiteral("uuid:A")));
        DeviceSettings office = *m_home->settings.device(
            QUrl(QStringLiteral("http://127.0.0.3:1400/xml/device_description.xml")));
        office.enabled = false;
        m_home->settings.setDevice(office.info.location, office);
        m_delegate->controller()->deviceSettingsChanged();
        QCoreApplication::processEvents();

        const QList<QAction*> items = m_delegate->statusMenu()->actions();
        QCOMPARE(m_delegate->deviceMenuItems().size(), 2);
        QCOMPARE(items.at(4)->text(), QStringLiteral("Bath - One"));
        QCOMPARE(items.at(5)->text(), QStringLiteral("Office - One"));
        QVERIFY(items.at(4)->isChecked() && !items.at(5)->isChecked());
        QVERIFY(!items.at(4)->isEnabled() && !items.at(5)->isEnabled());
        QVERIFY(items.at(6)->isSeparator());
        QCOMPARE(items.at(1), m_delegate->onOffMenuItem());
    }

    // The status line and the on/off item follow the controller, including
    // a bridge that ends by itself.
    void menuFollowsTheBridge()
    {
        discover(speakerAt(QStringLiteral("127.0.0.2"), QStringLiteral("Kitchen"),
                           QStringLiteral("uuid:A")));
        m_home->discovery.stopSearching(); // the search's end, without waiting 8 s
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(statusLog(), QStringList({QStringLiteral("Corvane: Starting..."),
                                           QStringLiteral("Corvane: Running")}));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));

        ::kill(pid_t(m_home->bridge.processId()), SIGKILL);
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Stopped"));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane On"));

        // The item turns Corvane on, then off again.
        m_delegate->onOffClicked();
        QVERIFY(logged(QStringLiteral("onClicked")));
        QVERIFY(m_home->discovery.isSearching());
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));
        m_delegate->onOffClicked();
        QVERIFY(logged(QStringLiteral("offClicked")));
        QVERIFY(m_delegate->controller()->isStoppedByUser());
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Off"));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane On"));
        QVERIFY(!m_home->bridge.isRunning());
    }

    void crashReporterHooks()
    {
        AppDelegate::crashReporterLog([] { return std::optional<QString>(QStringLiteral("x")); },
                                      CrashReporter::LogLevel::Warning, "/a/b/report", "start", 42);
        AppDelegate::crashReporterLog({}, CrashReporter::LogLevel::Error, nullptr, nullptr, 7);
        AppDelegate::crashReporterLog([] { return std::optional<QString>(QStringLiteral("d")); },
                                      CrashReporter::LogLevel::Debug, "f", "g", 1);
        const LogCapture::Line warning{Logging::Level::Warning, QStringLiteral("HockeySDK"),
                                       QStringLiteral("report:42 start x")};
        const LogCapture::Line error{Logging::Level::Error, QStringLiteral("HockeySDK"),
                                     QStringLiteral(":7  ")};
        QCOMPARE(m_log->lines, QList<LogCapture::Line>({warning, error}));

        // Counting is the controller's (tested there); the delegate hands each crash on.
        m_delegate->crashManagerWillShowSubmitCrashReportAlert(m_home->reporter);
        QCOMPARE(Settings(m_home->store).crashesByVersion.value(Settings::applicationVersion()), 1);
    }

    void aboutAndQuit()
    {
        QVERIFY(!QIcon(QStringLiteral(":/statusIcon.svg")).pixmap(22, 22).isNull());
        QString shown;
        m_delegate->setAboutPresenter([&](const QString& text) { shown = text; });
        m_delegate->aboutClicked();
        QCOMPARE(shown, QStringLiteral("Corvane ") + QLatin1String(corvane::kVersion));
        QVERIFY(logged(QStringLiteral("aboutClicked")));
        // Headless builds no feedback manager without an address: the item does nothing.
        m_delegate->feedbackClicked();
        QVERIFY(logged(QStringLiteral("feedbackClicked")));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_AppDelegate.moc"
