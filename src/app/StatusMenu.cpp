#include "app/StatusMenu.h"

#include <QAction>

StatusMenu::StatusMenu(QWidget* parent) : QMenu(parent)
{
    setObjectName(QStringLiteral("statusMenu"));
    m_status = addAction(QStringLiteral("Corvane"));
    m_status->setObjectName(QStringLiteral("firstMenuItem"));
    m_status->setEnabled(false);
    m_onOff = addAction(QStringLiteral("Turn Corvane Off"));
    m_onOff->setObjectName(QStringLiteral("onOffMenuItem"));
    m_preferences = addAction(QStringLiteral("Preferences…"));
    m_preferences->setObjectName(QStringLiteral("preferencesMenuItem"));
    addSeparator();
    addSeparator(); // closes the speaker block, which grows between the two
    m_about = addAction(QStringLiteral("About Corvane"));
    m_about->setObjectName(QStringLiteral("aboutMenuItem"));
    m_feedback = addAction(QStringLiteral("Send Feedback…"));
    m_feedback->setObjectName(QStringLiteral("feedbackMenuItem"));
    m_quit = addAction(QStringLiteral("Quit Corvane"));
    m_quit->setObjectName(QStringLiteral("quitMenuItem"));
}

void StatusMenu::insertItem(int position, QAction* action)
{
    const QList<QAction*> items = actions();
    if (position >= 0 && position < items.size())
        insertAction(items.at(position), action);
    else
        addAction(action);
}
