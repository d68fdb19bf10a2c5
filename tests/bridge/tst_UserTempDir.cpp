#include "bridge/AirConnect.h"
#include "platform/UserTempDir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

unsigned mode(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

} // namespace

class TestUserTempDir : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void privateFolderIsMadeOrRefused_data()
    {
        QTest::addColumn<QString>("planted"); // what already lies at base/corvane
        QTest::addColumn<bool>("accepted");
        QTest::newRow("nothing yet") << "" << true;
        QTest::newRow("our folder, too open") << "folder 0755" << true;
        QTest::newRow("symbolic link") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
    }

    void privateFolderIsMadeOrRefused()
    {
        QFETCH(QString, planted);
        QFETCH(bool, accepted);
        QTemporaryDir base;
        const QString folder = base.filePath(QStringLiteral("corvane"));
        if (planted == QLatin1String("folder 0755")) {
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        } else if (planted == QLatin1String("link")) {
            QVERIFY(QDir().mkdir(base.filePath(QStringLiteral("elsewhere"))));
            QVERIFY(QFile::link(base.filePath(QStringLiteral("elsewhere")), folder));
        } else if (planted == QLatin1String("file")) {
            QFile file(folder);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        QString error;
        const QString made = UserTempDir::ensurePrivateFolder(base.path(), &error);
        if (accepted) {
            QCOMPARE(made, folder);
            QCOMPARE(mode(folder), 0700u);
        } else {
            QVERIFY(made.isEmpty());
            QVERIFY(!error.isEmpty());
        }
    }

    void bridgeConfigLivesInRuntimeFolderOrPrivateFallback()
    {
        QTemporaryDir runtime;
        QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), 0700) == 0);
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

        const QString config = AirConnect().configPath();
        QCOMPARE(config, runtime.filePath(QStringLiteral("corvane/airupnp.xml")));
        QCOMPARE(mode(runtime.filePath(QStringLiteral("corvane"))), 0700u);

        // Someone else's link in our place: a private temporary folder instead.
        QVERIFY(QDir(runtime.filePath(QStringLiteral("corvane"))).removeRecursively());
        QVERIFY(QFile::link(QDir::tempPath(), runtime.filePath(QStringLiteral("corvane"))));
        const QString fallback = UserTempDir::path();
        QVERIFY(!fallback.isEmpty());
        QVERIFY(!fallback.startsWith(runtime.path()));
        QCOMPARE(mode(fallback), 0700u);

        if (saved.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", saved);
    }
};

QTEST_GUILESS_MAIN(TestUserTempDir)
#include "tst_UserTempDir.moc"
