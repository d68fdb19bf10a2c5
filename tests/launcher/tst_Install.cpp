// `make package` on this build tree, unpacked: the installed layout is what
// the two programs rely on, and desktops find the entry and icon.
#include "platform/Launcher.h"

#include <QSvgRenderer>
#include <QtTest>

namespace {

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
    void packageLayout()
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

        const QString usr = out.filePath(QStringLiteral("root/usr/"));
        QVERIFY(
            run(dpkgDeb, {QStringLiteral("--extract"), deb, out.filePath(QStringLiteral("root"))}));
        const QString main = usr + QStringLiteral("bin/corvane");
        const QString helper = usr + QStringLiteral("libexec/corvane/corvane-helper");
        QVERIFY(QFileInfo(main).isExecutable());
        QVERIFY(QFileInfo(helper).isExecutable());
        // Each program finds the other where the other was installed.
        QCOMPARE(Launcher::mainProgramPath(helper), main);
        QCOMPARE(Launcher::helperProgramPath(main), helper);

        QFile entry(usr + QStringLiteral("share/applications/org.corvane.Corvane.desktop"));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray text = entry.readAll();
        QVERIFY(text.contains("\nExec=corvane\n") && text.contains("\nIcon=org.corvane.Corvane\n"));
        const QString validator =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validator.isEmpty())
            QVERIFY(run(validator, {entry.fileName()}));
        const QString icon =
            QStringLiteral("share/icons/hicolor/scalable/apps/org.corvane.Corvane.svg");
        QVERIFY(QSvgRenderer(usr + icon).isValid());
    }
};

QTEST_MAIN(TestInstall)
#include "tst_Install.moc"
