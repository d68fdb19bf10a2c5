#include "preferences/ViewController.h"

#include "bridge/AirConnect.h"
#include "bridge/BridgeController.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Log.h"
#include "log/Logging.h"
#include "platform/LaunchOnLogin.h"
#include "platform/SaveFile.h"
#include "preferences/EditableTextField.h"
#include "preferences/IconLoader.h"
#include "preferences/PreferencesTableViewItem.h"
#include "settings/Settings.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <utility>

namespace {

const QString kCategory = QStringLiteral("preferences");

std::optional<QUrl> firstIconUrl(const DeviceInfo& info)
{
    // Only the first icon counts, whatever its size or type.
    if (info.iconList.isEmpty() || !info.iconList.first())
        return std::nullopt;
    return info.iconList.first()->url;
}

QString subtitleFor(const DeviceSettings& record)
{
    if (record.info.friendlyName && !record.info.friendlyName->isEmpty())
        return *record.info.friendlyName;
    return record.info.location.host(); // without the port
}

QString saveFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QDir(documents).exists())
        return documents;
    return QDir::homePath();
}

} // namespace

ViewController::ViewController(const Outlets& outlets, const Services& services, QWidget* window)
    : QObject(window), spinner(outlets.spinner), tableView(outlets.tableView),
      checkbox(outlets.checkbox), startStopButton(outlets.startStopButton),
      m_saveLogButton(outlets.saveLogButton), m_outlets(outlets), m_window(window),
      m_bridge(*services.bridge), m_settings(m_bridge.settings()),
      m_discovery(m_bridge.discovery()), m_airConnect(m_bridge.airConnect()),
      m_log(services.log ? *services.log : Log::shared()), m_icons(services.icons)
{
    Q_ASSERT(spinner && tableView && checkbox && startStopButton && m_saveLogButton);
    Q_ASSERT(outlets.followChangesCheckbox && outlets.skipAirPlayCheckbox &&
             outlets.missingBridgePanel && outlets.missingBridgeLabel &&
             outlets.openBridgeFolderButton);
    if (services.launchOnLogin) {
        m_launchOnLogin = services.launchOnLogin;
    } else {
        m_ownLaunchOnLogin = std::make_unique<LaunchOnLogin>();
        m_launchOnLogin = m_ownLaunchOnLogin.get();
    }
    if (!m_icons)
        m_icons = new IconLoader(nullptr, this);

    m_rowsLayout = qobject_cast<QVBoxLayout*>(tableView->widget()->layout());
    Q_ASSERT(m_rowsLayout);
    // The list reads as one white table, rows alternating as usual.
    tableView->viewport()->setBackgroundRole(QPalette::Base);
    tableView->viewport()->setAutoFillBackground(true);
    tableView->widget()->setBackgroundRole(QPalette::Base);
    tableView->widget()->setAutoFillBackground(true);

    // The button row keeps its place while the spinner is hidden.
    QSizePolicy policy = spinner->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    spinner->setSizePolicy(policy);
    spinner->setVisible(false);

    connect(checkbox, &QCheckBox::clicked, this, [this] { startAtLoginChecked(checkbox); });
    connect(startStopButton, &QPushButton::clicked, this, &ViewController::startStopClicked);
    connect(m_saveLogButton, &QPushButton::clicked, this, &ViewController::saveLogClicked);
    connect(outlets.followChangesCheckbox, &QCheckBox::clicked, this,
            [this] { followChangesChecked(m_outlets.followChangesCheckbox); });
    connect(outlets.skipAirPlayCheckbox, &QCheckBox::clicked, this,
            [this] { skipAirPlayChecked(m_outlets.skipAirPlayCheckbox); });
    connect(outlets.openBridgeFolderButton, &QPushButton::clicked, this,
            &ViewController::openBridgeFolderClicked);

    Logging::info(QStringLiteral("viewDidLoad"), kCategory);
}

ViewController::~ViewController()
{
    removeListeners();
}

