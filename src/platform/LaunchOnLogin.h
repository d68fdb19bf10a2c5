#pragma once

#include <QString>

// Start at login. The login service is XDG autostart: the login helper is
// registered by the entry org.corvane.CorvaneHelper.desktop in the user's
// autostart folder, and the folder is read anew on every get, so a change
// made outside Corvane shows the next time the preferences window opens.
// The preferences window uses this as it is; its tests can override both
// operations.
class LaunchOnLogin {
public:
    // $XDG_CONFIG_HOME/autostart, by default ~/.config/autostart.
    static QString defaultAutostartDir();
    // The helper installed beside this program (libexec/corvane/corvane-helper).
    static QString defaultHelperPath();

    explicit LaunchOnLogin(QString autostartDir = defaultAutostartDir(),
                           QString helperPath = defaultHelperPath());
    virtual ~LaunchOnLogin();

    // True when the entry is there under exactly its name, is a desktop entry,
    // and is neither Hidden nor switched off with X-GNOME-Autostart-enabled.
    virtual bool startAtLogin() const;

    // Writes (on) or removes (off) the entry and logs the outcome; never
    // throws, never retries.
    virtual void setStartAtLogin(bool on);

    QString entryPath() const;
    QString helperPath() const { return m_helperPath; }

private:
    bool writeEntry(QString* error) const;
    bool removeEntry(QString* error) const;

    QString m_autostartDir;
    QString m_helperPath;
};
