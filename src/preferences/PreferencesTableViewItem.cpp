#include "preferences/PreferencesTableViewItem.h"

#include "bridge/BridgeText.h"
#include "log/Logging.h"
#include "preferences/EditableTextField.h"
#include "preferences/IconLoader.h"
#include "settings/Settings.h"
#include "ui_PreferencesTableViewItem.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QTextDocument>

namespace {

constexpr int kIconSize = 32;

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

PreferencesTableViewItem::PreferencesTableViewItem(Settings& settings, IconLoader* icons,
                                                   QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::PreferencesTableViewItem>()), m_settings(settings),
      m_icons(icons)
{
    m_ui->setupUi(this);
    m_noSpeakersFound = m_ui->noSpeakersFound;
    m_icon = m_ui->icon;
    m_titleField = m_ui->titleField;
    m_subtitleLabel = m_ui->subtitleLabel;
    m_checkbox = m_ui->checkbox;
    // Longer names the bridge would cut inside a character.
    m_titleField->setMaxUtf8Bytes(BridgeText::kMaxNameBytes);

    QFont small = m_subtitleLabel->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    m_subtitleLabel->setFont(small);
    m_subtitleLabel->setForegroundRole(QPalette::PlaceholderText);
    m_subtitleLabel->installEventFilter(this);

    // The field commits on Return and when it loses focus after a change.
    connect(m_titleField, &QLineEdit::editingFinished, this, [this] { titleEdited(m_titleField); });
    connect(m_checkbox, &QCheckBox::clicked, this, [this] { checkboxClicked(m_checkbox); });
    if (m_icons)
        connect(m_icons, &IconLoader::loaded, this, &PreferencesTableViewItem::onIconLoaded);
}

PreferencesTableViewItem::~PreferencesTableViewItem()
{
    // The widgets outlive this part of the row; nothing they emit may reach it.
    disconnect(m_titleField, nullptr, this, nullptr);
    disconnect(m_checkbox, nullptr, this, nullptr);
}

void PreferencesTableViewItem::showNoSpeakersFound(bool flag)
{
    m_noSpeakersFound->setVisible(flag);
    m_icon->setVisible(!flag);
    m_titleField->setVisible(!flag);
    m_subtitleLabel->setVisible(!flag);
    m_checkbox->setVisible(!flag);
}

void PreferencesTableViewItem::describeSpeaker(const QString& name, const QString& details)
{
    m_checkbox->setAccessibleName(QStringLiteral("Bridge ") + name);
    m_checkbox->setAccessibleDescription(QStringLiteral("Offer ") + name + QStringLiteral(" (") +
                                         details + QStringLiteral(") as an AirPlay receiver"));
    m_titleField->setAccessibleName(QStringLiteral("AirPlay name for ") + name);
    m_titleField->setAccessibleDescription(QStringLiteral("The name AirPlay shows for ") + details);
}

void PreferencesTableViewItem::titleEdited(EditableTextField* sender)
{
    if (!deviceLocation)
        return;
    std::optional<DeviceSettings> record = m_settings.device(*deviceLocation);
    if (!record)
        return;
    const QString newName = sender->text();
    // A precomposed letter and its decomposed form are the same name.
    if (newName.normalized(QString::NormalizationForm_C) ==
        record->name.normalized(QString::NormalizationForm_C))
        return;
    Logging::info(QStringLiteral("Changing name for speaker at ") + deviceLocation->toString() +
                  QStringLiteral(" from ") + quoted(record->name) + QStringLiteral(" to ") +
                  quoted(newName));
    record->name = newName;
    record->nameChanged = true;
    m_settings.setDevice(*deviceLocation, *record);
    m_settings.save();
    emit deviceSettingsChanged();
}

void PreferencesTableViewItem::checkboxClicked(QCheckBox* sender)
{
    if (!deviceLocation)
        return;
    std::optional<DeviceSettings> record = m_settings.device(*deviceLocation);
    if (!record)
        return;
    const bool enabled = sender->checkState() == Qt::Checked;
    Logging::info((enabled ? QStringLiteral("Enabling") : QStringLiteral("Disabling")) +
                  QStringLiteral(" speaker at ") + deviceLocation->toString());
    record->enabled = enabled;
    m_settings.setDevice(*deviceLocation, *record);
    m_settings.save();
    emit deviceSettingsChanged();
}

void PreferencesTableViewItem::setIconUrl(const std::optional<QUrl>& url)
{
    m_iconUrl = url;
    std::optional<QImage> image;
    if (url && m_icons)
        image = m_icons->image(*url);
    // Nothing shows while the image loads or when it cannot be had.
    showIcon(image.value_or(QImage()));
}

void PreferencesTableViewItem::onIconLoaded(const QUrl& url)
{
    if (!m_iconUrl || *m_iconUrl != url || !m_icons)
        return;
    showIcon(m_icons->image(url).value_or(QImage()));
}

void PreferencesTableViewItem::showIcon(const QImage& image)
{
    if (image.isNull()) {
        m_icon->clear();
        return;
    }
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap =
        QPixmap::fromImage(IconLoader::fitted(image, QSize(kIconSize, kIconSize) * ratio));
    pixmap.setDevicePixelRatio(ratio);
    m_icon->setPixmap(pixmap);
}

void PreferencesTableViewItem::setSubtitle(const QString& text)
{
    m_subtitle = text;
    elideSubtitle();
}

void PreferencesTableViewItem::elideSubtitle()
{
    const int width = m_subtitleLabel->contentsRect().width();
    // Before the first layout the label has no width to elide to yet.
    const QString shown =
        width > 0 ? m_subtitleLabel->fontMetrics().elidedText(m_subtitle, Qt::ElideRight, width)
                  : m_subtitle;
    m_subtitleLabel->setText(shown);
    // The tooltip is rich text, so the untrusted name goes in escaped.
    m_subtitleLabel->setToolTip(shown == m_subtitle ? QString()
                                                    : Qt::convertFromPlainText(m_subtitle));
}

bool PreferencesTableViewItem::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_subtitleLabel && event->type() == QEvent::Resize)
        elideSubtitle();
    return QWidget::eventFilter(watched, event);
}
