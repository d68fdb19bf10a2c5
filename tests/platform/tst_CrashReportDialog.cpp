#include "app/CrashReportDialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

namespace {

QMessageBox* openAlert()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->objectName() == QLatin1String("crashReportAlert") && box->isVisible())
            return box;
    }
    return nullptr;
}

} // namespace

class TestCrashReportDialog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The alert's texts; Discard saves nothing even with a save path ready,
    // Save Report writes the report with both logs, privately.
    void discardThenSave()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sub/report.txt"));
        CrashReport report;
        report.crashText = QStringLiteral("Corvane crash report\nSignal: 11 (SIGSEGV)\n");
        report.sessionLog = QStringLiteral("[2024-01-01 00:00:00 +0000][INFO][default] before");
        report.applicationLog = QStringLiteral("[2024-01-01 00:01:00 +0000][INFO][default] now");
        int answered = 0;
        for (const bool saving : {false, true}) {
            CrashReportDialog::setNextSavePath(path);
            CrashReportDialog::present(report, [&answered] { ++answered; });
            QMessageBox* alert = nullptr;
            QTRY_VERIFY((alert = openAlert()) != nullptr);
            QCOMPARE(alert->text(), QStringLiteral("Corvane quit unexpectedly"));
            auto* save = alert->findChild<QPushButton*>(QStringLiteral("saveReportButton"));
            auto* discard = alert->findChild<QPushButton*>(QStringLiteral("discardButton"));
            QVERIFY(save && discard);
            QCOMPARE(save->text(), QStringLiteral("Save Report…"));
            QCOMPARE(discard->text(), QStringLiteral("Discard"));
            QTest::mouseClick(saving ? save : discard, Qt::LeftButton);
            QTRY_COMPARE(answered, saving ? 2 : 1);
            QTRY_VERIFY(openAlert() == nullptr);
            QCOMPARE(QFile::exists(path), saving);
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.startsWith(QLatin1String("Corvane crash report\nSignal: 11 (SIGSEGV)\n")));
        QVERIFY(text.contains(QLatin1String("] before")));
        QVERIFY(text.contains(QLatin1String("] now")));
        QCOMPARE(file.permissions() & QFile::ReadOther, QFile::Permissions());
    }
};

QTEST_MAIN(TestCrashReportDialog)
#include "tst_CrashReportDialog.moc"
