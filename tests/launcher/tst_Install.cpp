// `make install` and `make package` on this build tree: the installed layout
// is what the two programs rely on, and desktops find the entry and icon.
#include "platform/DesktopEntry.h"
#include "platform/Launcher.h"

#include <QSvgRenderer>
#include <QtTest>

namespace {

const QString entryPath = QStringLiteral("share/applications/org.corvane.Corvane.desktop");
const QString iconPath =
    QStringLiteral("share/icons/hicolor/scalable/apps/org.corvane.Corvane.svg");

// Runs a tool to its end; its output, or nothing when it fails (its errors
// are in the test's output).
std::optional<QString> run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAll());
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void installLayout()
    {
        QTemporaryDir prefix;
        QVERIFY(run(QStringLiteral(CORVANE_CMAKE),
                    {QStringLiteral("--install"), QStringLiteral(CORVANE_BUILD_DIR),
                     QStringLiteral("--prefix"), prefix.path()}));
        const QString main = prefix.filePath(QStringLiteral("bin/corvane"));
        const QString helper = prefix.filePath(QStringLiteral("libexec/corvane/corvane-helper"));
        QVERIFY(QFileInfo(main).isExecutable());
        QVERIFY(QFileInfo(helper).isExecutable());
        // Each program finds the other where the other was installed.
        QCOMPARE(Launcher::mainProgramPath(helper), main);
        QCOMPARE(Launcher::helperProgramPath(main), helper);

        QFile entryFile(prefix.filePath(entryPath));
        QVERIFY(entryFile.open(QIODevice::ReadOnly));
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(entryFile.readAll());
        QVERIFY(entry);
        QCOMPARE(entry->value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry->value(QStringLiteral("Exec")), QStringLiteral("corvane"));
        QCOMPARE(entry->value(QStringLiteral("Icon")), QStringLiteral("org.corvane.Corvane"));
        QCOMPARE(entry->value(QStringLiteral("Categories")), QStringLiteral("AudioVideo;Audio;"));
        const QString validator =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validator.isEmpty())
            QVERIFY(run(validator, {entryFile.fileName()}));
        QSvgRenderer icon(prefix.filePath(iconPath));
        QVERIFY(icon.isValid());
        QCOMPARE(icon.viewBox().width(), icon.viewBox().height());
    }

    void packageBuilds()
    {
        const QString dpkgDeb = QStringLiteral("dpkg-deb");
        QTemporaryDir out;
        QVERIFY(run(QStringLiteral(CORVANE_CPACK),
                    {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                     QStringLiteral(CORVANE_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"),
                     out.path()}));
        const QStringList debs = QDir(out.path()).entryList({QStringLiteral("corvane_*.deb")});
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());
        const QString depends =
            run(dpkgDeb, {QStringLiteral("--field"), deb, QStringLiteral("Depends")}).value_or("");
        for (const char* library : {"libqt6core6", "libqt6dbus6", "libc6"})
            QVERIFY2(depends.contains(QLatin1String(library)), qPrintable(depends));
        const QString contents = run(dpkgDeb, {QStringLiteral("--contents"), deb}).value_or("");
        for (const QString& file :
             {QStringLiteral("./usr/bin/corvane"),
              QStringLiteral("./usr/libexec/corvane/corvane-helper"),
              QStringLiteral("./usr/") + entryPath, QStringLiteral("./usr/") + iconPath})
            QVERIFY2(contents.contains(file), qPrintable(file));
    }
};

QTEST_MAIN(TestInstall)
#include "tst_Install.moc"
