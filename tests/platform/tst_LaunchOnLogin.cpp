// The autostart entry on its own: quoting, keys, log lines, what counts as
// registered, and failures. tests/launcher runs the entry end to end.

#include "log/Logging.h"
#include "platform/DesktopEntry.h"
#include "platform/LaunchOnLogin.h"
#include "support/FileSizeLimit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestLaunchOnLogin : public QObject {
    Q_OBJECT
private:
    std::optional<QTemporaryDir> m_home;
    QStringList m_log; // "level category: message", debug lines left out

    QString autostartDir() const { return m_home->filePath(QStringLiteral("config/autostart")); }
    QString entryPath() const { return autostartDir() + "/org.corvane.CorvaneHelper.desktop"; }

    void expectOutcome(Logging::Level level, const QString& message)
    {
        QCOMPARE(m_log, QStringList{QString::number(int(level)) + " preferences: " + message});
        m_log.clear();
    }

private Q_SLOTS:
    void init()
    {
        m_home.emplace();
        m_log.clear();
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            if (level != Logging::Level::Debug)
                m_log << QString::number(int(level)) + ' ' + category.value_or("-") + ": " +
                             message;
        });
    }

    void cleanup() { Logging::setReceiver({}); }

    void registerReadBackUnregister()
    {
        // Every character the Exec quoting rules single out.
        const QString helper = m_home->filePath(QStringLiteral(
            "My \"Apps\"/$HOME/`x`/100%/back\\slash/libexec/corvane/corvane-helper"));
        LaunchOnLogin login(autostartDir(), helper);
        QVERIFY(!login.startAtLogin());
        login.setStartAtLogin(true);
        expectOutcome(Logging::Level::Info, QStringLiteral("Enabled start at login"));
        QVERIFY(login.startAtLogin());

        QFile file(entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(
            text.contains("\nExec=\"" + m_home->path().toUtf8() +
                          "/My \\\\\"Apps\\\\\"/\\\\$HOME/\\\\`x\\\\`/100%%/back\\\\\\\\slash/"));
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(text);
        QVERIFY(entry);
        QCOMPARE(entry->value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry->value(QStringLiteral("Name")), QStringLiteral("Corvane"));
        QCOMPARE(entry->value(QStringLiteral("X-GNOME-Autostart-enabled")), QStringLiteral("true"));
        QCOMPARE(entry->value(QStringLiteral("TryExec")), helper);
        QCOMPARE(DesktopEntry::splitExec(*entry->value(QStringLiteral("Exec"))),
                 QStringList{helper});

        for (int i = 0; i < 2; ++i) { // twice: nothing left to remove is no failure
            login.setStartAtLogin(false);
            expectOutcome(Logging::Level::Info, QStringLiteral("Disabled start at login"));
            QVERIFY(!QFile::exists(entryPath()));
            QVERIFY(!login.startAtLogin());
        }
    }

    void readBack_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("registered");
        const QString ours = QStringLiteral("org.corvane.CorvaneHelper.desktop");
        const QByteArray base = "[Desktop Entry]\nType=Application\nExec=/x/corvane-helper\n";
        QTest::newRow("ours") << ours << base << true;
        QTest::newRow("name in other case") << ours.toLower() << base << false;
        QTest::newRow("Hidden") << ours << base + "Hidden=true\n" << false;
        QTest::newRow("another helper")
            << ours << QByteArray("[Desktop Entry]\nType=Application\nExec=/old/corvane-helper\n")
            << false;
        QTest::newRow("GNOME off") << ours << base + "X-GNOME-Autostart-enabled=false\n" << false;
        QTest::newRow("Hidden in another group")
            << ours << base + "[Desktop Action quit]\nHidden=true\n"
            << true;
        QTest::newRow("other group first") << ours << "[Other]\nA=b\n" + base << false;
        QTest::newRow("main group twice") << ours << base + base << false;
        QTest::newRow("stray line") << ours << base + "garbage\n" << false;
        QTest::newRow("not UTF-8") << ours << base + "Name=\xff\xfe\n" << false;
        QTest::newRow("oversized")
            << ours << base + "#" + QByteArray(DesktopEntry::maxSize, 'x') + "\n"
            << false;
    }

    void readBack()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QVERIFY(QDir().mkpath(autostartDir()));
        QFile file(autostartDir() + '/' + fileName);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        QTEST(LaunchOnLogin(autostartDir(), QStringLiteral("/x/corvane-helper")).startAtLogin(),
              "registered");
        QVERIFY(m_log.empty()); // reading never logs
    }

    // An entry of another install is rewritten to run ours; one we cannot
    // rewrite reads as off.
    void repairAtStart_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("rewritten");
        QTest::addColumn<bool>("registered");
        const QByteArray ours = "Exec=/x/corvane-helper\nTryExec=/x/corvane-helper\n";
        const QByteArray old =
            "Exec=\"/old build/corvane-helper\"\nTryExec=/old build/corvane-helper\n";
        QTest::newRow("ours") << ours << true << false << true;
        QTest::newRow("earlier build") << old << true << true << true;
        QTest::newRow("only TryExec elsewhere")
            << QByteArray("Exec=/x/corvane-helper\nTryExec=/gone/corvane-helper\n") << true << true
            << true;
        QTest::newRow("earlier build, switched off") << old + "X-GNOME-Autostart-enabled=false\n"
                                                     << true << false << false;
        QTest::newRow("earlier build, disk full") << old << false << false << false;
    }

    void repairAtStart()
    {
        QFETCH(QByteArray, keys);
        QFETCH(bool, writable);
        QFETCH(bool, rewritten);
        QFETCH(bool, registered);
        QVERIFY(QDir().mkpath(autostartDir()));
        const QByteArray text = "[Desktop Entry]\nType=Application\n" + keys;
        QFile file(entryPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        LaunchOnLogin login(autostartDir(), QStringLiteral("/x/corvane-helper"));
        {
            // Unlike permissions, a full disk stops root too.
            std::optional<FileSizeLimit> full;
            if (!writable)
                full.emplace(0);
            QCOMPARE(login.repairEntry(), registered);
        }

        QTEST(login.startAtLogin(), "registered");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll() != text, rewritten);
        if (rewritten)
            QVERIFY(m_log.value(0).startsWith("2 preferences: Start at login ran /"));
        else if (!writable)
            QVERIFY(m_log.value(0).startsWith("4 preferences: Failed to point start at login"));
        else
            QVERIFY(m_log.isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<bool>("on");
        QTest::newRow("folder is a file, enable") << "file" << true;
        QTest::newRow("entry is a folder, enable") << "folder" << true;
        QTest::newRow("entry is a folder, disable") << "folder" << false;
        QTest::newRow("disk full, enable") << "full" << true;
    }

    void failures()
    {
        QFETCH(QString, obstacle);
        QFETCH(bool, on);
        QVERIFY(QDir().mkpath(m_home->filePath(QStringLiteral("config"))));
        if (obstacle == "file") {
            QFile file(autostartDir());
            QVERIFY(file.open(QIODevice::WriteOnly)); // a file where the folder belongs
        } else if (obstacle == "folder") {
            QVERIFY(QDir().mkpath(entryPath() + "/inside"));
        }
        LaunchOnLogin login(autostartDir(), QStringLiteral("/x/corvane-helper"));
        {
            std::optional<FileSizeLimit> full;
            if (obstacle == "full")
                full.emplace(0);
            login.setStartAtLogin(on);
        }
        expectOutcome(Logging::Level::Error,
                      QStringLiteral("Failed to %1 start at login").arg(on ? "enable" : "disable"));
        QVERIFY(!login.startAtLogin());
    }
};

QTEST_GUILESS_MAIN(TestLaunchOnLogin)
#include "tst_LaunchOnLogin.moc"
