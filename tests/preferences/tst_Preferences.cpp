// The preferences window on the offscreen platform: the name field's
// shortcuts, the row's edits, and the list controller with its controls.

#include "app/BridgeState.h"
#include "bridge/AirConnect.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Log.h"
#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "preferences/EditableTextField.h"
#include "preferences/IconLoader.h"
#include "preferences/LaunchOnLogin.h"
#include "preferences/PreferencesTableViewItem.h"
#include "preferences/PreferencesWindow.h"
#include "settings/Settings.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

class FakeLaunchOnLogin : public LaunchOnLogin {
public:
    explicit FakeLaunchOnLogin(const QString& folder) : LaunchOnLogin(folder, folder) {}
    bool startAtLogin() const override { return answer; }
    void setStartAtLogin(bool on) override { calls.append(on); }
    bool answer = false;
    QList<bool> calls;
};

struct SpeakerSpec {
    QString name;
    QString host;
    bool active = true;
    bool coordinator = true;
    bool hasTopology = true;
    bool enabled = true;
};

QUrl locationOf(const QString& host)
{
    return QUrl(QStringLiteral("http://%1:1400/xml/device_description.xml").arg(host));
}

DeviceSettings speaker(const SpeakerSpec& spec)
{
    DeviceSettings record;
    record.name = spec.name;
    record.info = DeviceInfo(locationOf(spec.host));
    record.info.friendlyName = spec.host + " - Sonos One - RINCON_" + spec.name;
    if (spec.hasTopology)
        record.topology = DeviceTopology(spec.coordinator, QStringLiteral("RINCON_G:1"));
    record.active = spec.active;
    record.enabled = spec.enabled;
    return record;
}

DeviceInfo::IconPtr icon(const std::optional<QUrl>& url)
{
    auto entry = std::make_shared<DeviceInfo::Icon>();
    entry->url = url;
    return entry;
}

// Everything the window talks to, private to one test: a store in a
// temporary folder, a discovery that sends nowhere, a fake bridge.
struct Fixture {
    Fixture()
        : store(dir.filePath("config")), settings(store), discovery(quietDiscovery()),
          airConnect({TEST_SUPPORT_DIR "/fake-bridge-ready", dir.filePath("airupnp.xml"), 10s,
                      300ms, 300ms}),
          launchOnLogin(dir.path())
    {
        log.setEchoEnabled(false);
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            if (level == Logging::Level::Info && !category)
                infoMessages.append(message);
            log.receive(level, category, message);
        });
    }
    ~Fixture()
    {
        Logging::setReceiver({});
        airConnect.stopAndWait(2000);
    }
    static DeviceDiscovery::Options quietDiscovery()
    {
        DeviceDiscovery::Options options;
        options.ssdp.destinations.clear();
        options.ssdp.bindAddress = QHostAddress(QHostAddress::LocalHost);
        return options;
    }
    void add(const SpeakerSpec& spec)
    {
        const DeviceSettings record = speaker(spec);
        settings.setDevice(record.info.location, record);
    }

    QTemporaryDir dir;
    DefaultsStore store;
    Settings settings;
    DeviceDiscovery discovery;
    AirConnect airConnect;
    FakeLaunchOnLogin launchOnLogin;
    Log log;
    QStringList infoMessages; // info level, no category: what the rows log
};

// Serves a PNG at /icon.png on loopback, 404 for any other path.
class IconServer : public QObject {
public:
    IconServer()
    {
        QImage image(48, 48, QImage::Format_ARGB32);
        image.fill(Qt::darkCyan);
        QBuffer buffer(&m_png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                // A request of a few bytes arrives in one piece on loopback.
                const QByteArray path = socket->readAll().split(' ').value(1);
                requests.append(QString::fromLatin1(path));
                const QByteArray body = path == "/icon.png" ? m_png : QByteArray();
                socket->write((body.isEmpty() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                              QByteArray("\r\nConnection: close\r\nContent-Length: ") +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        });
    }
    QUrl url(const char* path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()) + path);
    }
    QStringList requests;

private:
    QTcpServer m_server;
    QByteArray m_png;
};

} // namespace

