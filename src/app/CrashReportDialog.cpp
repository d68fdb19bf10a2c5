#include "app/CrashReportDialog.h"

#include "log/Logging.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace {

std::optional<QString> g_nextSavePath;

void saveTo(const CrashReport& report, const QString& path, const QPointer<QWidget>& parent)
{
    if (path.isEmpty())
        return;
    QString error;
    if (report.save(path, &error))
        return;
    Logging::error(QStringLiteral("Cannot save the crash report to %1: %2").arg(path, error));
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Corvane"),
                                  QStringLiteral("The crash report could not be saved."),
                                  QMessageBox::Ok, parent);
    alert->setObjectName(QStringLiteral("crashReportSaveError"));
    alert->setInformativeText(error);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->open();
}

void askWhereToSave(const CrashReport& report, const std::function<void()>& done,
                    const QPointer<QWidget>& parent)
{
    const QString proposed = QDir::home().filePath(report.suggestedFileName());
    if (g_nextSavePath) {
        const QString path = *g_nextSavePath;
        g_nextSavePath.reset();
        QTimer::singleShot(0, [report, path, done, parent] {
            saveTo(report, path, parent);
            done();
        });
        return;
    }
    auto* panel = new QFileDialog(parent, QStringLiteral("Save Report"), proposed,
                                  QStringLiteral("Text files (*.txt)"));
    panel->setObjectName(QStringLiteral("crashReportSavePanel"));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(panel, &QFileDialog::finished, panel, [panel, report, done, parent](int) {
        const QStringList chosen = panel->selectedFiles();
        if (panel->result() == QDialog::Accepted && !chosen.isEmpty())
            saveTo(report, chosen.first(), parent);
        done();
    });
    panel->open();
}

} // namespace

void CrashReportDialog::present(const CrashReport& report, std::function<void()> done,
                                QWidget* parent)
{
    const QPointer<QWidget> owner(parent);
    auto* alert = new QMessageBox(parent);
    alert->setObjectName(QStringLiteral("crashReportAlert"));
    alert->setIcon(QMessageBox::Warning);
    alert->setWindowTitle(QStringLiteral("Corvane"));
    alert->setText(QStringLiteral("Corvane quit unexpectedly"));
    alert->setInformativeText(
        QStringLiteral("A report of the crash, with the log of that session, can be saved to a "
                       "file and attached to a bug report."));
    alert->setDetailedText(report.crashText);
    QPushButton* save = alert->addButton(QStringLiteral("Save Report…"), QMessageBox::AcceptRole);
    save->setObjectName(QStringLiteral("saveReportButton"));
    QPushButton* discard = alert->addButton(QStringLiteral("Discard"), QMessageBox::RejectRole);
    discard->setObjectName(QStringLiteral("discardButton"));
    alert->setDefaultButton(save);
    alert->setEscapeButton(discard);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(alert, &QMessageBox::finished, alert, [alert, save, report, done, owner] {
        if (alert->clickedButton() == save)
            askWhereToSave(report, done, owner);
        else
            done();
    });
    alert->open();
}

void CrashReportDialog::setNextSavePath(const std::optional<QString>& path)
{
    g_nextSavePath = path;
}