void ViewController::viewWillAppear()
{
    Logging::info(QStringLiteral("viewWillAppear"), kCategory);
    // Never two observers for one notification, even if shows come in pairs.
    removeListeners();
    registerListeners();
    checkbox->setChecked(m_launchOnLogin->startAtLogin());
    m_outlets.followChangesCheckbox->setChecked(m_settings.followChanges);
    m_outlets.skipAirPlayCheckbox->setChecked(m_settings.skipAirPlaySpeakers);
    updateMissingBridge();
    updateStartStopButton();
    updateSpinner();
    // Speakers may have come and gone while the window was closed.
    reloadData();
}

void ViewController::viewDidDisappear()
{
    Logging::info(QStringLiteral("viewDidDisappear"), kCategory);
    removeListeners();
    // A closed window leaves no panel or alert behind.
    if (m_savePanel)
        m_savePanel->reject();
    if (m_alert)
        m_alert->close();
}

void ViewController::registerListeners()
{
    // Queued: the work runs after every direct observer, so the bridge
    // controller has merged a new speaker into the store before the reload.
    listeners.append(connect(
        &m_discovery, &DeviceDiscovery::discoveryStarted, this, [this] { searchStarted(); },
        Qt::QueuedConnection));
    listeners.append(connect(
        &m_discovery, &DeviceDiscovery::deviceDiscovered, this, [this] { speakerFound(); },
        Qt::QueuedConnection));
    listeners.append(connect(
        &m_discovery, &DeviceDiscovery::discoveryComplete, this, [this] { searchEnded(); },
        Qt::QueuedConnection));
    for (auto signal :
         {&AirConnect::serviceStarted, &AirConnect::serviceReady, &AirConnect::serviceTerminated})
        listeners.append(connect(
            &m_airConnect, signal, this, [this] { serviceStateChanged(); }, Qt::QueuedConnection));
    listeners.append(connect(
        &m_bridge, &BridgeController::appStopped, this, [this] { serviceStateChanged(); },
        Qt::QueuedConnection));
}

void ViewController::removeListeners()
{
    for (const QMetaObject::Connection& token : std::as_const(listeners))
        disconnect(token);
    listeners.clear();
}

QList<DeviceSettings> ViewController::visibleSpeakers() const
{
    QList<DeviceSettings> speakers;
    for (const DeviceSettings& record : m_settings.devices()) {
        if (record.active && record.topology && record.topology->coordinator)
            speakers.append(record);
    }
    return speakers;
}

int ViewController::numberOfRowsInTableView() const
{
    return int(qMax<qsizetype>(visibleSpeakers().size(), 1));
}

PreferencesTableViewItem* ViewController::viewForRow(int row)
{
    if (row < 0 || row >= m_rows.size())
        return nullptr;
    fillRow(*m_rows[row], visibleSpeakers(), row);
    return m_rows[row];
}

void ViewController::reloadData()
{
    ++m_reloadCount;
    // One snapshot per reload, so the row count and the rows agree.
    const QList<DeviceSettings> speakers = visibleSpeakers();
    const int count = int(qMax<qsizetype>(speakers.size(), 1));
    while (m_rows.size() > count) {
        PreferencesTableViewItem* row = m_rows.takeLast();
        m_rowsLayout->removeWidget(row);
        row->hide(); // commits a name being edited there while the row still exists
        row->deleteLater();
    }
    for (int index = 0; index < count; ++index) {
        if (index == m_rows.size()) {
            auto* row = new PreferencesTableViewItem(m_settings, m_icons, tableView->widget());
            connect(row, &PreferencesTableViewItem::deviceSettingsChanged, &m_bridge,
                    &BridgeController::deviceSettingsChanged);
            row->setObjectName(QStringLiteral("row%1").arg(index));
            m_rowsLayout->insertWidget(index, row);
            m_rows.append(row);
        }
        fillRow(*m_rows[index], speakers, index);
    }
    updateTabOrder();
}