class TestPreferences : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<Fixture> m_env;
    std::unique_ptr<PreferencesWindow> m_window;
    std::unique_ptr<QSignalSpy> m_changed;
    const QUrl m_cafe = locationOf("192.168.1.20");

    ViewController& controller() { return m_window->controller(); }
    QPushButton* button() { return m_window->findChild<QPushButton*>("startStopButton"); }
    QProgressBar* spinner() { return m_window->findChild<QProgressBar*>("spinner"); }

    void showWindow(IconLoader* icons = nullptr)
    {
        ViewController::Services services{&m_env->settings,   &m_env->discovery,
                                          &m_env->airConnect, &m_env->launchOnLogin,
                                          &m_env->log,        icons};
        m_window = std::make_unique<PreferencesWindow>(services);
        m_window->show();
    }

    QStringList rowTitles()
    {
        QStringList titles;
        for (PreferencesTableViewItem* row : controller().rows())
            titles.append(row->noSpeakersFound()->isVisibleTo(row) ? QStringLiteral("<none>")
                                                                   : row->titleField()->text());
        return titles;
    }

    // One row showing the speaker "Café", as the list fills it.
    PreferencesTableViewItem* cafeRow()
    {
        m_env->add({"Caf\u00e9", "192.168.1.20"});
        m_env->settings.save();
        showWindow();
        m_env->infoMessages.clear();
        return controller().rows().first();
    }
    DeviceSettings current() { return *m_env->settings.device(m_cafe); }
    DeviceSettings saved() { return *Settings(m_env->store).device(m_cafe); }

    void emitDeviceDiscovered() { emit NotificationCenter::shared().deviceDiscovered({}, {}, {}); }

