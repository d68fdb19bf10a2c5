#pragma once

#include <QDBusConnection>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <optional>
#include <tuple>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// The AirPlay receivers of the local network (_airplay._tcp and _raop._tcp
// over IPv4), as Avahi's D-Bus API reports them, by host address. A speaker
// plays AirPlay itself when serviceAt() knows the host of its description.
//
// Services at this computer's own addresses never count: the bridge publishes
// AirPlay services for every speaker it bridges from here. Without Avahi
// nothing is found; browsing starts afresh whenever Avahi (re)appears on the
// bus. Every call is asynchronous, and Avahi is only called once it owns its
// name, since a call to an absent name can block for 25 s. What comes from
// the network (names, host names, TXT records, the number of services) is
// bounded before it is kept.
class AirPlayReceivers : public QObject {
    Q_OBJECT
public:
    struct Options {
        // The bus Avahi lives on; the system bus when unset.
        std::optional<QDBusConnection> bus;
        // Addresses of this computer besides QNetworkInterface::allAddresses().
        QList<QHostAddress> ownAddresses;
        int callTimeoutMs = 10000;
        // Services tracked at once (found, resolving or resolved); more are ignored.
        int maxServices = 256;
        // ResolveService calls in flight at once; the rest wait their turn.
        int maxResolving = 8;
    };

    struct Receiver {
        QString name; // the service's instance name, bounded, control characters replaced
        QString type; // _airplay._tcp or _raop._tcp
        QString host; // bounded, control characters replaced
        QHostAddress address;
        quint16 port = 0;
        QMap<QString, QString> txt; // keys in lower case; bounded
    };

    static constexpr char serviceName[] = "org.freedesktop.Avahi";

    explicit AirPlayReceivers(QObject* parent = nullptr);
    explicit AirPlayReceivers(Options options, QObject* parent = nullptr);
    ~AirPlayReceivers() override;

    // Watches the bus for Avahi and browses while it is there. Called once.
    void start();

    bool isBrowsing() const { return !m_owner.isEmpty(); }
    // The receiver's name at this address: the AirPlay service's name, else
    // the name a RAOP service carries after its "<id>@".
    std::optional<QString> serviceAt(const QHostAddress& address) const;
    // Every resolved service at this address.
    QList<Receiver> servicesAt(const QHostAddress& address) const;
    QList<QHostAddress> addresses() const;
    // Services tracked, resolved or not.
    int trackedServiceCount() const { return int(m_services.size()); }

Q_SIGNALS:
    // A receiver appeared at this address, or its name there changed.
    void receiverFound(const QHostAddress& address, const QString& name);
    // The last service at this address went (or Avahi did).
    void receiverRemoved(const QHostAddress& address);
    // Browsing started with an Avahi daemon (true), or Avahi is absent or left (false).
    void availabilityChanged(bool available);

private Q_SLOTS:
    // QtDBus offers only the string-based connect for bus signals.
    void onBrowserSignal(const QDBusMessage& message);

private:
    struct ServiceKey {
        int interface = 0;
        int protocol = 0;
        QString name;
        QString type;
        QString domain;
        friend bool operator==(const ServiceKey&, const ServiceKey&) = default;
        friend bool operator<(const ServiceKey& a, const ServiceKey& b)
        {
            return std::tie(a.interface, a.protocol, a.name, a.type, a.domain) <
                   std::tie(b.interface, b.protocol, b.name, b.type, b.domain);
        }
    };
    enum class State { Queued, Resolving, Resolved, Failed };
    struct Service {
        quint64 serial = 0;
        State state = State::Queued;
        Receiver receiver;
    };
    using Services = std::map<ServiceKey, Service>;

    void onOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void queryOwner();
    void unavailable();
    void beginBrowsing(const QString& owner);
    void endBrowsing();
    void subscribe(bool on);
    void createBrowser(const QString& type);
    // The service an ItemNew or ItemRemove names, when it is one we browse for.
    static std::optional<ServiceKey> keyOf(const QDBusMessage& message);
    void onItemNew(const QDBusMessage& message);
    void onItemRemove(const QDBusMessage& message);
    void resolveNext();
    void onResolved(const ServiceKey& key, quint64 serial, QDBusPendingCallWatcher* watcher);
    bool isOwnAddress(const QHostAddress& address) const;
    // Emits what changed at the address since `before`, its former name.
    void announce(const QHostAddress& address, const std::optional<QString>& before);

    Options m_options;
    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    // Avahi's unique name while browsing; signals from anyone else are ignored.
    QString m_owner;
    QList<QString> m_browserPaths;
    // Bumped whenever Avahi comes or goes, so answers meant for a former daemon are dropped.
    quint64 m_generation = 0;
    quint64 m_nextSerial = 0;
    Services m_services;
    std::deque<ServiceKey> m_queue;
    int m_resolving = 0;
    bool m_started = false;
    bool m_reportedAbsent = false;
    bool m_warnedFull = false;
};
