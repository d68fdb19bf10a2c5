#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusMessage;

// Corvane's use of the D-Bus session bus. Owning a well-known name equal to a
// program's identifier is how we tell that the program runs, and the
// KillLauncher signal carries the "killLauncher" notification from Corvane to
// its login helper.
//
// Every call to the bus daemon is bounded by callTimeoutMs: the daemon answers
// at once, so a longer wait only means a wedged bus, and start-up must not
// hang on it (libdbus would wait 25 s).
class SessionBus : public QObject {
    Q_OBJECT
public:
    // The KillLauncher signal: broadcast on this path and interface, with one
    // string argument, the identifier of the program that sends it (the
    // notification's object). Receivers trust it only when its sender owns
    // org.corvane.Corvane, since any client of the bus can emit a signal.
    static constexpr char killLauncherPath[] = "/org/corvane/Corvane";
    static constexpr char killLauncherInterface[] = "org.corvane.Corvane.Launcher";
    static constexpr char killLauncherMember[] = "KillLauncher";
    static constexpr int callTimeoutMs = 1000;

    enum class NameRequest {
        Owned, // the name is ours now (or was already)
        Taken, // another connection owns it: that program runs
        Failed // no bus, or the daemon did not answer
    };

    // The session bus, or a disconnected handle when there plainly is none:
    // without DBUS_SESSION_BUS_ADDRESS and without $XDG_RUNTIME_DIR/bus,
    // libdbus would autolaunch a stray bus daemon when DISPLAY is set.
    static QDBusConnection defaultConnection();

    explicit SessionBus(const QDBusConnection& connection = defaultConnection(),
                        QObject* parent = nullptr);

    QDBusConnection connection() const { return m_connection; }
    bool isConnected() const;

    // Claims a well-known name for this connection, without queueing for it
    // and without taking it over; the bus releases it when we exit.
    NameRequest registerName(const QString& name) const;

    // True only when the bus answers that the name has an owner.
    bool nameHasOwner(const QString& name) const;

    // The unique name of the name's owner; empty when unowned or unknown.
    QString nameOwner(const QString& name) const;

    // Broadcasts KillLauncher with object as its argument.
    bool emitKillLauncher(const QString& object) const;

    // Starts listening for KillLauncher. A signal whose argument equals object
    // and whose sender owns trustedName emits killLauncher(); any other emits
    // killLauncherIgnored(). Returns false when there is no bus to listen on;
    // otherwise the bus has the match rule when it returns.
    bool subscribeKillLauncher(const QString& object, const QString& trustedName);
    void unsubscribeKillLauncher();
    bool isSubscribed() const { return m_subscribed; }

Q_SIGNALS:
    void killLauncher();
    void killLauncherIgnored();

private Q_SLOTS:
    // Takes the bare message so that signals of any signature reach us and
    // can be rejected here rather than silently by QtDBus.
    void onKillLauncher(const QDBusMessage& message);

private:
    QDBusMessage callDaemon(const QString& method, const QVariantList& arguments) const;

    QDBusConnection m_connection;
    QString m_expectedObject;
    QString m_trustedName;
    bool m_subscribed = false;
};
