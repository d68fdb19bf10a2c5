#pragma once

#include <QString>

#include <optional>

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
    // is neither Hidden nor switched off with X-GNOME-Autostart-enabled, and
    // runs this installation's helper.
    virtual bool startAtLogin() const;

    // At start: an entry that is switched on but runs another helper (an
    // earlier build, another install path) is rewritten to run ours, and
    // that is logged. Answers whether start at login now holds.
    bool repairEntry();

    // Writes (on) or removes (off) the entry and logs the outcome; never
    // throws, never retries.
    virtual void setStartAtLogin(bool on);

    QString entryPath() const;
    QString helperPath() const { return m_helperPath; }

private:
    // The helper a switched-on entry runs; nullopt when there is no such entry.
    std::optional<QString> enabledEntryHelper() const;
    bool writeEntry(QString* error) const;
    bool removeEntry(QString* error) const;

    QString m_autostartDir;
    QString m_helperPath;
};