private Q_SLOTS:
    void init()
    {
        Corvane::bridgeStopped = false;
        m_env = std::make_unique<Fixture>();
        m_changed = std::make_unique<QSignalSpy>(&NotificationCenter::shared(),
                                                 &NotificationCenter::deviceSettingsChanged);
        QApplication::clipboard()->setText(QStringLiteral("clip"));
    }

    void cleanup()
    {
        m_changed.reset();
        m_window.reset();
        m_env.reset();
        Corvane::bridgeStopped = false;
    }

    // --- EditableTextField

    void shortcuts_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<bool>("windowShortcut");
        const Qt::KeyboardModifiers command(Qt::ControlModifier), shift(Qt::ShiftModifier);
        // From "Kitchen 2" with "tche" selected, after typing " 2".
        QTest::newRow("cut") << int(Qt::Key_X) << command << "Kin 2"
                             << "tche" << false;
        QTest::newRow("copy") << int(Qt::Key_C) << command << "Kitchen 2"
                              << "tche" << false;
        QTest::newRow("paste") << int(Qt::Key_V) << command << "Kiclipn 2"
                               << "clip" << false;
        QTest::newRow("select all") << int(Qt::Key_A) << command << "Kitchen 2"
                                    << "clip" << false;
        QTest::newRow("undo") << int(Qt::Key_Z) << command << "Kitchen"
                              << "clip" << false;
        QTest::newRow("command-alt-c: the window's")
            << int(Qt::Key_C) << (command | Qt::AltModifier) << "Kitchen 2"
            << "clip" << true;
        QTest::newRow("command-shift-x: Qt's") << int(Qt::Key_X) << (command | shift) << "Kitchen 2"
                                               << "clip" << false;
    }

    void shortcuts()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        // The window's own shortcuts compete for the keys, as a menu would.
        QWidget window;
        auto* field = new EditableTextField(&window);
        auto* action = new QAction(&window);
        action->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_A),
                              QKeySequence(Qt::CTRL | Qt::Key_C),
                              QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_C)});
        window.addAction(action);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        field->setFocus();
        field->setText(QStringLiteral("Kitchen"));
        QTest::keyClicks(field, QStringLiteral(" 2"));
        field->setSelection(2, 4);
        QSignalSpy triggered(action, &QAction::triggered);

        QTest::keyClick(field, Qt::Key(key), modifiers);

        QTEST(field->text(), "text");
        QTEST(QApplication::clipboard()->text(), "clipboard");
        QTEST(!triggered.isEmpty(), "windowShortcut");
        if (key == Qt::Key_Z && modifiers == Qt::ControlModifier) {
            QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
            QCOMPARE(field->text(), QStringLiteral("Kitchen 2")); // redo
        }
    }

    void shortcutsFallThrough_data()
    {
        QTest::addColumn<QEvent::Type>("type");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("readOnly");
        const int command = int(Qt::ControlModifier);
        const auto press = QEvent::KeyPress;
        QTest::newRow("meta") << press << (command | int(Qt::MetaModifier)) << int(Qt::Key_C)
                              << false;
        QTest::newRow("keypad") << press << (command | int(Qt::KeypadModifier)) << int(Qt::Key_C)
                                << false;
        QTest::newRow("other letter") << press << command << int(Qt::Key_B) << false;
        QTest::newRow("key release") << QEvent::KeyRelease << command << int(Qt::Key_C) << false;
        QTest::newRow("paste, read-only") << press << command << int(Qt::Key_V) << true;
    }

    void shortcutsFallThrough()
    {
        QFETCH(QEvent::Type, type);
        QFETCH(int, modifiers);
        QFETCH(int, key);
        QFETCH(bool, readOnly);
        EditableTextField field;
        field.setText(QStringLiteral("Kitchen"));
        field.setReadOnly(readOnly);
        QKeyEvent event(type, key, Qt::KeyboardModifiers(modifiers));
        QVERIFY(!field.performKeyEquivalent(&event));
        QCOMPARE(field.text(), QStringLiteral("Kitchen"));
    }

    // --- PreferencesTableViewItem

    void rename_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("changes");
        QTest::newRow("unchanged") << QStringLiteral("Caf\u00e9") << false;
        QTest::newRow("decomposed, same name") << QStringLiteral("Cafe\u0301") << false;
        QTest::newRow("new name") << QStringLiteral("Kitchen") << true;
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("surrounding spaces kept") << QStringLiteral(" Caf\u00e9 ") << true;
    }

    void rename()
    {
        QFETCH(QString, typed);
        QFETCH(bool, changes);
        PreferencesTableViewItem* row = cafeRow();
        // Changed elsewhere since the row was filled: the edit must keep it.
        DeviceSettings expected = current();
        expected.info.modelName = QStringLiteral("Sonos Five");
        m_env->settings.setDevice(m_cafe, expected);

        row->titleField()->setText(typed);
        row->titleEdited(row->titleField());

        if (changes) {
            expected.name = typed;
            expected.nameChanged = true;
        }
        QCOMPARE(current(), expected);
        QCOMPARE(saved().name, changes ? typed : QStringLiteral("Caf\u00e9"));
        QCOMPARE(saved().nameChanged, changes);
        QCOMPARE(m_changed->count(), changes ? 1 : 0);
        const QString logged = "Changing name for speaker at " + m_cafe.toString() +
                               " from \"Caf\u00e9\" to \"" + typed + '"';
        QCOMPARE(m_env->infoMessages, changes ? QStringList{logged} : QStringList());
    }

    void enablingTwice()
    {
        PreferencesTableViewItem* row = cafeRow();
        const DeviceSettings before = current();
        QTest::mouseClick(row->checkbox(), Qt::LeftButton);
        DeviceSettings off = before;
        off.enabled = false;
        QCOMPARE(current(), off); // active, name and nameChanged untouched
        QVERIFY(!saved().enabled);

        QTest::mouseClick(row->checkbox(), Qt::LeftButton);
        QCOMPARE(current(), before);
        QVERIFY(saved().enabled);
        QCOMPARE(m_changed->count(), 2);
        QCOMPARE(m_env->infoMessages, (QStringList{"Disabling speaker at " + m_cafe.toString(),
                                                   "Enabling speaker at " + m_cafe.toString()}));
    }

    void editsOfAnUnknownSpeakerAreIgnored_data()
    {
        QTest::addColumn<std::optional<QUrl>>("location");
        QTest::newRow("gone from the table") << std::optional(locationOf("192.168.1.99"));
        QTest::newRow("row never filled") << std::optional<QUrl>();
    }

    void editsOfAnUnknownSpeakerAreIgnored()
    {
        QFETCH(std::optional<QUrl>, location);
        PreferencesTableViewItem* row = cafeRow();
        row->deviceLocation = location;
        const QByteArray storedBefore = *m_env->store.value(QStringLiteral("settings"));

        row->titleField()->setText(QStringLiteral("Attic"));
        row->titleEdited(row->titleField());
        QTest::mouseClick(row->checkbox(), Qt::LeftButton);

        QCOMPARE(row->titleField()->text(), QStringLiteral("Attic")); // the input stays
        QCOMPARE(m_env->settings.deviceCount(), 1);
        QCOMPARE(current().name, QStringLiteral("Caf\u00e9"));
        QCOMPARE(*m_env->store.value(QStringLiteral("settings")), storedBefore);
        QVERIFY(m_env->infoMessages.isEmpty());
        QCOMPARE(m_changed->count(), 0);
    }

    // --- ViewController

    void rowsAreTheActiveCoordinators_data()
    {
        QTest::addColumn<QList<SpeakerSpec>>("speakers");
        QTest::addColumn<QStringList>("titles");
        const QString a = "10.0.0.1", b = "10.0.0.2", c = "10.0.0.3";
        const QStringList none{"<none>"};
        QTest::newRow("empty table") << QList<SpeakerSpec>{} << none;
        QTest::newRow("all inactive") << QList<SpeakerSpec>{{"Den", a, false}} << none;
        QTest::newRow("all group members")
            << QList<SpeakerSpec>{{"Den", a, true, false}, {"Hall", b, true, false}} << none;
        QTest::newRow("no topology") << QList<SpeakerSpec>{{"Den", a, true, true, false}} << none;
        QTest::newRow("group of three")
            << QList<SpeakerSpec>{{"Left", a, true, false}, {"Sub", b, true, false}, {"TV", c}}
            << QStringList{"TV"};
        QTest::newRow("table order")
            << QList<SpeakerSpec>{{"office", a}, {"Bath", b, false}, {"Attic", c}}
            << QStringList{"Attic", "office"};
    }

    void rowsAreTheActiveCoordinators()
    {
        QFETCH(QList<SpeakerSpec>, speakers);
        for (const SpeakerSpec& spec : speakers)
            m_env->add(spec);
        showWindow();
        QTEST(rowTitles(), "titles");
        QCOMPARE(controller().numberOfRowsInTableView(), rowTitles().size());
    }

    void rowShowsTheRecord()
    {
        m_env->add({"Kitchen", "192.168.1.20", true, true, true, false});
        DeviceSettings bare = speaker({"Office", "192.168.1.21"});
        bare.info.friendlyName.reset();
        m_env->settings.setDevice(bare.info.location, bare);
        showWindow();

        const QList<PreferencesTableViewItem*> rows = controller().rows();
        QCOMPARE(rows[0]->subtitle(), QStringLiteral("192.168.1.20 - Sonos One - RINCON_Kitchen"));
        QVERIFY(!rows[0]->checkbox()->isChecked());
        QCOMPARE(rows[0]->deviceLocation, locationOf("192.168.1.20"));
        QCOMPARE(rows[1]->subtitle(), QStringLiteral("192.168.1.21")); // host, no port
        QVERIFY(rows[1]->checkbox()->isChecked());
    }

    void iconIsTheFirstOneFetchedOnce()
    {
        IconServer server;
        IconLoader icons;
        const QList<QList<DeviceInfo::IconPtr>> lists{
            {icon(server.url("/icon.png")), icon(server.url("/second.png"))},
            {icon(server.url("/gone.png"))},
            {icon(std::nullopt), icon(server.url("/second.png"))},
            {}};
        for (int i = 0; i < lists.size(); ++i) {
            DeviceSettings record = speaker({QString(QChar('A' + i)), QString("10.0.0.%1").arg(i)});
            record.info.iconList = lists[i];
            m_env->settings.setDevice(record.info.location, record);
        }
        showWindow(&icons);

        const QList<PreferencesTableViewItem*> rows = controller().rows();
        QTRY_VERIFY(!rows[0]->icon()->pixmap().isNull());
        QTRY_COMPARE(server.requests, (QStringList{"/icon.png", "/gone.png"}));
        QCOMPARE(icons.fetchCount(), 2);
        for (int i : {1, 2, 3})
            QVERIFY(rows[i]->icon()->pixmap().isNull()); // failed or none: nothing shown
        controller().reloadData();                       // from the cache
        QVERIFY(!rows[0]->icon()->pixmap().isNull());
        QCOMPARE(icons.fetchCount(), 2);
    }

    void buttonAndSpinnerFollowTheState_data()
    {
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("searching");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("spins");
        QTest::newRow("idle") << false << false << false << "Start" << false;
        QTest::newRow("searching") << false << false << true << "Searching..." << true;
        QTest::newRow("running") << false << true << false << "Stop" << false;
        QTest::newRow("running, searching") << false << true << true << "Stop" << true;
        QTest::newRow("stopped, searching") << true << false << true << "Start" << false;
        QTest::newRow("stopped, running") << true << true << false << "Start" << false;
    }

    void buttonAndSpinnerFollowTheState()
    {
        QFETCH(bool, stopped);
        QFETCH(bool, running);
        QFETCH(bool, searching);
        QFETCH(QString, title);
        if (running)
            m_env->airConnect.start({});
        if (searching)
            m_env->discovery.searchForDevices(8.0);
        QCOMPARE(m_env->airConnect.isRunning(), running);
        Corvane::bridgeStopped = stopped;
        showWindow();

        QCOMPARE(button()->text(), title);
        QCOMPARE(button()->isEnabled(), title != "Searching...");
        QCOMPARE(controller().canStop(), title == "Stop");
        QTEST(spinner()->isVisible(), "spins");
        QTEST(spinner()->maximum() == 0, "spins"); // a busy bar animates
    }

    void startAndStopClicked()
    {
        Corvane::bridgeStopped = true;
        showWindow();
        QTest::mouseClick(button(), Qt::LeftButton);
        QVERIFY(!Corvane::bridgeStopped);
        QVERIFY(m_env->discovery.isSearching());
        QCOMPARE(button()->text(), QStringLiteral("Searching..."));
        QVERIFY(!button()->isEnabled());
        QTRY_VERIFY(spinner()->isVisible());

        m_env->discovery.stopSearching();
        m_env->airConnect.start({});
        QTRY_COMPARE(button()->text(), QStringLiteral("Stop"));
        QTest::mouseClick(button(), Qt::LeftButton);
        QVERIFY(!m_env->airConnect.isRunning());
        QVERIFY(!Corvane::bridgeStopped);
        QCOMPARE(button()->text(), QStringLiteral("Start"));
    }

    void searchFromElsewhereRefreshesTheButton()
    {
        showWindow();
        m_env->discovery.searchForDevices(8.0); // as from the status menu
        QTRY_COMPARE(button()->text(), QStringLiteral("Searching..."));
        m_env->discovery.stopSearching();
        QTRY_COMPARE(button()->text(), QStringLiteral("Start"));
        QVERIFY(!spinner()->isVisible());
    }

    void observersLiveWhileVisible()
    {
        showWindow();
        m_window->hide();
        QCOMPARE(controller().listenerCount(), 0);
        m_window->show();
        QCOMPARE(controller().listenerCount(), 7);

        m_env->add({"Den", "10.0.0.9"}); // merged before the queued reload runs
        const int before = controller().reloadCount();
        emitDeviceDiscovered();
        QTRY_COMPARE(controller().reloadCount(), before + 1);
        QTest::qWait(20);
        QCOMPARE(controller().reloadCount(), before + 1);
        QCOMPARE(rowTitles(), QStringList{"Den"});

        QVERIFY(m_window->close()); // hides; the application keeps the window
        QCOMPARE(controller().listenerCount(), 0);
        m_env->add({"Attic", "10.0.0.8"});
        emitDeviceDiscovered();
        QTest::qWait(20);
        QCOMPARE(controller().reloadCount(), before + 1);
        m_window->show(); // what was found meanwhile shows at once
        QCOMPARE(rowTitles(), (QStringList{"Attic", "Den"}));
    }

    void reloadKeepsANameBeingTyped()
    {
        PreferencesTableViewItem* row = cafeRow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        row->titleField()->setFocus();
        row->titleField()->selectAll();
        QTest::keyClicks(row->titleField(), QStringLiteral("Study"));
        const int before = controller().reloadCount();
        emitDeviceDiscovered();
        QTRY_COMPARE(controller().reloadCount(), before + 1);
        QCOMPARE(row->titleField()->text(), QStringLiteral("Study"));
        QTest::keyClick(row->titleField(), Qt::Key_Return);
        QCOMPARE(current().name, QStringLiteral("Study"));
    }

    void startAtLoginCheckbox()
    {
        m_env->launchOnLogin.answer = true;
        showWindow();
        auto* box = m_window->findChild<QCheckBox*>("startAtLoginCheckbox");
        QVERIFY(box->isChecked());
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(m_env->launchOnLogin.calls, QList<bool>{false});
        QVERIFY(!box->isChecked()); // the user's state, though the service still says yes
        m_window->hide();
        m_window->show(); // read afresh
        QVERIFY(box->isChecked());
    }

    void proposedLogFileName_data()
    {
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("name");
        QTest::newRow("00:30") << QTime(0, 30) << "corvane-log-20240305-123000.txt";
        QTest::newRow("12:30") << QTime(12, 30) << "corvane-log-20240305-123000.txt";
        QTest::newRow("15:15:09") << QTime(15, 15, 9) << "corvane-log-20240305-031509.txt";
    }

    void proposedLogFileName()
    {
        QFETCH(QTime, time);
        QTEST(ViewController::proposedLogFileName(QDateTime(QDate(2024, 3, 5), time)), "name");
    }

    void saveLog_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("written");
        QTest::newRow("written") << "saved.txt" << true;
        QTest::newRow("write fails") << "no/such/folder/log.txt" << false;
    }

    void saveLog()
    {
        QFETCH(QString, file);
        QFETCH(bool, written);
        showWindow();
        for (int i = 0; i < 1005; ++i)
            Logging::info(QStringLiteral("line %1").arg(i));
        const QString path = m_env->dir.filePath(file);
        controller().setNextSavePath(path);
        QStringList alert;
        controller().setAlertHook([&](QMessageBox& box) {
            alert << box.text() << box.informativeText();
            QCOMPARE(box.icon(), QMessageBox::Warning);
            QCOMPARE(box.buttons().size(), 1);
        });

        controller().saveLogClicked();

        QFile saved(path);
        QCOMPARE(saved.open(QIODevice::ReadOnly), written);
        if (written) {
            QCOMPARE(QString::fromUtf8(saved.readAll()), m_env->log.dump(1000));
            QVERIFY(alert.isEmpty());
        } else {
            QCOMPARE(alert.value(0), QStringLiteral("Error"));
            QVERIFY2(alert.value(1).startsWith("Failed to save log file: No such file"),
                     qPrintable(alert.value(1)));
        }
    }

    void panelDoesNotBlock()
    {
        showWindow();
        for (const bool accept : {false, true}) {
            QTest::mouseClick(m_window->findChild<QPushButton*>("saveLogButton"), Qt::LeftButton);
            // The click returned with the panel up: the event loop runs on.
            QFileDialog* panel = controller().savePanel();
            QVERIFY(panel && panel->isVisible());
            QVERIFY(panel->selectedFiles().value(0).contains("/corvane-log-"));
            const QString path = m_env->dir.filePath(QStringLiteral("chosen.txt"));
            panel->selectFile(path);
            QDialog* dialog = panel;
            accept ? dialog->accept() : dialog->reject();
            QCOMPARE(QFile::exists(path), accept); // cancelled: nothing written
            QTRY_VERIFY(!controller().savePanel());
        }
    }

    // The window with three speakers, for a reviewer to look at; the PNG goes
    // where CORVANE_SCREENSHOT says (scripts/screenshot-preferences).
    void renderThreeSpeakers()
    {
        IconServer server;
        IconLoader icons;
        const QStringList names{
            "Kitchen", "Living Room, by the big window to the garden, downstairs", "Office"};
        for (int i = 0; i < names.size(); ++i) {
            DeviceSettings record =
                speaker({names[i], QString("192.168.1.%1").arg(20 + i), true, true, true, i != 2});
            record.info.iconList = {icon(server.url("/icon.png"))};
            m_env->settings.setDevice(record.info.location, record);
        }
        m_env->airConnect.start({});
        showWindow(&icons);
        auto* status = m_window->findChild<QLabel*>("statusLabel");
        QVERIFY(!status->isVisible()); // until there is something to say
        m_window->setStatusText(QStringLiteral("Corvane: Running"));
        QVERIFY(status->isVisible());
        for (PreferencesTableViewItem* row : controller().rows())
            QTRY_VERIFY(!row->icon()->pixmap().isNull());

        QString path = qEnvironmentVariable("CORVANE_SCREENSHOT");
        if (path.isEmpty())
            path = m_env->dir.filePath(QStringLiteral("preferences.png"));
        QVERIFY(m_window->grab().save(path, "PNG"));
    }
};

QTEST_MAIN(TestPreferences)
#include "tst_Preferences.moc"
