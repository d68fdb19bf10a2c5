// The preferences window on the offscreen platform: the name field's
// shortcuts, the row's edits, and the list controller with its controls.

#include "Version.h"
#include "bridge/BridgeController.h"
#include "log/Log.h"
#include "platform/LaunchOnLogin.h"
#include "preferences/EditableTextField.h"
#include "preferences/IconLoader.h"
#include "preferences/PreferencesTableViewItem.h"
#include "preferences/PreferencesWindow.h"
#include "support/FileSizeLimit.h"
#include "support/Household.h"

#include <QAccessible>
#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

// Stands in for the file manager.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};

// A speaker as the table holds it; a group member unless coordinator.
DeviceSettings speaker(const QString& name, const QString& host, bool active = true,
                       bool coordinator = true, bool hasTopology = true)
{
    DeviceSettings record;
    record.name = name;
    record.info = DeviceInfo(locationOf(host));
    record.info.friendlyName = host + " - Sonos One - RINCON_" + name;
    if (hasTopology)
        record.topology = DeviceTopology(coordinator, QStringLiteral("RINCON_G:1"));
    record.active = active;
    return record;
}

// Everything the window talks to, private to one test, with an autostart
// folder of its own.
struct Fixture : Household {
    explicit Fixture(bool bridgeInstalled = true)
        : Household(bridgeInstalled ? Bridge::Installed : Bridge::Missing)
    {
    }
    void add(const DeviceSettings& record) { settings.setDevice(record.info.location, record); }

    BridgeController controller{{&settings, &discovery, &bridge}};
    LaunchOnLogin launchOnLogin{dir.filePath("autostart"), QStringLiteral("/x/corvane-helper")};
    Log log;
};

QByteArray png(int width, int height, qsizetype paddedTo = 0)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    // Bytes after the image's end are ignored by a decoder.
    return buffer.data().leftJustified(paddedTo, '\0');
}