void ViewController::updateTabOrder()
{
    // Rows are made after the window's controls, so by creation order they
    // would come last; the keyboard follows the screen from top to bottom.
    QList<QWidget*> chain;
    for (PreferencesTableViewItem* row : std::as_const(m_rows))
        chain << row->titleField() << row->checkbox();
    chain << m_outlets.tabOrderAfterRows;
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
    // The list itself takes no focus: its label leads to the first speaker.
    const bool speakers =
        !m_rows.isEmpty() && !m_rows.first()->noSpeakersFound()->isVisibleTo(m_rows.first());
    tableView->setFocusProxy(speakers ? m_rows.first()->checkbox() : nullptr);
    tableView->setFocusPolicy(speakers ? Qt::StrongFocus : Qt::NoFocus);
}

void ViewController::fillRow(PreferencesTableViewItem& row, const QList<DeviceSettings>& speakers,
                             int index)
{
    paintRowBackground(row, index);
    if (index >= speakers.size()) {
        row.showNoSpeakersFound(true);
        return;
    }
    const DeviceSettings& record = speakers[index];
    const QUrl& location = record.info.location;
    row.showNoSpeakersFound(false);
    row.setIconUrl(firstIconUrl(record.info));
    // A reload while the user types a new name for this very speaker keeps
    // the typing; the commit then saves it.
    EditableTextField* title = row.titleField();
    const bool typingHere =
        title->hasFocus() && title->isModified() && row.deviceLocation == location;
    if (!typingHere)
        title->setText(record.name);
    const QString note = airPlayNote(record, m_settings.skipAirPlaySpeakers);
    // The note leads, so eliding a long name never hides it.
    row.setSubtitle(note.isEmpty() ? subtitleFor(record)
                                   : note + QStringLiteral(" · ") + subtitleFor(record));
    row.describeSpeaker(record.name, subtitleFor(record));
    row.checkbox()->setChecked(record.enabled);
    row.deviceLocation = location;
}

void ViewController::paintRowBackground(PreferencesTableViewItem& row, int index)
{
    row.setAutoFillBackground(true);
    row.setBackgroundRole(index % 2 == 0 ? QPalette::Base : QPalette::AlternateBase);
}

void ViewController::updateStartStopButton()
{
    QString title;
    bool enabled = true;
    if (m_bridge.isStoppedByUser()) {
        title = QStringLiteral("&Start");
        m_canStop = false;
    } else if (m_airConnect.isRunning()) {
        title = QStringLiteral("&Stop");
        m_canStop = true;
    } else if (m_discovery.isSearching()) {
        title = QStringLiteral("Searching...");
        enabled = false;
        m_canStop = false;
    } else {
        title = QStringLiteral("&Start");
        m_canStop = false;
    }
    startStopButton->setText(title);
    startStopButton->setEnabled(enabled);
}

void ViewController::updateSpinner()
{
    const bool searching = !m_bridge.isStoppedByUser() && m_discovery.isSearching();
    // A busy bar animates while its range is empty; a range of one stops it.
    spinner->setRange(0, searching ? 0 : 1);
    spinner->setVisible(searching);
}

void ViewController::searchStarted()
{
    reloadData();
    updateSpinner();
    updateStartStopButton();
}

void ViewController::speakerFound()
{
    reloadData();
}

void ViewController::searchEnded()
{
    updateSpinner();
    updateStartStopButton();
}

void ViewController::serviceStateChanged()
{
    updateMissingBridge();
    updateStartStopButton();
    updateSpinner();
}

void ViewController::startAtLoginChecked(QCheckBox* sender)
{
    // The checkbox keeps the user's state whatever the outcome.
    m_launchOnLogin->setStartAtLogin(sender->checkState() == Qt::Checked);
}

void ViewController::followChangesChecked(QCheckBox* sender)
{
    const bool on = sender->checkState() == Qt::Checked;
    m_bridge.setFollowChanges(on); // saved there
    emit followChangesToggled(on);
}

