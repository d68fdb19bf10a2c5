#include "log/Logging.h"
#include "platform/DesktopEntry.h"
#include "preferences/LaunchOnLogin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

struct Captured {
    Logging::Level level;
    Logging::Category category;
    QString message;
};

const QString entryName = QStringLiteral("org.corvane.CorvaneHelper.desktop");

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestLaunchOnLogin : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_home;
    std::vector<Captured> m_log;

    QString autostartDir() const { return m_home->filePath(QStringLiteral("config/autostart")); }

    void expectLog(Logging::Level level, const QString& message)
    {
        QCOMPARE(m_log.size(), size_t(1));
        QCOMPARE(m_log.back().level, level);
        QCOMPARE(m_log.back().category, Logging::Category(QStringLiteral("preferences")));
        QCOMPARE(m_log.back().message, message);
    }

    // The one info or error line, ignoring the debug line a failure adds.
    void expectOutcome(Logging::Level level, const QString& message)
    {
        std::erase_if(m_log, [](const Captured& c) { return c.level == Logging::Level::Debug; });
        expectLog(level, message);
        m_log.clear();
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        m_log.clear();
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            m_log.push_back({level, category, message});
        });
    }

    void cleanup()
    {
        Logging::setReceiver({});
        // Undo the read-only folder of the failure test so the folder can go.
        QFile::setPermissions(autostartDir(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_home.reset();
    }

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
        QCOMPARE(login.entryPath(), autostartDir() + QLatin1Char('/') + entryName);

        QFile file(login.entryPath());
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

        login.setStartAtLogin(false);
        expectOutcome(Logging::Level::Info, QStringLiteral("Disabled start at login"));
        QVERIFY(!QFile::exists(login.entryPath()));
        QVERIFY(!login.startAtLogin());

        // Nothing to remove still reaches the wanted state.
        login.setStartAtLogin(false);
        expectOutcome(Logging::Level::Info, QStringLiteral("Disabled start at login"));
    }

    void readBack_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("registered");

        const QByteArray base = "[Desktop Entry]\nType=Application\nExec=/x/corvane-helper\n";
        QTest::newRow("ours") << entryName << base << true;
        QTest::newRow("comments first") << entryName << "# made by Corvane\n\n" + base << true;
        QTest::newRow("Hidden") << entryName << base + "Hidden=true\n" << false;
        QTest::newRow("Hidden false") << entryName << base + "Hidden=false\n" << true;
        QTest::newRow("GNOME switched off")
            << entryName << base + "X-GNOME-Autostart-enabled=false\n"
            << false;
        QTest::newRow("GNOME switched on") << entryName << base + "X-GNOME-Autostart-enabled=true\n"
                                           << true;
        QTest::newRow("keys are case-sensitive") << entryName << base + "hidden=true\n" << true;
        QTest::newRow("Hidden in another group")
            << entryName << base + "[Desktop Action quit]\nHidden=true\n"
            << true;
        QTest::newRow("name in other case")
            << QStringLiteral("org.corvane.corvanehelper.desktop") << base << false;
        QTest::newRow("empty") << entryName << QByteArray() << false;
        QTest::newRow("not a desktop entry") << entryName << QByteArray("Exec=/x\n") << false;
        QTest::newRow("other group first")
            << entryName << QByteArray("[Other]\nA=b\n") + base << false;
        QTest::newRow("stray line") << entryName << base + "garbage\n" << false;
        QTest::newRow("not UTF-8") << entryName << base + "Name=\xff\xfe\n" << false;
        QTest::newRow("oversized")
            << entryName << base + "#" + QByteArray(DesktopEntry::maxSize, 'x') + "\n"
            << false;
    }

    void readBack()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(bool, registered);
        QVERIFY(QDir().mkpath(autostartDir()));
        writeFile(autostartDir() + QLatin1Char('/') + fileName, content);
        QCOMPARE(LaunchOnLogin(autostartDir(), QStringLiteral("/x/corvane-helper")).startAtLogin(),
                 registered);
        QVERIFY(m_log.empty()); // reading never logs
    }

    void failures_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QString>("message");

        QTest::newRow("folder is a file, enable")
            << "file" << true << "Failed to enable start at login";
        QTest::newRow("entry is a folder, enable")
            << "folder" << true << "Failed to enable start at login";
        QTest::newRow("entry is a folder, disable")
            << "folder" << false << "Failed to disable start at login";
        QTest::newRow("read-only folder, enable")
            << "read-only" << true << "Failed to enable start at login";
    }

    void failures()
    {
        QFETCH(QString, obstacle);
        QFETCH(bool, on);
        QFETCH(QString, message);
        LaunchOnLogin login(autostartDir(), QStringLiteral("/x/corvane-helper"));
        QVERIFY(QDir().mkpath(QFileInfo(autostartDir()).path()));
        if (obstacle == QLatin1String("file")) {
            writeFile(autostartDir(), "not a folder");
        } else if (obstacle == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(login.entryPath() + QStringLiteral("/inside")));
        } else {
            if (::geteuid() == 0)
                QSKIP("root writes into read-only folders");
            QVERIFY(QDir().mkpath(autostartDir()));
            QVERIFY(QFile::setPermissions(autostartDir(), QFile::ReadOwner | QFile::ExeOwner));
        }

        login.setStartAtLogin(on);
        expectOutcome(Logging::Level::Error, message);
        QVERIFY(!login.startAtLogin());
    }
};

QTEST_GUILESS_MAIN(TestLaunchOnLogin)
#include "tst_LaunchOnLogin.moc"
