#pragma once

#include <QImage>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <optional>

class EditableTextField;
class IconLoader;
class QCheckBox;
class QLabel;
class Settings;

namespace Ui {
class PreferencesTableViewItem;
}

// One row of the speaker list: icon, editable name, secondary text and the
// enable checkbox, or, in no-speakers mode, only a label saying so. Renaming
// and enabling go straight into the speaker's record in the settings store,
// which is saved, and are announced with deviceSettingsChanged.
class PreferencesTableViewItem : public QWidget {
    Q_OBJECT
public:
    // settings must outlive the row; icons (not owned) may be null.
    explicit PreferencesTableViewItem(Settings& settings, IconLoader* icons = nullptr,
                                      QWidget* parent = nullptr);
    ~PreferencesTableViewItem() override;

    // The widgets of the row prototype.
    QLabel* noSpeakersFound() const { return m_noSpeakersFound; }
    QLabel* icon() const { return m_icon; }
    EditableTextField* titleField() const { return m_titleField; }
    QLabel* subtitleLabel() const { return m_subtitleLabel; }
    QCheckBox* checkbox() const { return m_checkbox; }

    // The key of the speaker shown; kept when the row turns to no-speakers mode.
    std::optional<QUrl> deviceLocation;

    void showNoSpeakersFound(bool flag);

    // The icon at url, fetched when first needed; absent or failing: none.
    void setIconUrl(const std::optional<QUrl>& url);
    // The secondary text, elided to the label's width.
    void setSubtitle(const QString& text);
    QString subtitle() const { return m_subtitle; }
    // Names the controls after the speaker, so a screen reader tells the
    // rows apart: name as the user calls it, details as the speaker does.
    void describeSpeaker(const QString& name, const QString& details);

    // The actions of the name field and the checkbox; public so the list and
    // tests can drive them like the widgets do.
    void titleEdited(EditableTextField* sender);
    void checkboxClicked(QCheckBox* sender);

Q_SIGNALS:
    // The user renamed, enabled or disabled the speaker; its record is saved.
    void deviceSettingsChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onIconLoaded(const QUrl& url);
    void showIcon(const QImage& image);
    void elideSubtitle();

    std::unique_ptr<Ui::PreferencesTableViewItem> m_ui;
    Settings& m_settings;
    QPointer<IconLoader> m_icons;
    QLabel* m_noSpeakersFound = nullptr;
    QLabel* m_icon = nullptr;
    EditableTextField* m_titleField = nullptr;
    QLabel* m_subtitleLabel = nullptr;
    QCheckBox* m_checkbox = nullptr;
    std::optional<QUrl> m_iconUrl;
    QString m_subtitle;
};
