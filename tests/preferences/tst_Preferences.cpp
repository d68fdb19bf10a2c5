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

namespace {

// A speaker as the table holds it; a group member unless coordinator.
DeviceSettings speaker(const QString& name, const QString& host, bool active = true,
                       bool coordinator = true, bool hasTopology = true)
{
    DeviceSettings record;
    record.name = name;
    record.info.location = locationOf(host);
    record.info.friendlyName = host + " - Sonos One - RINCON_" + name;
    if (hasTopology)
        record.topology = DeviceTopology(coordinator, QStringLiteral("RINCON_G:1"));
    record.active = active;
    return record;
}

// Everything the window talks to, private to one test, with an autostart
// folder of its own.
struct Fixture : Household {
    using Household::Household;
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

} // namespace

class TestPreferences : public QObject {
    Q_OBJECT
public Q_SLOTS:
    // Stands in for the file manager.
    void openUrl(const QUrl& url) { m_opened.append(url); }

private:
    std::unique_ptr<Fixture> m_env;
    std::unique_ptr<PreferencesWindow> m_window;
    QList<QUrl> m_opened;
    const QUrl m_cafe = locationOf("192.168.1.20");

    ViewController& controller() { return m_window->controller(); }
    QPushButton* button() { return m_window->findChild<QPushButton*>("startStopButton"); }
    QString buttonTitle() { return button()->text().remove(QLatin1Char('&')); }
    QProgressBar* spinner() { return m_window->findChild<QProgressBar*>("spinner"); }
    DeviceSettings current(const QUrl& location) { return *m_env->settings.device(location); }
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
        m_env.reset();
        m_env = std::make_unique<Fixture>(bridgeInstalled ? Household::Bridge::Installed
                                                          : Household::Bridge::Missing);
        m_env->log.setEchoEnabled(false);
        m_env->log.attach();
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
        m_window.reset();
        m_env.reset();
    }

    void shortcuts_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("copied"); // the selection, to the clipboard
        // From "Kitchen 2" with "tche" selected, after typing " 2".
        QTest::newRow("cut") << QKeySequence("Ctrl+X") << "Kin 2" << true;
        QTest::newRow("copy") << QKeySequence("Ctrl+C") << "Kitchen 2" << true;
        QTest::newRow("paste") << QKeySequence("Ctrl+V") << "Kiclipn 2" << false;
        QTest::newRow("select all") << QKeySequence("Ctrl+A") << "Kitchen 2" << false;
        QTest::newRow("undo") << QKeySequence("Ctrl+Z") << "Kitchen" << false;
        QTest::newRow("redo") << QKeySequence("Ctrl+Z, Ctrl+Shift+Z") << "Kitchen 2" << false;
        QTest::newRow("command-alt-c: the window's")
            << QKeySequence("Ctrl+Alt+C") << "Kitchen 2" << false;
        QTest::newRow("command-meta-v: Qt's") << QKeySequence("Ctrl+Meta+V") << "Kivn 2" << false;
        QTest::newRow("command-shift-x: Qt's")
            << QKeySequence("Ctrl+Shift+X") << "Kitchen 2" << false;
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
        QFETCH(bool, copied);
        QCOMPARE(QApplication::clipboard()->text(), QLatin1String(copied ? "tche" : "clip"));
        QCOMPARE(!triggered.isEmpty(),
                 keys == QKeySequence("Ctrl+Alt+C")); // the only one left to it

