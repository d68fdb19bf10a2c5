#include "preferences/PreferencesWindow.h"

#include "ui_preferences.h"

#include <QAction>
#include <QCloseEvent>
#include <QHideEvent>
#include <QShowEvent>

PreferencesWindow::PreferencesWindow(const ViewController::Services& services, QWidget* parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::PreferencesWindow>())
{
    m_ui->setupUi(this);
    // A tray application keeps running with no window open.
    setAttribute(Qt::WA_QuitOnClose, false);
    ViewController::Outlets outlets;
    outlets.spinner = m_ui->spinner;
    outlets.tableView = m_ui->tableView;
    outlets.checkbox = m_ui->startAtLoginCheckbox;
    outlets.startStopButton = m_ui->startStopButton;
    outlets.saveLogButton = m_ui->saveLogButton;
    outlets.followChangesCheckbox = m_ui->followChangesCheckbox;
    outlets.skipAirPlayCheckbox = m_ui->skipAirPlayCheckbox;
    outlets.missingBridgePanel = m_ui->missingBridgePanel;
    outlets.missingBridgeLabel = m_ui->missingBridgeLabel;
    outlets.openBridgeFolderButton = m_ui->openBridgeFolderButton;
    outlets.tabOrderAfterRows = {m_ui->openBridgeFolderButton,
                                 m_ui->startAtLoginCheckbox,
                                 m_ui->followChangesCheckbox,
                                 m_ui->skipAirPlayCheckbox,
                                 m_ui->startStopButton,
                                 m_ui->saveLogButton,
                                 m_ui->aboutButton,
                                 m_ui->feedbackButton,
                                 m_ui->quitButton};
    m_controller = new ViewController(outlets, services, this);

    connect(m_ui->aboutButton, &QPushButton::clicked, this, &PreferencesWindow::aboutRequested);
    connect(m_ui->feedbackButton, &QPushButton::clicked, this,
            &PreferencesWindow::feedbackRequested);
    connect(m_ui->quitButton, &QPushButton::clicked, this, &PreferencesWindow::quitRequested);
    auto* quit = new QAction(this);
    quit->setObjectName(QStringLiteral("quitAction"));
    // Not every platform theme binds the standard keys; Ctrl+Q and Ctrl+W everywhere.
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &PreferencesWindow::quitRequested);
    auto* close = new QAction(this);
    close->setObjectName(QStringLiteral("closeAction"));
    close->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(Qt::Key_Escape)});
    connect(close, &QAction::triggered, this, &QWidget::close);
    addActions({quit, close});

    updateApplicationControls();
    // Opening the window must not drop the user into a speaker's name.
    m_ui->startStopButton->setFocus();
}

PreferencesWindow::~PreferencesWindow() = default;

void PreferencesWindow::setCarriesStatus(bool carries)
{
    m_carriesStatus = carries;
    updateApplicationControls();
}

void PreferencesWindow::setFeedbackAvailable(bool available)
{
    m_feedbackAvailable = available;
    updateApplicationControls();
}

void PreferencesWindow::updateApplicationControls()
{
    // A status line the tray has taken over would only go stale here.
    m_ui->statusLabel->setVisible(m_carriesStatus);
    m_ui->aboutButton->setVisible(m_carriesStatus);
    m_ui->feedbackButton->setVisible(m_carriesStatus && m_feedbackAvailable);
    m_ui->quitButton->setVisible(m_carriesStatus);
}

void PreferencesWindow::setStatusText(const QString& text)
{
    m_ui->statusLabel->setText(text);
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

void PreferencesWindow::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted())
        emit closed();
}
