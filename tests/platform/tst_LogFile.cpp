#include "log/LogFile.h"
#include "log/Logging.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

QStringList fileLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void writeFile(const QString& path, const QStringList& lines)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

QString marker(const char* what, qint64 pid)
{
    return QStringLiteral("[2024-01-01 00:00:00 +0000][INFO][session] Corvane 0.1.0 %1, process %2")
        .arg(QLatin1String(what))
        .arg(pid);
}

QString line(const QString& text)
{
    return QStringLiteral("[2024-01-01 00:00:01 +0000][INFO][default] ") + text;
}

} // namespace

class TestLogFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { Logging::setThreshold(Logging::Level::Verbose); }

    void writesLineFormWithSessionMarker()
    {
        QTemporaryDir dir;
        LogFile log(dir.path() + QStringLiteral("/state/corvane"));
        QVERIFY2(log.start(), qPrintable(log.errorString()));
        Logging::info(QStringLiteral("hello {} %s"), QStringLiteral("SSDP"));
        Logging::warning(QStringLiteral("first\nsecond"));
        Logging::setThreshold(Logging::Level::Info);
        Logging::debug(QStringLiteral("below the threshold"));
        log.stop();
        Logging::info(QStringLiteral("after stop"));

        const QStringList lines = fileLines(log.path());
        QCOMPARE(lines.size(), 4);
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000\\]"
                                    "\\[INFO\\]\\[session\\] Corvane \\S+ started, process ") +
                     QString::number(::getpid()) + QLatin1Char('$'))
                     .match(lines[0])
                     .hasMatch(),
                 qPrintable(lines[0]));
        QVERIFY(QRegularExpression(
                    QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000\\]"
                                   "\\[INFO\\]\\[SSDP\\] hello \\{\\} %s$"))
                    .match(lines[1])
                    .hasMatch());
        QVERIFY(lines[2].endsWith(QLatin1String("][WARNING][default] first")));
        QCOMPARE(lines[3], QStringLiteral("    second"));
        QCOMPARE(QFile::permissions(log.path()) & (QFile::ReadOther | QFile::ReadGroup),
                 QFile::Permissions());
        QCOMPARE(QFileInfo(log.directory()).permissions() & QFile::ExeOther, QFile::Permissions());
    }

    void rotatesWithinSizeAndCount()
    {
        QTemporaryDir dir;
        LogFile log(dir.path(), 4096, 3);
        QVERIFY(log.start());
        const QString padding(80, QLatin1Char('x'));
        for (int i = 1; i <= 300; ++i)
            Logging::info(QStringLiteral("line %1 ").arg(i) + padding);
        log.stop();

        const QStringList files = log.files();
        QCOMPARE(files, QStringList({dir.filePath(QStringLiteral("corvane.log")),
                                     dir.filePath(QStringLiteral("corvane.1.log")),
                                     dir.filePath(QStringLiteral("corvane.2.log"))}));
        for (const QString& f : files)
            QVERIFY2(QFileInfo(f).size() <= 4096, qPrintable(f));
        QVERIFY(fileLines(files[0]).last().endsWith(QLatin1String("line 300 ") + padding));
        QVERIFY(fileLines(files[1]).first().contains(QLatin1String(" continued, process ")));

        // The tail spans the rotation; the oldest lines are gone with the third file.
        const QStringList tail = log.sessionTail(::getpid(), 40).split(QLatin1Char('\n'));
        QCOMPARE(tail.size(), 40);
        QVERIFY(tail.first().contains(QLatin1String("] line 261 ")));
        QVERIFY(tail.last().contains(QLatin1String("] line 300 ")));
        for (const QString& l : tail)
            QVERIFY(!l.contains(QLatin1String("[session]")));
    }

    void sessionTailFindsTheRightSession_data()
    {
        QTest::addColumn<qint64>("pid");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("session across a rotation")
            << qint64(111) << 100 << QStringList{line("a1"), line("a2"), line("a3"), line("a4")};
        QTest::newRow("last lines only") << qint64(111) << 2 << QStringList{line("a3"), line("a4")};
        QTest::newRow("middle session")
            << qint64(222) << 100 << QStringList{line("b1"), line("b2")};
        QTest::newRow("current session") << qint64(333) << 100 << QStringList{line("c1")};
        QTest::newRow("unknown process") << qint64(999) << 100 << QStringList{};
        QTest::newRow("no lines asked") << qint64(222) << 0 << QStringList{};
    }
    void sessionTailFindsTheRightSession()
    {
        QFETCH(qint64, pid);
        QFETCH(int, lines);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("corvane.1.log")),
                  {marker("started", 111), line("a1"), line("a2"), line("a3")});
        writeFile(dir.filePath(QStringLiteral("corvane.log")),
                  {marker("continued", 111), line("a4"), marker("started", 222), line("b1"),
                   line("b2"), marker("started", 333), line("c1")});
        const QString tail = LogFile::sessionTail(dir.path(), pid, lines);
        QCOMPARE(tail, expected.join(QLatin1Char('\n')));
    }

    // A logged text that looks like a marker must not cut the session short.
    void messageCannotForgeMarker()
    {
        QTemporaryDir dir;
        LogFile log(dir.path());
        QVERIFY(log.start());
        Logging::info(QStringLiteral("before"));
        Logging::info(QStringLiteral("x\n") + marker("started", ::getpid()));
        Logging::info(QStringLiteral("after"));
        log.stop();
        const QStringList tail = log.sessionTail(::getpid()).split(QLatin1Char('\n'));
        QCOMPARE(tail.size(), 4);
        QVERIFY(tail.first().endsWith(QLatin1String("] before")));
    }

    void stateDirectory_data()
    {
        QTest::addColumn<QByteArray>("xdgStateHome");
        QTest::addColumn<QString>("expected");
        QTest::newRow("set") << QByteArray("/srv/state") << QStringLiteral("/srv/state/corvane");
        QTest::newRow("relative is ignored")
            << QByteArray("state") << QDir::homePath() + QStringLiteral("/.local/state/corvane");
        QTest::newRow("unset") << QByteArray()
                               << QDir::homePath() + QStringLiteral("/.local/state/corvane");
    }
    void stateDirectory()
    {
        QFETCH(QByteArray, xdgStateHome);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        if (xdgStateHome.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", xdgStateHome);
        const QString dir = LogFile::stateDirectory();
        if (saved.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", saved);
        QCOMPARE(dir, expected);
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_LogFile.moc"
