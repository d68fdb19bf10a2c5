#pragma once

#include <QDBusConnection>
#include <QObject>

#include <optional>

class QDBusMessage;

// Reports the computer going to sleep and waking up, from logind's
// org.freedesktop.login1.Manager.PrepareForSleep(b) on the system bus.
// Nothing touches the bus before start().
class ResumeWatcher : public QObject {
    Q_OBJECT
public:
    struct Options {
        // The bus logind is on; unset means the system bus (whose address
        // comes from DBUS_SYSTEM_BUS_ADDRESS when set), connected at start().
        std::optional<QDBusConnection> bus;
    };

    explicit ResumeWatcher(QObject* parent = nullptr);
    explicit ResumeWatcher(Options options, QObject* parent = nullptr);
    ~ResumeWatcher() override;

    // Subscribes to the signal; true when listening. Without a bus it logs
    // once at info level and returns false. Starting twice does nothing.
    bool start();
    void stop();
    bool isActive() const { return m_active; }

Q_SIGNALS:
    void suspending();
    void resumed();

private Q_SLOTS:
    // Takes the bare message so that a signal of any signature reaches us and
    // is judged here.
    void onPrepareForSleep(const QDBusMessage& message);

private:
    std::optional<QDBusConnection> m_bus;
    bool m_active = false;
    bool m_reportedNoBus = false;
};
