#include "app/CrashReportDialog.h"
#include "platform/CrashReporter.h"
#include "support/FileSizeLimit.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

class TestCrashReportDialog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Save Report writes the report privately and answers once; a full disk
    // is a failure, not a saved report.
    void saveReport()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sub/report.txt"));
        CrashReportDialog::setNextSavePath(path);
        CrashReport report;
        report.crashText = QStringLiteral("Corvane crash report\nSignal: 11 (SIGSEGV)\n");
        int answered = 0;
        CrashReportDialog::present(report, [&answered] { ++answered; });
        QPointer<QMessageBox> alert;
        QTRY_VERIFY(alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
        QTest::mouseClick(alert->findChild<QPushButton*>(QStringLiteral("saveReportButton")),
                          Qt::LeftButton);
        QTRY_COMPARE(answered, 1);
        QTRY_VERIFY(!alert); // closed and gone

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()),
                 report.text()); // its making is tested with the reporter
        QCOMPARE(file.permissions() & QFile::ReadOther, QFile::Permissions());

        const FileSizeLimit full(0);
        QVERIFY(!report.save(dir.filePath(QStringLiteral("full.txt"))));
    }
};

QTEST_MAIN(TestCrashReportDialog)
#include "tst_CrashReportDialog.moc"
