#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>

class QDBusPendingCallWatcher;

// Shows desktop notifications through org.freedesktop.Notifications on the
// session bus, as "Corvane" with the application's icon. Never waits: the
// service's presence is asked first, asynchronously, because a call to an
// absent service can block for 25 s; without a bus or a service it logs and
// gives up.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Unset: the user's session bus, if there plainly is one.
        std::optional<QDBusConnection> bus;
        // Bounds each call, so a wedged server cannot hold a notification.
        int callTimeoutMs = 5000;
    };

    explicit DesktopNotifier(QObject* parent = nullptr);
    explicit DesktopNotifier(Options options, QObject* parent = nullptr);

    // Returns at once; both texts are shown as plain text. finished() tells
    // the outcome later, from the event loop.
    void notify(const QString& summary, const QString& body);

    // Servers may read the body as markup: escapes &, < and >.
    static QString plainBody(const QString& text);

Q_SIGNALS:
    void finished(bool shown);

private:
    void onHasOwnerReply(QDBusPendingCallWatcher* watcher, const QString& summary,
                         const QString& body);
    void onNotifyReply(QDBusPendingCallWatcher* watcher);
    void giveUp(const QString& why);

    Options m_options;
};
