#pragma once

#include "model/DeviceSettings.h"

#include <QFileDialog>
#include <QList>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class AirConnect;
class BridgeController;
class DeviceDiscovery;
class IconLoader;
class LaunchOnLogin;
class Log;
class PreferencesTableViewItem;
class QCheckBox;
class QDateTime;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class QWidget;
class Settings;

// The controller of the preferences window: lists the zone coordinators seen
// in this run, drives the spinner and the start/stop button from the state of
// discovery and of the bridge, switches start at login and saves the log.
// It holds no speaker data: every reload reads the settings store afresh.
class ViewController : public QObject {
    Q_OBJECT
public:
    // The window's widgets the controller works with; the window owns them.
    struct Outlets {
        QProgressBar* spinner = nullptr;
        QScrollArea* tableView = nullptr;
        QCheckBox* checkbox = nullptr;
        QPushButton* startStopButton = nullptr;
        QPushButton* saveLogButton = nullptr;
        QCheckBox* followChangesCheckbox = nullptr;
        QCheckBox* skipAirPlayCheckbox = nullptr;
        // Shown while the bridge executable is missing, with what to do.
        QWidget* missingBridgePanel = nullptr;
        QLabel* missingBridgeLabel = nullptr;
        QPushButton* openBridgeFolderButton = nullptr;
        // The window's controls after the list, in tab order; the rows go first.
        QList<QWidget*> tabOrderAfterRows;
    };

    // What the controller talks to. bridge is required and gives the
    // settings, discovery and the bridge; a null log is the process-wide one,
    // a null login item or icon loader one of the controller's own.
    struct Services {
        BridgeController* bridge = nullptr;
        LaunchOnLogin* launchOnLogin = nullptr;
        Log* log = nullptr;
        IconLoader* icons = nullptr;
    };

    // window parents the save panel and the alert.
    ViewController(const Outlets& outlets, const Services& services, QWidget* window);
    ~ViewController() override;

    // The window's appearance and disappearance.
    void viewWillAppear();
    void viewDidDisappear();

    // Active zone coordinators, in table order; derived afresh on every call.
    QList<DeviceSettings> visibleSpeakers() const;
    // At least one: an empty list shows one row in no-speakers mode.
    int numberOfRowsInTableView() const;
    // Fills the row at index afresh from the store and answers it.
    PreferencesTableViewItem* viewForRow(int row);
    void reloadData();
    const QList<PreferencesTableViewItem*>& rows() const { return m_rows; }

    void updateStartStopButton();
    void updateSpinner();
    void searchStarted();
    void speakerFound();
    void searchEnded();
    void serviceStateChanged();

    // Actions of the window's controls.
    void startAtLoginChecked(QCheckBox* sender);
    void followChangesChecked(QCheckBox* sender);
    void skipAirPlayChecked(QCheckBox* sender);
    void openBridgeFolderClicked();
    void startStopClicked();
    void saveLogClicked();

    bool canStop() const { return m_canStop; }
    qsizetype listenerCount() const { return listeners.size(); }
    int reloadCount() const { return m_reloadCount; }

    // "corvane-log-yyyyMMdd-hhmmss.txt" with the hour on the 12-hour clock
    // (01 to 12) and no AM/PM marker.
    static QString proposedLogFileName(const QDateTime& localTime);

    // What a speaker's row and menu item say about its own AirPlay service;
    // empty when it has none.
    static QString airPlayNote(const DeviceSettings& record, bool skipping);

    // Writes the last 1000 log lines to path atomically; answers the reason
    // when that failed.
    std::optional<QString> writeLog(const QString& path) const;

    // Test seams. The next save-log click takes this path (empty: cancelled)
    // instead of opening the panel.
    void setNextSavePath(const std::optional<QString>& path) { m_nextSavePath = path; }
    // Alerts go to the hook instead of opening.
    void setAlertHook(std::function<void(QMessageBox&)> hook) { m_alertHook = std::move(hook); }
    QFileDialog* savePanel() const { return m_savePanel; }

Q_SIGNALS:
    // The user switched an option; the setting is already saved.
    void followChangesToggled(bool on);
    void skipAirPlaySpeakersToggled(bool on);

private:
    void registerListeners();
    void removeListeners();
    void fillRow(PreferencesTableViewItem& row, const QList<DeviceSettings>& speakers, int index);
    void paintRowBackground(PreferencesTableViewItem& row, int index);
    void updateTabOrder();
    void updateMissingBridge();
    void onSavePanelFinished(QFileDialog* panel, int result);
    void saveLogTo(const QString& path);
    void showSaveError(const QString& reason);

    QPointer<QProgressBar> spinner;
    QPointer<QScrollArea> tableView;
    QPointer<QCheckBox> checkbox;
    QPointer<QPushButton> startStopButton;
    QList<QMetaObject::Connection> listeners;
    bool m_canStop = false;

    QPointer<QPushButton> m_saveLogButton;
    Outlets m_outlets;
    QPointer<QWidget> m_window;
    QVBoxLayout* m_rowsLayout = nullptr;
    QList<PreferencesTableViewItem*> m_rows;
    int m_reloadCount = 0;

    BridgeController& m_bridge;
    Settings& m_settings;
    DeviceDiscovery& m_discovery;
    AirConnect& m_airConnect;
    Log& m_log;
    std::unique_ptr<LaunchOnLogin> m_ownLaunchOnLogin;
    LaunchOnLogin* m_launchOnLogin = nullptr;
    IconLoader* m_icons = nullptr;

    QPointer<QFileDialog> m_savePanel;
    QPointer<QMessageBox> m_alert;
    std::optional<QString> m_nextSavePath;
    std::function<void(QMessageBox&)> m_alertHook;
};
