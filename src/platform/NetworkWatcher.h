#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <linux/netlink.h>

#include <array>

class QSocketNotifier;

// Reports changes of the computer's links and IPv4 addresses as the kernel
// announces them on a NETLINK_ROUTE socket, read on the event loop: no
// polling, no NetworkManager, works headless. Nothing is opened before start().
class NetworkWatcher : public QObject {
    Q_OBJECT
public:
    explicit NetworkWatcher(QObject* parent = nullptr);
    ~NetworkWatcher() override;

    // Opens and subscribes the socket; false (and logged) when the kernel
    // refuses. Starting a started watcher does nothing and returns true.
    bool start();
    // Closes the socket; no changed() follows.
    void stop();
    bool isActive() const { return m_socket >= 0; }

    // The IPv4 addresses of links that are up and running, loopback left out,
    // in numeric order without duplicates: what to compare before and after.
    static QStringList currentIPv4Addresses();

    // Parses one datagram as the kernel sends it and says whether it holds a
    // change worth reporting; remembers link states. The socket's reader uses
    // it, and tests feed it crafted datagrams.
    bool consume(QByteArrayView datagram);

Q_SIGNALS:
    // One per batch of relevant messages read in one go; callers debounce.
    void changed();

private:
    void onReadable();
    bool parse(int length);

    int m_socket = -1;
    QSocketNotifier* m_notifier = nullptr;
    // Last seen interesting flags per link index, so that link messages that
    // change nothing we care about (wireless chatter, MTU) are dropped.
    QHash<int, unsigned> m_linkFlags;
    // Kernel messages fit a page; a longer datagram arrives truncated and
    // counts as a change without being parsed.
    alignas(nlmsghdr) std::array<char, 32768> m_buffer{};
};
