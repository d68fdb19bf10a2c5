#include "preferences/PreferencesWindow.h"

#include "ui_preferences.h"

#include <QHideEvent>
#include <QShowEvent>

PreferencesWindow::PreferencesWindow(const ViewController::Services& services, QWidget* parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::PreferencesWindow>())
{
    m_ui->setupUi(this);
    // A tray application keeps running with no window open.
    setAttribute(Qt::WA_QuitOnClose, false);
    m_ui->statusLabel->setVisible(false);
    ViewController::Outlets outlets;
    outlets.spinner = m_ui->spinner;
    outlets.tableView = m_ui->tableView;
    outlets.checkbox = m_ui->startAtLoginCheckbox;
    outlets.startStopButton = m_ui->startStopButton;
    outlets.saveLogButton = m_ui->saveLogButton;
    m_controller = new ViewController(outlets, services, this);
    // Opening the window must not drop the user into a speaker's name.
    m_ui->startStopButton->setFocus();
}

PreferencesWindow::~PreferencesWindow() = default;

void PreferencesWindow::setStatusText(const QString& text)
{
    m_ui->statusLabel->setText(text);
    m_ui->statusLabel->setVisible(true);
}

void PreferencesWindow::showAndActivate()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

// Only show() and hide() (closing included) count: the window system's own
// events, such as minimising or switching desktops, leave the window open.
void PreferencesWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        m_controller->viewWillAppear();
}

void PreferencesWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        m_controller->viewDidDisappear();
}
