#pragma once

#include <QMenu>

class QAction;

// The tray menu's fixed items, the stand-in for the main interface definition:
// 0 status line, 1 on/off, 2 Preferences…, 3 separator, the speaker block from
// position 4, then About, Send Feedback… and Quit.
class StatusMenu : public QMenu {
    Q_OBJECT
public:
    static constexpr int firstDevicePosition = 4;

    explicit StatusMenu(QWidget* parent = nullptr);

    QAction* statusItem() const { return m_status; }
    QAction* onOffItem() const { return m_onOff; }
    QAction* preferencesItem() const { return m_preferences; }
    QAction* aboutItem() const { return m_about; }
    QAction* feedbackItem() const { return m_feedback; }
    QAction* quitItem() const { return m_quit; }

    // Inserts at a position counted over every item, separators included.
    void insertItem(int position, QAction* action);

private:
    QAction* m_status;
    QAction* m_onOff;
    QAction* m_preferences;
    QAction* m_about;
    QAction* m_feedback;
    QAction* m_quit;
};