void ViewController::skipAirPlayChecked(QCheckBox* sender)
{
    const bool on = sender->checkState() == Qt::Checked;
    m_bridge.setSkipAirPlaySpeakers(on); // saved there
    reloadData();                        // the rows say whether such speakers are bridged
    emit skipAirPlaySpeakersToggled(on);
}

QString ViewController::airPlayNote(const DeviceSettings& record, bool skipping)
{
    if (!record.airPlayService)
        return QString();
    return skipping ? QStringLiteral("Plays AirPlay itself - not bridged")
                    : QStringLiteral("Plays AirPlay itself");
}

void ViewController::updateMissingBridge()
{
    const bool missing = m_airConnect.isBridgeMissing();
    if (missing)
        m_outlets.missingBridgeLabel->setText(m_airConnect.missingBridgeGuidance());
    m_outlets.missingBridgePanel->setVisible(missing);
}

void ViewController::openBridgeFolderClicked()
{
    const QString folder = m_airConnect.installFolder();
    // A fresh installation may not have the folder yet; without it there is
    // nothing to open.
    if (!QDir().mkpath(folder))
        Logging::warning(QStringLiteral("Cannot create ") + folder, kCategory);
    Logging::info(QStringLiteral("Opening ") + folder, kCategory);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void ViewController::startStopClicked()
{
    if (m_canStop) {
        m_bridge.stopBridge();
    } else {
        m_bridge.turnOn();
    }
    updateStartStopButton();
}

QString ViewController::proposedLogFileName(const QDateTime& localTime)
{
    const int hour = localTime.time().hour() % 12;
    const QString hour12 = QStringLiteral("%1").arg(hour == 0 ? 12 : hour, 2, 10, QLatin1Char('0'));
    return QStringLiteral("corvane-log-") + localTime.toString(QStringLiteral("yyyyMMdd-")) +
           hour12 + localTime.toString(QStringLiteral("mmss")) + QStringLiteral(".txt");
}

void ViewController::saveLogClicked()
{
    if (m_savePanel) {
        m_savePanel->raise();
        m_savePanel->activateWindow();
        return;
    }
    if (m_nextSavePath) {
        const QString path = *std::exchange(m_nextSavePath, std::nullopt);
        if (!path.isEmpty())
            saveLogTo(path);
        return;
    }
    const QString name = proposedLogFileName(QDateTime::currentDateTime());
    auto* panel =
        new QFileDialog(m_window, QStringLiteral("Save Log"), QDir(saveFolder()).filePath(name),
                        QStringLiteral("Text files (*.txt);;All files (*)"));
    panel->setObjectName(QStringLiteral("savePanel"));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->selectFile(name);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    connect(panel, &QFileDialog::finished, this,
            [this, panel](int result) { onSavePanelFinished(panel, result); });
    m_savePanel = panel;
    // Window-modal and asynchronous: the event loop keeps running.
    panel->open();
}

void ViewController::onSavePanelFinished(QFileDialog* panel, int result)
{
    const QStringList chosen = panel->selectedFiles();
    if (result != QDialog::Accepted || chosen.isEmpty() || chosen.first().isEmpty())
        return;
    saveLogTo(chosen.first());
}

void ViewController::saveLogTo(const QString& path)
{
    if (const std::optional<QString> failure = writeLog(path))
        showSaveError(*failure);
}

std::optional<QString> ViewController::writeLog(const QString& path) const
{
    QString reason;
    if (!saveAtomically(path, m_log.dump(Log::maxLines).toUtf8(), false, &reason))
        return reason;
    return std::nullopt;
}

void ViewController::showSaveError(const QString& reason)
{
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Corvane"),
                                  QStringLiteral("Error"), QMessageBox::Ok, m_window);
    alert->setObjectName(QStringLiteral("saveLogAlert"));
    alert->setInformativeText(QStringLiteral("Failed to save log file: ") + reason);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    if (m_alertHook) {
        m_alertHook(*alert);
        alert->deleteLater();
        return;
    }
    m_alert = alert;
    alert->open();
}