        // The keypad, like Alt and Meta above, and key releases: the toolkit's.
        QKeyEvent keypad(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier | Qt::KeypadModifier);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_V, Qt::ControlModifier);
        QVERIFY(!field->performKeyEquivalent(&keypad));
        QVERIFY(!field->performKeyEquivalent(&release));
    }

    // Renames, two clicks on the checkbox, pastes. Edits read and write the
    // current record, never the one the row was filled from; a row whose
    // speaker has gone, or that was never filled, changes nothing.
    void rowEdits()
    {
        PreferencesTableViewItem* row = cafeRow();
        DeviceSettings expected = current(m_cafe);
        expected.info.modelName = QStringLiteral("Sonos Five"); // changed elsewhere meanwhile
        m_env->add(expected);
        QSignalSpy changed(&m_env->controller, &BridgeController::devicesChanged);
        const auto rename = [row](const QString& name) {
            row->titleField()->setText(name);
            row->titleEdited(row->titleField());
            QCOMPARE(row->titleField()->text(), name); // the input stays
        };
        rename(QStringLiteral("Cafe\u0301")); // the same name, decomposed: logged below if not
        for (const QString& name : {QStringLiteral(" Kitchen "), QString()}) {
            rename(name); // surrounding spaces kept, and no name is a name too
            expected.name = name;
            expected.nameChanged = true;
            QCOMPARE(current(m_cafe), expected);
            QCOMPARE(saved().name, name);
        }
        for (const bool enabled : {false, true}) {
            QTest::mouseClick(row->checkbox(), Qt::LeftButton);
            expected.enabled = enabled;
            QCOMPARE(current(m_cafe), expected); // active, name and nameChanged untouched
            QCOMPARE(saved().enabled, enabled);
        }
        for (const std::optional<QUrl>& gone :
             {std::optional(locationOf("10.0.0.99")), std::optional<QUrl>()}) {
            row->deviceLocation = gone;
            rename(QStringLiteral("Attic"));
            QTest::mouseClick(row->checkbox(), Qt::LeftButton);
        }
        QCOMPARE(current(m_cafe), expected);

        const QString at = " speaker at " + m_cafe.toString();
        QStringList rowLog; // info lines without a category
        for (const LogMessage& line : m_env->log.lines())
            if (line.level == Logging::Level::Info && !line.category)
                rowLog << line.message;
        QCOMPARE(rowLog,
                 (QStringList{"Changing name for" + at + " from \"Caf\u00e9\" to \" Kitchen \"",
                              "Changing name for" + at + " from \" Kitchen \" to \"\"",
                              "Disabling" + at, "Enabling" + at}));
        QCOMPARE(changed.count(), rowLog.size());

        // The bridge cuts longer names byte-wise, inside characters: a paste
        // takes what fits, whole letters only, and a full field refuses typing.
        EditableTextField* field = row->titleField();
        const auto paste = [field](const QString& start, const QString& clip) {
            field->setText(start);
            QGuiApplication::clipboard()->setText(clip);
            QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
            return field->text();
        };
        const QString a48(48, QLatin1Char('a')), c46(46, QLatin1Char('c'));
        QCOMPARE(paste(a48, QStringLiteral("\U0001F600")), a48);
        const QString full = "ab" + c46 + "\u00e9"; // 50 bytes
        QCOMPARE(paste("ab", c46 + "\u00e9e\u0301x"), full);
        // keyClicks takes Latin-1 only; a key press carrying the text is what an input method
        // sends.
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("\u0301"));
        QApplication::sendEvent(field, &press);
        QCOMPARE(field->text(), full);
    }

    // The button and the spinner say which of stopped, running and searching
    // hold; the button starts a search, or stops the bridge and nothing else.
    void startStopButtonAndSpinner()
    {
        showWindow();
        QCOMPARE(rowTitles(), QStringList{"<none>"}); // an empty list says so in its one row
        QCOMPARE(controller().numberOfRowsInTableView(), 1);
        // The button's title and whether it takes clicks; a busy bar animates.
        const auto shown = [this] {
            const QString bar = QString(spinner()->isVisible() ? "shown" : "hidden") +
                                (spinner()->maximum() == 0 ? " busy" : "");
            return QStringList{buttonTitle(), button()->isEnabled() ? "enabled" : "disabled", bar};
        };
        m_env->discovery.searchForDevices(8.0); // as from the status menu
        QTRY_COMPARE(shown(), (QStringList{"Searching...", "disabled", "shown busy"}));
        m_env->discovery.stopSearching();
        QTRY_COMPARE(shown(), (QStringList{"Start", "enabled", "hidden"}));
        m_env->discovery.searchForDevices(8.0);
        m_env->bridge.start({});
        QTRY_COMPARE(shown(), (QStringList{"Stop", "enabled", "shown busy"}));
        m_env->discovery.stopSearching();
        QTest::mouseClick(button(), Qt::LeftButton);
        QVERIFY(!m_env->bridge.isRunning());
        QVERIFY(!m_env->controller.isStoppedByUser());
        QCOMPARE(buttonTitle(), QStringLiteral("Start"));

        m_env->controller.turnOff();
        QTest::mouseClick(button(), Qt::LeftButton);
        QCOMPARE(buttonTitle(), QStringLiteral("Searching..."));
        QTRY_COMPARE(shown(), (QStringList{"Searching...", "disabled", "shown busy"}));

        // The start-at-login checkbox writes and removes the autostart entry,
        // and shows what is on disk whenever the window opens.
        auto* atLogin = m_window->findChild<QCheckBox*>(QStringLiteral("startAtLoginCheckbox"));
        atLogin->click();
        QVERIFY(m_env->launchOnLogin.startAtLogin());
        atLogin->click();
        QVERIFY(!QFile::exists(m_env->launchOnLogin.entryPath()));

        // Stopped by the user from the status menu: neither a bridge still
        // running nor a search counts.
        m_env->controller.turnOff();
        m_env->bridge.start({});
        m_env->discovery.searchForDevices(8.0);
        m_window->hide();
        m_env->launchOnLogin.setStartAtLogin(true); // from elsewhere, while closed
        m_window->show();
        QCOMPARE(shown(), (QStringList{"Start", "enabled", "hidden"}));
        QVERIFY(atLogin->isChecked());
    }

    // Observers live while the window shows; a reload keeps a name being typed.
    // Rows are the active group coordinators.
    void observersLiveWhileVisible()
    {
        PreferencesTableViewItem* row = cafeRow();
        QCOMPARE(controller().listenerCount(), 7);
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        row->titleField()->setFocus();
        row->titleField()->selectAll();
        QTest::keyClicks(row->titleField(), QStringLiteral("Study"));
        m_env->add(speaker("Den", "10.0.0.9"));              // merged before the queued reload runs
        m_env->add(speaker("Sub", "10.0.0.7", true, false)); // a group member: no row
        m_env->add(speaker("Bare", "10.0.0.6", true, true, false)); // no topology yet: no row
        QCOMPARE(reloadsAfterDiscovery(), 1);
        QCOMPARE(rowTitles(), (QStringList{"Study", "Den"}));
        QTest::keyClick(row->titleField(), Qt::Key_Return);
        QCOMPARE(current(m_cafe).name, QStringLiteral("Study"));

        QVERIFY(m_window->close()); // hides; the application keeps the window
        m_env->add(speaker("Attic", "10.0.0.8"));
        QCOMPARE(reloadsAfterDiscovery(), 0);
        m_window->show(); // what was found meanwhile shows at once
        QCOMPARE(rowTitles(), (QStringList{"Attic", "Den", "Study"}));
        m_env->add(speaker("Attic", "10.0.0.8", false)); // gone: its row goes too
        reloadsAfterDiscovery();
        QCOMPARE(rowTitles(), (QStringList{"Den", "Study"}));
    }

    // The panel leaves the event loop running; cancelled, it writes nothing;
    // accepted, the last 1000 lines.
    void saveLog()
    {
        const auto at = [](QTime time) {
            return ViewController::proposedLogFileName(QDateTime(QDate(2024, 3, 5), time));
        };
        QCOMPARE(at(QTime(0, 30)), QStringLiteral("corvane-log-20240305-123000.txt"));
        QCOMPARE(at(QTime(15, 15, 9)), QStringLiteral("corvane-log-20240305-031509.txt"));

        showWindow();
        QStringList alert;
        controller().setAlertHook(
            [&](QMessageBox& box) { alert << box.text() << box.informativeText(); });
        // A write that fails (a full disk) alerts, with the reason.
        const QString path = m_env->dir.filePath(QStringLiteral("chosen.txt"));
        controller().setNextSavePath(path);
        {
            const FileSizeLimit full(0);
            controller().saveLogClicked();
        }
        QCOMPARE(alert, (QStringList{"Error", "Failed to save log file: File too large"}));
        alert.clear();

        for (int i = 0; i < 1005; ++i)
            Logging::info(QStringLiteral("line %1").arg(i));
        for (const bool accept : {false, true}) {
            QTest::mouseClick(m_window->findChild<QPushButton*>("saveLogButton"), Qt::LeftButton);
            QFileDialog* panel = controller().savePanel();
            QVERIFY(panel && panel->isVisible());
            controller().saveLogClicked(); // clicked again: the same panel
            QCOMPARE(controller().savePanel(), panel);
            QVERIFY(panel->selectedFiles().value(0).contains("/corvane-log-"));
            panel->selectFile(path);
            accept ? panel->QDialog::accept() : panel->reject();
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
    }

    // Icon addresses come from speakers' descriptions: only plain web
    // addresses are fetched, and only a small, small-pictured, directly
    // served image is kept.
    void iconLoaderRefusesWhatIsNoIcon_data()
    {
        QTest::addColumn<QByteArray>("status"); // of /icon.png; none: an ftp address instead
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QSize>("size"); // as kept; invalid: none
        const QByteArray ok = "200 OK";
        QTest::newRow("icon") << ok << png(48, 48) << QSize(48, 48);
        QTest::newRow("long thin strip") << ok << png(16384, 64) << QSize(64, 1);
        QTest::newRow("at the size and pixel limits")
            << ok << png(1024, 1024, IconLoader::maxIconBytes) << QSize(64, 64);
        QTest::newRow("ftp") << QByteArray() << QByteArray() << QSize();
        QTest::newRow("body over the size limit")
            << ok << png(48, 48, IconLoader::maxIconBytes + 1) << QSize();
        QTest::newRow("over a megapixel") << ok << png(1025, 1024) << QSize();
        QTest::newRow("redirect") << QByteArray("302 Found\r\nLocation: /moved.png") << QByteArray()
                                  << QSize();
        QTest::newRow("error page") << QByteArray("404 Not Found") << png(48, 48) << QSize();
    }

    void iconLoaderRefusesWhatIsNoIcon()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        QFETCH(QSize, size);
        // Answers /icon.png as the row says, and any other path (a redirect's
        // target) with a good icon. A request this small comes in one piece.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                // A request may come in several reads; answer once it is whole.
                const QByteArray request = socket->property("r").toByteArray() + socket->readAll();
                socket->setProperty("r", request);
                if (!request.contains("\r\n\r\n"))
                    return;
                const bool asked = request.startsWith("GET /icon.png ");
                const QByteArray content = asked ? body : png(48, 48);
                socket->write("HTTP/1.1 " + (asked ? status : "200 OK") + "\r\nContent-Length: " +
                              QByteArray::number(content.size()) + "\r\n\r\n" + content);
                socket->disconnectFromHost();
            });
        });

        IconLoader loader;
        PreferencesTableViewItem row(m_env->settings, &loader);
        const QUrl url(
            status.isEmpty()
                ? QStringLiteral("ftp://127.0.0.1/icon.png")
                : QStringLiteral("http://127.0.0.1:%1/icon.png").arg(server.serverPort()));
        row.setIconUrl(url);
        loader.image(url); // asked again while it loads
        const int fetches = status.isEmpty() ? 0 : 1;
        QCOMPARE(loader.fetchCount(), fetches);
        std::optional<QImage> image;
        QTRY_VERIFY((image = loader.image(url)));
        QCOMPARE(image->size(), size.isValid() ? size : QSize(0, 0));
        QCOMPARE(row.icon()->pixmap().isNull(), !size.isValid()); // shown once it has come
        QCOMPARE(loader.fetchCount(), fetches);                   // remembered, not fetched again
    }

    // The keyboard alone: Tab walks the window top to bottom, the list's label
    // leads to the first speaker, Quit and Close have their keys. Each row's
    // controls name their speaker.
    void keyboardAndAccessibility()
    {
        m_env->add(speaker("Den", "10.0.0.1"));
        m_env->add(speaker("Hall", "10.0.0.2"));
        showWindow();
        m_window->setCarriesStatus(true);
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        const QList<PreferencesTableViewItem*> rows = controller().rows();
        QCOMPARE(rows[1]->checkbox()->accessibleName(), QStringLiteral("Bridge Hall"));
        QCOMPARE(rows[1]->titleField()->accessibleName(), QStringLiteral("AirPlay name for Hall"));
        const QString hall = "10.0.0.2 - Sonos One - RINCON_Hall";
        QVERIFY(rows[1]->checkbox()->accessibleDescription().contains(hall));
        QVERIFY(rows[1]->titleField()->accessibleDescription().contains(hall));

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

        QSignalSpy quit(m_window.get(), &PreferencesWindow::quitRequested);
        QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::AltModifier);
        QTRY_COMPARE(quit.size(), 2);
        QSignalSpy closed(m_window.get(), &PreferencesWindow::closed);
        for (const QKeySequence& keys : {QKeySequence("Ctrl+W"), QKeySequence("Esc")}) {
            m_window->showAndActivate();
            QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
            QTest::keySequence(QApplication::focusWidget(), keys);
            QVERIFY(!m_window->isVisible());
        }
        QCOMPARE(closed.size(), 2);
    }

    // An option switched in the window is saved and announced. A speaker with
    // its own AirPlay service says so in its row, and whether it is bridged.
    void optionCheckboxes()
    {
        m_env->settings.followChanges = m_env->settings.skipAirPlaySpeakers = true;
        DeviceSettings den = speaker("Den", "10.0.0.1");
        den.airPlayService = QStringLiteral("Den._raop._tcp");
        m_env->add(den);
        m_env->add(speaker("Hall", "10.0.0.2"));
        showWindow();
        auto* follow = m_window->findChild<QCheckBox*>("followChangesCheckbox");
        auto* skip = m_window->findChild<QCheckBox*>("skipAirPlayCheckbox");
        QVERIFY(follow->isChecked() && skip->isChecked());
        QSignalSpy followToggled(&controller(), &ViewController::followChangesToggled);
        QSignalSpy skipToggled(&controller(), &ViewController::skipAirPlaySpeakersToggled);
        const QList<PreferencesTableViewItem*> rows = controller().rows();
        for (const bool on : {false, true}) {
            QTest::mouseClick(follow, Qt::LeftButton);
            QTest::mouseClick(skip, Qt::LeftButton);
            Settings saved(m_env->store);
            for (const Settings* settings : {&m_env->settings, &saved})
                QCOMPARE(std::pair(settings->followChanges, settings->skipAirPlaySpeakers),
                         std::pair(on, on));
            QCOMPARE(followToggled.takeFirst(), QVariantList{on});
            QCOMPARE(skipToggled.takeFirst(), QVariantList{on});
            const QString note = on ? "Plays AirPlay itself - not bridged" : "Plays AirPlay itself";
            QCOMPARE(rows[0]->subtitle(), note + " \u00b7 10.0.0.1 - Sonos One - RINCON_Den");
        }
        QCOMPARE(rows[1]->subtitle(), QStringLiteral("10.0.0.2 - Sonos One - RINCON_Hall"));
    }

    // No bridge executable: the window says what to get, where it goes and
    // where it is published, and opens that folder, made if need be.
    void missingBridgeGuidance()
    {
        useFixture(false);
        showWindow();
        auto* panel = m_window->findChild<QWidget*>("missingBridgePanel");
        m_env->bridge.start({});
        QTRY_VERIFY(panel->isVisible());
        const QString folder = m_env->dir.filePath("libexec");
        const QString text = m_window->findChild<QLabel*>("missingBridgeLabel")->text();
        QVERIFY2(text.contains(QString::fromUtf8(corvane::kBridgeName)) && text.contains(folder) &&
                     text.contains("https://github.com/philippe44/AirConnect/releases"),
                 qPrintable(text));

        QDesktopServices::setUrlHandler("file", this, "openUrl");
        QTest::mouseClick(m_window->findChild<QPushButton*>("openBridgeFolderButton"),
                          Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(folder)});
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
        QTest::addColumn<QString>("status");
        QTest::newRow("running") << "Running";
        QTest::newRow("no-speakers") << "No Speakers Found";
        QTest::newRow("not-installed") << "AirConnect Not Installed";
    }

    void render()
    {
        QFETCH(QString, status);
        useFixture(status != "AirConnect Not Installed");
        if (status != "No Speakers Found") {
            DeviceSettings living = speaker("Living Room", "192.168.1.21");
            living.airPlayService = QStringLiteral("Living Room._raop._tcp");
            DeviceSettings office = speaker("Office", "192.168.1.22");
            office.info.friendlyName.reset();
            office.enabled = false;
            for (const DeviceSettings& record :
                 {speaker("Kitchen", "192.168.1.20"), living, office})
                m_env->add(record);
            m_env->bridge.start({});
        }
        showWindow();
        m_window->setCarriesStatus(true);
        m_window->setStatusText("Corvane: " + status);
        QTest::qWait(50);                  // the bridge's report, then the layout
        if (status != "No Speakers Found") // a speaker that never told its name shows its host
            QCOMPARE(controller().rows().last()->subtitle(), QStringLiteral("192.168.1.22"));

        const QString folder = qEnvironmentVariable("CORVANE_SCREENSHOTS", m_env->dir.path());
        QVERIFY(m_window->grab().save(folder + "/preferences-" + QTest::currentDataTag() + ".png"));
    }
};

QTEST_MAIN(TestPreferences)
#include "tst_Preferences.moc"
