#pragma once

#include "preferences/ViewController.h"

#include <QWidget>

#include <memory>

namespace Ui {
class PreferencesWindow;
}

// The preferences window: the speaker list and its controls from
// preferences.ui, run by a ViewController, plus a status line that stays
// hidden until the application has something to say there. Closing the
// window only hides it.
class PreferencesWindow : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesWindow(const ViewController::Services& services, QWidget* parent = nullptr);
    ~PreferencesWindow() override;

    ViewController& controller() const { return *m_controller; }

    // Shows the status line with text (where there is no tray to show it).
    void setStatusText(const QString& text);

    // Shows the window, brings it to the front and gives it the focus.
    void showAndActivate();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    std::unique_ptr<Ui::PreferencesWindow> m_ui;
    ViewController* m_controller = nullptr;
};
