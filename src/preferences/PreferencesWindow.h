#pragma once

#include "preferences/ViewController.h"

#include <QWidget>

#include <memory>

namespace Ui {
class PreferencesWindow;
}

// The preferences window: the speaker list and its controls from
// preferences.ui, run by a ViewController. Where there is no tray it is the
// whole application: it carries the status line and About, Send Feedback
// and Quit, which it hands on as requests. Closing the window only hides it.
class PreferencesWindow : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesWindow(const ViewController::Services& services, QWidget* parent = nullptr);
    ~PreferencesWindow() override;

    ViewController& controller() const { return *m_controller; }

    // With no tray, the window shows the status line and the application's
    // own buttons; with one, the tray menu has them.
    void setCarriesStatus(bool carries);
    bool carriesStatus() const { return m_carriesStatus; }
    // Send Feedback shows only where feedback is configured.
    void setFeedbackAvailable(bool available);
    void setStatusText(const QString& text);

    // Shows the window, brings it to the front and gives it the focus.
    void showAndActivate();

Q_SIGNALS:
    void aboutRequested();
    void feedbackRequested();
    void quitRequested();
    // The user closed the window (it is hidden, not destroyed).
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void updateApplicationControls();

    std::unique_ptr<Ui::PreferencesWindow> m_ui;
    ViewController* m_controller = nullptr;
    bool m_carriesStatus = false;
    bool m_feedbackAvailable = false;
};