// Answers each GET with the response stored for its path, and remembers the paths.
struct IconServer : QTcpServer {
    IconServer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
        });
    }
    void answer(QTcpSocket* socket)
    {
        QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
        requested.append(path);
        socket->write(responses.value(path, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
        socket->disconnectFromHost();
    }
    void serve(const QByteArray& path, const QByteArray& body, const QByteArray& status = "200 OK",
               const QByteArray& extra = {})
    {
        responses.insert(path, "HTTP/1.1 " + status + "\r\nContent-Type: image/png\r\n" + extra +
                                   "Content-Length: " + QByteArray::number(body.size()) +
                                   "\r\n\r\n" + body);
    }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
    }
    QHash<QByteArray, QByteArray> responses;
    QByteArrayList requested;
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
    QString buttonTitle() { return button()->text().remove(QLatin1Char('&')); }
    QProgressBar* spinner() { return m_window->findChild<QProgressBar*>("spinner"); }
    DeviceSettings current() { return *m_env->settings.device(m_cafe); }
    DeviceSettings current(const char* host) { return *m_env->settings.device(locationOf(host)); }
    DeviceSettings saved() { return *Settings(m_env->store).device(m_cafe); }

    void showWindow()
    {
        m_window = std::make_unique<PreferencesWindow>(
            ViewController::Services{&m_env->controller, &m_env->launchOnLogin, &m_env->log});
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
        m_env->add(speaker("Caf\u00e9", "192.168.1.20"));
        m_env->settings.save();
        showWindow();
        return controller().rows().first();
    }

    int reloadsAfterDiscovery()
    {
        const int before = controller().reloadCount();
        // The window's own reaction only: the bridge controller's merge is tested with it.
        QObject::disconnect(&m_env->discovery, &DeviceDiscovery::deviceDiscovered,
                            &m_env->controller, nullptr);
        emit m_env->discovery.deviceDiscovered({}, {}, {});
        QTest::qWait(20);
        return controller().reloadCount() - before;
    }

    void useFixture(bool bridgeInstalled)
    {
        m_changed.reset();
        m_env.reset();
        m_env = std::make_unique<Fixture>(bridgeInstalled);
        m_env->log.setEchoEnabled(false);
        m_env->log.attach();
        m_changed =
            std::make_unique<QSignalSpy>(&m_env->controller, &BridgeController::devicesChanged);
    }

private Q_SLOTS:
    void init()
    {
        useFixture(true);
        QApplication::clipboard()->setText(QStringLiteral("clip"));
    }

    void cleanup()
    {
        Logging::setReceiver({});
        m_changed.reset();
        m_window.reset();
        m_env.reset();
    }

    void shortcuts_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("windowShortcut");
        QTest::addColumn<QString>("clipboard");
        // From "Kitchen 2" with "tche" selected, after typing " 2".
        QTest::newRow("cut") << QKeySequence("Ctrl+X") << "Kin 2" << false << "tche";
        QTest::newRow("copy") << QKeySequence("Ctrl+C") << "Kitchen 2" << false << "tche";
        QTest::newRow("paste") << QKeySequence("Ctrl+V") << "Kiclipn 2" << false << "clip";
        QTest::newRow("select all") << QKeySequence("Ctrl+A") << "Kitchen 2" << false << "clip";
        QTest::newRow("undo") << QKeySequence("Ctrl+Z") << "Kitchen" << false << "clip";
        QTest::newRow("redo") << QKeySequence("Ctrl+Z, Ctrl+Shift+Z") << "Kitchen 2" << false
                              << "clip";
        QTest::newRow("command-alt-c: the window's")
            << QKeySequence("Ctrl+Alt+C") << "Kitchen 2" << true << "clip";
        QTest::newRow("command-meta-v: Qt's")
            << QKeySequence("Ctrl+Meta+V") << "Kivn 2" << false << "clip";
        QTest::newRow("command-shift-x: Qt's")
            << QKeySequence("Ctrl+Shift+X") << "Kitchen 2" << false << "clip";
    }

    void shortcuts()
    {
        QFETCH(QKeySequence, keys);
        // The window's own shortcuts compete for the keys, as a menu would.
        QWidget window;
        auto* field = new EditableTextField(&window);
        field->setMaxUtf8Bytes(9); // full once typed: a paste takes the selection's room
        auto* action = new QAction(&window);
        action->setShortcuts(QKeySequence::listFromString("Ctrl+A; Ctrl+C; Ctrl+Alt+C"));
        window.addAction(action);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        field->setFocus();
        field->setText(QStringLiteral("Kitchen"));
        QTest::keyClicks(field, QStringLiteral(" 2"));
        field->setSelection(2, 4);
        QSignalSpy triggered(action, &QAction::triggered);

        QTest::keySequence(field, keys);

        QTEST(field->text(), "text");
        QTEST(QApplication::clipboard()->text(), "clipboard");
        QTEST(!triggered.isEmpty(), "windowShortcut");
    }

    // The keypad, like Alt and Meta above, and key releases: the toolkit's.
    void shortcutsFallThrough()
    {
        EditableTextField field;
        QKeyEvent keypad(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier | Qt::KeypadModifier);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_V, Qt::ControlModifier);
        QVERIFY(!field.performKeyEquivalent(&keypad));
        QVERIFY(!field.performKeyEquivalent(&release));
    }

    // A rename, then two clicks on the checkbox. Edits read and write the
    // current record, never the one the row was filled from; a row whose
    // speaker has gone, or that was never filled, changes nothing.
    void rowEdits_data()
    {
        QTest::addColumn<std::optional<QUrl>>("location");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("renames");
        const std::optional<QUrl> cafe = locationOf("192.168.1.20");
        QTest::newRow("unchanged") << cafe << QStringLiteral("Caf\u00e9") << false;
        QTest::newRow("decomposed, same name") << cafe << QStringLiteral("Cafe\u0301") << false;
        QTest::newRow("new name") << cafe << QStringLiteral("Kitchen") << true;
        QTest::newRow("empty") << cafe << QString() << true;
        QTest::newRow("surrounding spaces kept") << cafe << QStringLiteral(" Caf\u00e9 ") << true;
        QTest::newRow("gone from the table")
            << std::optional(locationOf("192.168.1.99")) << QStringLiteral("Attic") << false;
        QTest::newRow("row never filled")
            << std::optional<QUrl>() << QStringLiteral("Attic") << false;
    }

    void rowEdits()
    {
        QFETCH(std::optional<QUrl>, location);
        QFETCH(QString, typed);
        QFETCH(bool, renames);
        const bool known = location == m_cafe;
        PreferencesTableViewItem* row = cafeRow();
        row->deviceLocation = location;
        DeviceSettings expected = current();
        expected.info.modelName = QStringLiteral("Sonos Five"); // changed elsewhere meanwhile
        m_env->add(expected);
        const QByteArray stored = *m_env->store.value(QStringLiteral("settings"));

        row->titleField()->setText(typed);
        row->titleEdited(row->titleField());
        if (renames) {
            expected.name = typed;
            expected.nameChanged = true;
        } else {
            QCOMPARE(*m_env->store.value(QStringLiteral("settings")), stored);
        }
        QCOMPARE(current(), expected);
        QCOMPARE(saved().name, renames ? typed : QStringLiteral("Caf\u00e9"));
        QCOMPARE(saved().nameChanged, renames);
        QCOMPARE(row->titleField()->text(), typed); // the input stays

        QTest::mouseClick(row->checkbox(), Qt::LeftButton);
        DeviceSettings once = expected;
        once.enabled = !known;
        QCOMPARE(current(), once); // active, name and nameChanged untouched
        QCOMPARE(saved().enabled, !known);
        QTest::mouseClick(row->checkbox(), Qt::LeftButton);
        QCOMPARE(current(), expected);
        QVERIFY(saved().enabled);
        QCOMPARE(m_env->settings.deviceCount(), 1);

        QStringList logged;
        if (renames)
            logged << "Changing name for speaker at " + m_cafe.toString() +
                          " from \"Caf\u00e9\" to \"" + typed + '"';
        if (known)
            logged << "Disabling speaker at " + m_cafe.toString()
                   << "Enabling speaker at " + m_cafe.toString();
        QStringList rowLog; // info lines without a category
        for (const LogMessage& line : m_env->log.lines())
            if (line.level == Logging::Level::Info && !line.category)
                rowLog << line.message;
        QCOMPARE(rowLog, logged);
        QCOMPARE(m_changed->count(), logged.size());
    }

    // The bridge cuts longer names byte-wise, inside characters.
    void nameFieldTakesAtMostFiftyBytes_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("typed"); // typed key by key, or pasted when it has a "\n"
        QTest::addColumn<QString>("shown");
        const QString a48(48, QLatin1Char('a'));
        QTest::newRow("typing up to 50 bytes") << a48 << "\u00e9" << a48 + "\u00e9";
        QTest::newRow("a two-byte letter past 50 bytes refused") << a48 + "a"
                                                                 << "\u00e9b" << a48 + "ab";
        QTest::newRow("a combining accent past 50 bytes refused") << a48 + "e"
                                                                  << "\u0301z" << a48 + "ez";
        QTest::newRow("paste cut before a combined letter")
            << "ab"
            << "\n" + QString(46, QLatin1Char('c')) + "e\u0301x"
            << "ab" + QString(46, 'c');
        QTest::newRow("paste cut before a surrogate pair")
            << a48 << QStringLiteral("\n\U0001F600") << a48;
    }

    void nameFieldTakesAtMostFiftyBytes()
    {
        QFETCH(QString, start);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        EditableTextField* field = cafeRow()->titleField();
        field->setText(start);
        field->setFocus();
        field->end(false);
        if (typed.startsWith('\n')) {
            QGuiApplication::clipboard()->setText(typed.mid(1));
            QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        } else {
            // keyClicks takes Latin-1 only; a key press carrying the text is what an input method
            // sends.
            for (const QChar c : typed) {
                QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
                QApplication::sendEvent(field, &press);
            }
        }
        QCOMPARE(field->text(), shown);
    }

    void rowsAreTheActiveCoordinators_data()
    {
        QTest::addColumn<QList<DeviceSettings>>("speakers");
        QTest::addColumn<QStringList>("titles");
        const QString a = "10.0.0.1", b = "10.0.0.2", c = "10.0.0.3";
        const QStringList none{"<none>"};
        QTest::newRow("empty table") << QList<DeviceSettings>{} << none;
        QTest::newRow("all inactive") << QList{speaker("Den", a, false)} << none;
        QTest::newRow("all group members")
            << QList{speaker("Den", a, true, false), speaker("Hall", b, true, false)} << none;
        QTest::newRow("no topology") << QList{speaker("Den", a, true, true, false)} << none;
        QTest::newRow("group of three") << QList{speaker("Left", a, true, false),
                                                 speaker("Sub", b, true, false), speaker("TV", c)}
                                        << QStringList{"TV"};
    }

    void rowsAreTheActiveCoordinators()
    {
        QFETCH(QList<DeviceSettings>, speakers);
        for (const DeviceSettings& record : speakers)
            m_env->add(record);
        showWindow();
        QTEST(rowTitles(), "titles");
        QCOMPARE(controller().numberOfRowsInTableView(), rowTitles().size());
    }

    // The row's name says the state: which of stopped, running and searching hold.
    void buttonAndSpinnerFollowTheState_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("spins");
        QTest::newRow("idle") << "Start" << false;
        QTest::newRow("searching") << "Searching..." << true;
        QTest::newRow("running") << "Stop" << false;
        QTest::newRow("running, searching") << "Stop" << true;
        QTest::newRow("stopped, searching") << "Start" << false;
        QTest::newRow("stopped, running") << "Start" << false;
    }

    void buttonAndSpinnerFollowTheState()
    {
        QFETCH(QString, title);
        const QString state = QTest::currentDataTag();
        if (state.contains("stopped"))
            m_env->controller.turnOff(); // the user's off from the status menu
        if (state.contains("running"))
            m_env->bridge.start({});
        if (state.contains("searching"))
            m_env->discovery.searchForDevices(8.0);
        QCOMPARE(m_env->bridge.isRunning(), state.contains("running"));
        showWindow();

        QCOMPARE(buttonTitle(), title);
        QCOMPARE(button()->isEnabled(), title != "Searching...");
        QCOMPARE(controller().canStop(), title == "Stop");
        QTEST(spinner()->isVisible(), "spins");
        QTEST(spinner()->maximum() == 0, "spins"); // a busy bar animates
    }

    void startAndStopClicked()
    {
        showWindow();
        m_env->discovery.searchForDevices(8.0); // as from the status menu
        QTRY_COMPARE(buttonTitle(), QStringLiteral("Searching..."));
        m_env->discovery.stopSearching();
        QTRY_COMPARE(buttonTitle(), QStringLiteral("Start"));
        QVERIFY(!spinner()->isVisible());

        m_env->controller.turnOff();
        QTRY_COMPARE(buttonTitle(), QStringLiteral("Start"));
        QTest::mouseClick(button(), Qt::LeftButton);
        QVERIFY(!m_env->controller.isStoppedByUser());
        QVERIFY(m_env->discovery.isSearching());
        QCOMPARE(buttonTitle(), QStringLiteral("Searching..."));
        QVERIFY(!button()->isEnabled());
        QTRY_VERIFY(spinner()->isVisible());

        m_env->discovery.stopSearching();
        m_env->bridge.start({});
        QTRY_COMPARE(buttonTitle(), QStringLiteral("Stop"));
        QTest::mouseClick(button(), Qt::LeftButton);
        QVERIFY(!m_env->bridge.isRunning());
        QVERIFY(!m_env->controller.isStoppedByUser());
        QCOMPARE(buttonTitle(), QStringLiteral("Start"));
    }

    // Observers live while the window shows; a reload keeps a name being typed.
    void observersLiveWhileVisible()
    {
        PreferencesTableViewItem* row = cafeRow();
        m_window->hide();
        QCOMPARE(controller().listenerCount(), 0);
        m_window->show();
        QCOMPARE(controller().listenerCount(), 7);
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        row->titleField()->setFocus();
        row->titleField()->selectAll();
        QTest::keyClicks(row->titleField(), QStringLiteral("Study"));
        m_env->add(speaker("Den", "10.0.0.9")); // merged before the queued reload runs
        QCOMPARE(reloadsAfterDiscovery(), 1);
        QCOMPARE(rowTitles(), (QStringList{"Study", "Den"}));
        QTest::keyClick(row->titleField(), Qt::Key_Return);
        QCOMPARE(current().name, QStringLiteral("Study"));

        QVERIFY(m_window->close()); // hides; the application keeps the window
        QCOMPARE(controller().listenerCount(), 0);
        m_env->add(speaker("Attic", "10.0.0.8"));
        QCOMPARE(reloadsAfterDiscovery(), 0);
        m_window->show(); // what was found meanwhile shows at once
        QCOMPARE(rowTitles(), (QStringList{"Attic", "Den", "Study"}));
        m_env->add(speaker("Attic", "10.0.0.8", false)); // gone: its row goes too
        reloadsAfterDiscovery();
        QCOMPARE(rowTitles(), (QStringList{"Den", "Study"}));
    }

    // The panel leaves the event loop running; cancelled, it writes nothing;
    // accepted, the last 1000 lines. A failed write shows the alert.
    void saveLog()
    {
        const auto at = [](QTime time) {
            return ViewController::proposedLogFileName(QDateTime(QDate(2024, 3, 5), time));
        };
        QCOMPARE(at(QTime(0, 30)), QStringLiteral("corvane-log-20240305-123000.txt"));
        QCOMPARE(at(QTime(12, 30)), QStringLiteral("corvane-log-20240305-123000.txt"));
        QCOMPARE(at(QTime(15, 15, 9)), QStringLiteral("corvane-log-20240305-031509.txt"));

        showWindow();
        QStringList alert;
        controller().setAlertHook([&](QMessageBox& box) {
            alert << box.text() << box.informativeText();
            QCOMPARE(box.icon(), QMessageBox::Warning);
            QCOMPARE(box.buttons().size(), 1);
        });
        for (int i = 0; i < 1005; ++i)
            Logging::info(QStringLiteral("line %1").arg(i));
        const QString path = m_env->dir.filePath(QStringLiteral("chosen.txt"));
        for (const bool accept : {false, true}) {
            QTest::mouseClick(m_window->findChild<QPushButton*>("saveLogButton"), Qt::LeftButton);
            QFileDialog* panel = controller().savePanel();
            QVERIFY(panel && panel->isVisible());
            controller().saveLogClicked(); // clicked again: the same panel
            QCOMPARE(controller().savePanel(), panel);
            QVERIFY(panel->selectedFiles().value(0).contains("/corvane-log-"));
            panel->selectFile(path);
            QDialog* dialog = panel;
            accept ? dialog->accept() : dialog->reject();
            QCOMPARE(QFile::exists(path), accept);
            QTRY_VERIFY(!controller().savePanel());
        }
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()), m_env->log.dump(1000));
        QVERIFY(alert.isEmpty());
        controller().saveLogClicked();
        m_window->hide(); // a closed window leaves no panel behind
        QTRY_VERIFY(!controller().savePanel());

        controller().setNextSavePath(m_env->dir.filePath(QStringLiteral("no/such/log.txt")));
        controller().saveLogClicked();
        QCOMPARE(alert.value(0), QStringLiteral("Error"));
        QVERIFY2(alert.value(1).startsWith("Failed to save log file: No such file"),
                 qPrintable(alert.value(1)));
    }

    // A write that fails only when the file is committed (a full disk) still alerts.
    void saveLogFailsAtCommit()
    {
        showWindow();
        QStringList alert;
        controller().setAlertHook([&](QMessageBox& box) { alert << box.informativeText(); });
        const QString path = m_env->dir.filePath(QStringLiteral("log.txt"));
        controller().setNextSavePath(path);
        {
            const FileSizeLimit full(0); // the few lines sit in the file's buffer until commit
            controller().saveLogClicked();
        }
        QCOMPARE(alert.size(), 1);
        QVERIFY2(alert[0].startsWith("Failed to save log file: "), qPrintable(alert[0]));
        QVERIFY(!QFile::exists(path));
    }

    // The checkbox writes and removes the autostart entry, and shows what is on
    // disk whenever the window opens.
    void startAtLoginCheckbox()
    {
        showWindow();
        auto* box = m_window->findChild<QCheckBox*>(QStringLiteral("startAtLoginCheckbox"));
        QVERIFY(box && !box->isChecked());
        const QString entry = m_env->launchOnLogin.entryPath();
        box->click();
        QVERIFY(box->isChecked());
        QVERIFY(m_env->launchOnLogin.startAtLogin());
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("\nExec=\"/x/corvane-helper\"\n"));
        box->click();
        QVERIFY(!box->isChecked() && !QFile::exists(entry));

        m_window->hide();
        m_env->launchOnLogin.setStartAtLogin(true); // from elsewhere, while closed
        m_window->show();
        QVERIFY(box->isChecked());
    }

    // Icon addresses come from speakers' descriptions: only plain web
    // addresses are fetched, and only a small, small-pictured, directly
    // served image is kept.
    void iconLoaderRefusesWhatIsNoIcon_data()
    {
        QTest::addColumn<QString>("path"); // on the local server, or a whole URL
        QTest::addColumn<QSize>("size");   // as kept; invalid: none
        QTest::addColumn<int>("fetches");
        QTest::newRow("icon") << "/icon.png" << QSize(48, 48) << 1;
        QTest::newRow("wide, scaled down") << "/wide.png" << QSize(64, 24) << 1;
        QTest::newRow("at the size and pixel limits") << "/limits.png" << QSize(64, 64) << 1;
        QTest::newRow("local file") << "file:///etc/passwd" << QSize() << 0;
        QTest::newRow("resource") << "qrc:/statusIcon.svg" << QSize() << 0;
        QTest::newRow("ftp") << "ftp://127.0.0.1/icon.png" << QSize() << 0;
        QTest::newRow("body over the size limit") << "/padded.png" << QSize() << 1;
        QTest::newRow("over a megapixel") << "/huge.png" << QSize() << 1;
        QTest::newRow("redirect") << "/moved.png" << QSize() << 1;
        QTest::newRow("garbage") << "/garbage.png" << QSize() << 1;
        QTest::newRow("error page") << "/missing.png" << QSize() << 1;
    }

    void iconLoaderRefusesWhatIsNoIcon()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        IconServer server;
        QVERIFY(server.isListening());
        server.serve("/icon.png", png(48, 48));
        server.serve("/wide.png", png(128, 48));
        server.serve("/limits.png", png(1024, 1024, IconLoader::maxIconBytes));
        server.serve("/padded.png", png(48, 48, IconLoader::maxIconBytes + 1));
        server.serve("/huge.png", png(1025, 1024));
        server.serve("/moved.png", {}, "302 Found",
                     "Location: " + server.url("/icon.png").toEncoded() + "\r\n");
        server.serve("/garbage.png", QByteArray(300, '\x89'));
        server.serve("/missing.png", png(48, 48), "404 Not Found");

        IconLoader loader;
        PreferencesTableViewItem row(m_env->settings, &loader);
        const QUrl url = path.startsWith(u'/') ? server.url(path) : QUrl(path);
        row.setIconUrl(url);
        loader.image(url); // asked again while it loads
        QTEST(loader.fetchCount(), "fetches");
        std::optional<QImage> image;
        QTRY_VERIFY((image = loader.image(url)));
        QCOMPARE(image->size(), size.isValid() ? size : QSize(0, 0));
        QCOMPARE(row.icon()->pixmap().isNull(), !size.isValid()); // shown once it has come
        QVERIFY(!server.requested.contains("/icon.png") || path == "/icon.png"); // not followed
        QTEST(loader.fetchCount(), "fetches"); // remembered, not fetched again
    }

    // Each row's controls name their speaker; the list has a label.
    void accessibleNames()
    {
        m_env->add(speaker("Kitchen - One", "10.0.0.1"));
        m_env->add(speaker("Office", "10.0.0.2"));
        showWindow();
        const auto text = [](QObject* object, QAccessible::Text kind) {
            return QAccessible::queryAccessibleInterface(object)->text(kind);
        };
        QStringList names;
        for (PreferencesTableViewItem* row : controller().rows())
            names << text(row->checkbox(), QAccessible::Name)
                  << text(row->titleField(), QAccessible::Name);
        QCOMPARE(names, (QStringList{"Bridge Kitchen - One", "AirPlay name for Kitchen - One",
                                     "Bridge Office", "AirPlay name for Office"}));
        PreferencesTableViewItem* kitchen = controller().rows().first();
        QVERIFY(text(kitchen->checkbox(), QAccessible::Description)
                    .contains("10.0.0.1 - Sonos One - RINCON_Kitchen - One"));
        QVERIFY(text(kitchen->titleField(), QAccessible::Description).contains("10.0.0.1"));

        QAccessibleInterface* list =
            QAccessible::queryAccessibleInterface(m_window->findChild<QWidget*>("tableView"));
        QCOMPARE(list->text(QAccessible::Name), QStringLiteral("Speakers offered to AirPlay"));
        const auto labels = list->relations(QAccessible::Label);
        QVERIFY(!labels.isEmpty());
        QCOMPARE(labels.first().first->text(QAccessible::Name).remove('&'),
                 QStringLiteral("Speakers offered to AirPlay:"));

        // Every visible button and label with a buddy has its own mnemonic.
        QStringList mnemonics;
        for (QAbstractButton* control : m_window->findChildren<QAbstractButton*>()) {
            // Rows repeat their checkbox; Tab reaches those.
            if (!control->isVisibleTo(m_window.get()) ||
                qobject_cast<PreferencesTableViewItem*>(control->parentWidget()))
                continue;
            const QKeySequence key = QKeySequence::mnemonic(control->text());
            QVERIFY2(!key.isEmpty(), qPrintable(control->objectName()));
            mnemonics << key.toString();
        }
        mnemonics << QKeySequence::mnemonic(m_window->findChild<QLabel*>("speakersHeader")->text())
                         .toString();
        QCOMPARE(QSet<QString>(mnemonics.begin(), mnemonics.end()).size(), mnemonics.size());
    }

    // The keyboard alone: Tab walks the window top to bottom; a row is
    // toggled and renamed; Start, Save Log, Quit and Close by their keys.
    void keyboardOnly()
    {
        m_env->add(speaker("Den", "10.0.0.1"));
        m_env->add(speaker("Hall", "10.0.0.2"));
        showWindow();
        m_window->setCarriesStatus(true);
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        const QList<PreferencesTableViewItem*> rows = controller().rows();
        rows[0]->titleField()->setFocus();
        QStringList order;
        for (int i = 0; i < 10; ++i) {
            QWidget* focus = QApplication::focusWidget();
            order << (focus->objectName().isEmpty() ? "?" : focus->objectName()) +
                         (rows[1]->isAncestorOf(focus) ? "1" : "");
            QTest::keyClick(focus, Qt::Key_Tab);
        }
        QCOMPARE(order, (QStringList{"titleField", "checkbox", "titleField1", "checkbox1",
                                     "startAtLoginCheckbox", "followChangesCheckbox",
                                     "skipAirPlayCheckbox", "startStopButton", "saveLogButton",
                                     "aboutButton"}));

        QTest::keyClick(m_window.get(), Qt::Key_K, Qt::AltModifier); // the list's label
        QCOMPARE(QApplication::focusWidget(), rows[0]->checkbox());
        QTest::keyClick(rows[0]->checkbox(), Qt::Key_Space);
        QVERIFY(!current("10.0.0.1").enabled);
        QTest::keyClick(rows[0]->checkbox(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), rows[0]->titleField());
        QTest::keyClick(rows[0]->titleField(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(rows[0]->titleField(), QStringLiteral("Study"));
        QTest::keyClick(rows[0]->titleField(), Qt::Key_Return);
        QCOMPARE(current("10.0.0.1").name, QStringLiteral("Study"));

        m_env->controller.turnOff();
        QTest::keyClick(m_window.get(), Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY(!m_env->controller.isStoppedByUser()); // a mnemonic clicks after a flash
        m_env->discovery.stopSearching();

        const QString path = m_env->dir.filePath(QStringLiteral("keys.txt"));
        controller().setNextSavePath(path);
        QTest::keyClick(m_window.get(), Qt::Key_V, Qt::AltModifier);
        QTRY_VERIFY(QFile::exists(path));

        QSignalSpy quit(m_window.get(), &PreferencesWindow::quitRequested);
        QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::AltModifier);
        QTRY_COMPARE(quit.size(), 2);
        for (const QKeySequence& keys : {QKeySequence("Ctrl+W"), QKeySequence("Esc")}) {
            QSignalSpy closed(m_window.get(), &PreferencesWindow::closed);
            m_window->showAndActivate();
            QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
            QTest::keySequence(QApplication::focusWidget(), keys);
            QVERIFY(!m_window->isVisible());
            QCOMPARE(closed.size(), 1);
        }
    }

    // An option switched in the window is saved and announced.
    void optionCheckboxes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("follow changes") << "followChangesCheckbox";
        QTest::newRow("skip AirPlay speakers") << "skipAirPlayCheckbox";
    }

    void optionCheckboxes()
    {
        QFETCH(QString, name);
        const bool follow = name.startsWith("follow");
        const auto member = [&](const Settings& settings) {
            return follow ? settings.followChanges : settings.skipAirPlaySpeakers;
        };
        (follow ? m_env->settings.followChanges : m_env->settings.skipAirPlaySpeakers) = true;
        showWindow();
        auto* box = m_window->findChild<QCheckBox*>(name);
        QVERIFY(box->isChecked());
        QSignalSpy toggled(&controller(), follow ? &ViewController::followChangesToggled
                                                 : &ViewController::skipAirPlaySpeakersToggled);
        for (const bool on : {false, true}) {
            QTest::mouseClick(box, Qt::LeftButton);
            QCOMPARE(member(m_env->settings), on);
            QCOMPARE(member(Settings(m_env->store)), on);
            QCOMPARE(toggled.takeFirst(), QVariantList{on});
        }
    }

    // A speaker with its own AirPlay service says so, and whether it is bridged.
    void airPlayNoteInRow_data()
    {
        QTest::addColumn<bool>("service");
        QTest::addColumn<bool>("skipping");
        QTest::addColumn<QString>("subtitle");
        const QString host = "10.0.0.1 - Sonos One - RINCON_Den";
        QTest::newRow("no service") << false << true << host;
        QTest::newRow("service") << true << false << "Plays AirPlay itself \u00b7 " + host;
        QTest::newRow("service, skipped")
            << true << true << "Plays AirPlay itself - not bridged \u00b7 " + host;
    }

    void airPlayNoteInRow()
    {
        QFETCH(bool, service);
        QFETCH(bool, skipping);
        DeviceSettings den = speaker("Den", "10.0.0.1");
        if (service)
            den.airPlayService = QStringLiteral("Den._raop._tcp");
        m_env->add(den);
        showWindow();
        if (skipping)
            QTest::mouseClick(m_window->findChild<QCheckBox*>("skipAirPlayCheckbox"),
                              Qt::LeftButton);
        QTEST(controller().rows().first()->subtitle(), "subtitle");
    }

    // No bridge executable: the window says what to get, where it goes and
    // where it is published, and opens that folder, made if need be.
    void missingBridgeGuidance()
    {
        useFixture(false);
        showWindow();
        auto* panel = m_window->findChild<QWidget*>("missingBridgePanel");
        QVERIFY(!panel->isVisible());
        m_env->bridge.start({});
        QTRY_VERIFY(panel->isVisible());
        const QString folder = m_env->dir.filePath("libexec");
        const QString text = m_window->findChild<QLabel*>("missingBridgeLabel")->text();
        for (const QString& part :
             {QString::fromUtf8(corvane::kBridgeName), folder,
              QStringLiteral("https://github.com/philippe44/AirConnect/releases")})
            QVERIFY2(text.contains(part), qPrintable(text));

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        QTest::mouseClick(m_window->findChild<QPushButton*>("openBridgeFolderButton"),
                          Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(folder)});
        QVERIFY(QFileInfo(folder).isDir());

        QVERIFY(QFile::copy(TEST_SUPPORT_DIR "/fake-bridge-ready",
                            folder + '/' + corvane::kBridgeName));
        QTest::mouseClick(button(), Qt::LeftButton);
        m_env->discovery.stopSearching();
        m_env->bridge.start({});
        QTRY_VERIFY(!panel->isVisible());
    }

    // The window in three states, as the README shows it; the PNGs go to the
    // folder CORVANE_SCREENSHOTS names (scripts/screenshot-preferences).
    void render_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("running") << "running";
        QTest::newRow("no-speakers") << "no-speakers";
        QTest::newRow("not-installed") << "not-installed";
    }

    void render()
    {
        QFETCH(QString, state);
        useFixture(state != "not-installed");
        if (state != "no-speakers") {
            m_env->add(speaker("Kitchen", "192.168.1.20"));
            DeviceSettings living = speaker("Living Room", "192.168.1.21");
            living.airPlayService = QStringLiteral("Living Room._raop._tcp");
            m_env->add(living);
            DeviceSettings office = speaker("Office", "192.168.1.22");
            office.info.friendlyName.reset();
            office.enabled = false;
            m_env->add(office);
        }
        if (state != "no-speakers")
            m_env->bridge.start({});
        showWindow();
        m_window->setCarriesStatus(true);
        const QString status = state == "running"       ? "Corvane: Running"
                               : state == "no-speakers" ? "Corvane: No Speakers Found"
                                                        : "Corvane: AirConnect Not Installed";
        m_window->setStatusText(status);
        QTest::qWait(50); // the bridge's report, then the layout

        QString folder = qEnvironmentVariable("CORVANE_SCREENSHOTS");
        if (folder.isEmpty())
            folder = m_env->dir.path();
        QVERIFY(m_window->grab().save(folder + "/preferences-" + state + ".png", "PNG"));
    }
};

QTEST_MAIN(TestPreferences)
#include "tst_Preferences.moc"
