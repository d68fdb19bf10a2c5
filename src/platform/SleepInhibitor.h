#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// Holds one inhibitor of automatic suspend on idle, leaving suspend the user
// asks for alone. It comes from the first of these services that has an owner
// on the bus: the GNOME session manager (flag 4, suspend), freedesktop
// PowerManagement, the desktop portal (flag 4), logind ("idle", "block") on the
// system bus. Every call is asynchronous, and a service's ownership is checked
// before it is called, since a call to an absent name can block for 25 s.
// An inhibitor lapses with the service that granted it: when that service
// quits or restarts, a new one is taken, from whichever service is there then
// or from the next one to appear.
class SleepInhibitor : public QObject {
    Q_OBJECT
public:
    enum class Service { None, GnomeSessionManager, PowerManagement, Portal, Logind };

    // Uses the user's session bus and the system bus, connected on first use.
    explicit SleepInhibitor(QObject* parent = nullptr);
    // Tests pass connections to a private bus.
    SleepInhibitor(const QDBusConnection& sessionBus, const QDBusConnection& systemBus,
                   QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // Starts taking the inhibitor; finished() reports the outcome once, always
    // from the event loop. Ignored while a request is pending or one is held.
    virtual void inhibit(const QString& reason);
    // Releases the held inhibitor through the service that granted it. While a
    // request is pending, the request is abandoned: a late grant is given back
    // at once and finished() is not emitted.
    virtual void release();

    bool isPending() const { return m_pending; }
    bool isHeld() const { return m_service != Service::None; }
    // The service that granted the held inhibitor.
    Service service() const { return m_service; }
    // The granting service's cookie (GNOME, PowerManagement) or the kept
    // descriptor (logind); 0 for the portal, whose request path stands for it.
    quint32 cookie() const { return m_cookie; }

    static QString serviceName(Service service);
    // Bounds each Inhibit call; a hung service then hands over to the next.
    void setCallTimeout(int msecs) { m_timeout = msecs; }

Q_SIGNALS:
    void finished(bool granted);
    // The held inhibitor lapsed with its service and a new one was sought;
    // granted tells whether one is held again.
    void renewed(bool granted);

private:
    QDBusConnection busFor(Service service);
    void tryService(int index);
    void callInhibit(int index);
    void onInhibitReply(int index, quint64 generation, QDBusPendingCallWatcher* watcher);
    void giveBack(Service service, quint32 cookie, const QString& requestPath);
    void fail();
    void watchServices();
    void onOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void renew();

    std::optional<QDBusConnection> m_sessionBus;
    std::optional<QDBusConnection> m_systemBus;
    QString m_reason;
    int m_timeout = 10000;
    quint64 m_generation = 0;
    bool m_pending = false;
    Service m_service = Service::None;
    quint32 m_cookie = 0;
    QString m_requestPath;
    QDBusUnixFileDescriptor m_descriptor;
    QString m_grantor;       // the unique bus name of the service that granted it
    bool m_renewing = false; // the pending request replaces a lapsed inhibitor
    bool m_lapsed = false;   // lapsed, and no service had a new one: wait for one to appear
    bool m_appeared = false; // a service appeared while a renewal was under way
    QList<QDBusServiceWatcher*> m_watchers; // while an inhibitor has been granted
};
