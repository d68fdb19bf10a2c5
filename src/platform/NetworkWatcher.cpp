#include "platform/NetworkWatcher.h"

#include "log/Logging.h"
#include "platform/SystemError.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const Logging::Category kCategory = QStringLiteral("NetworkWatcher");

// Flags whose change can move the computer onto or off a network.
constexpr unsigned kLinkStateFlags = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

// Bounds one wake-up so that a flood of messages cannot starve the event loop;
// the notifier fires again for the rest.
constexpr int kDatagramsPerWakeup = 64;

// Link indices come from the kernel alone, but a table that only grows is
// still bounded: past this many, forget and treat every link as new.
constexpr qsizetype kMaxLinks = 1024;

// The NLMSG_* macros cast C-style; they stay, as the reviewed way to walk
// netlink messages, with the warning silenced where they are used.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

// Copies the message's fixed payload out, since the bytes need not be
// aligned for it; false when the message is too short to hold it.
template <typename Payload> bool payload(const nlmsghdr* header, Payload* out)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(Payload)))
        return false;
    std::memcpy(out, NLMSG_DATA(header), sizeof(Payload));
    return true;
}

#pragma GCC diagnostic pop

} // namespace

NetworkWatcher::NetworkWatcher(QObject* parent) : QObject(parent) {}

NetworkWatcher::~NetworkWatcher()
{
    stop();
}

bool NetworkWatcher::start()
{
    if (isActive())
        return true;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        Logging::warning(
            QStringLiteral("Cannot open a netlink socket: %1").arg(SystemError::errnoText()),
            kCategory);
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Logging::warning(
            QStringLiteral("Cannot listen for network changes: %1").arg(SystemError::errnoText()),
            kCategory);
        ::close(fd);
        return false;
    }
    m_socket = fd;
    m_linkFlags.clear();
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &NetworkWatcher::onReadable);
    Logging::debug(QStringLiteral("Watching links and addresses"), kCategory);
    return true;
}

void NetworkWatcher::stop()
{
    if (!isActive())
        return;
    // Deleted later: stop() may run from a slot of changed(), inside the
    // notifier's own activation.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    ::close(m_socket);
    m_socket = -1;
}

void NetworkWatcher::onReadable()
{
    bool relevant = false;
    for (int i = 0; i < kDatagramsPerWakeup && isActive(); ++i) {
        sockaddr_nl sender{};
        iovec vector{m_buffer.data(), m_buffer.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(m_socket, &message, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            // The kernel dropped messages for us: something changed, we
            // cannot tell what.
            if (errno == ENOBUFS) {
                relevant = true;
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // The notifier would fire again at once: give up rather than spin.
                Logging::warning(QStringLiteral("Reading network changes failed, no longer "
                                                "watching: %1")
                                     .arg(SystemError::errnoText()),
                                 kCategory);
                stop();
            }
            break;
        }
        // Only the kernel speaks on these groups; anything else is not ours.
        if (message.msg_namelen != sizeof sender || sender.nl_pid != 0)
            continue;
        if (message.msg_flags & MSG_TRUNC) {
            relevant = true;
            continue;
        }
        relevant = parse(int(received)) || relevant;
    }
    if (relevant && isActive())
        Q_EMIT changed();
}

bool NetworkWatcher::consume(QByteArrayView datagram)
{
    if (datagram.size() > qsizetype(m_buffer.size()))
        return true; // what the socket reports as truncated
    if (!datagram.isEmpty())
        std::memcpy(m_buffer.data(), datagram.data(), size_t(datagram.size()));
    return parse(int(datagram.size()));
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
bool NetworkWatcher::parse(int length)
{
    bool relevant = false;
    // NLMSG_OK checks each header's length against what is left before it
    // is used, so a lying length ends the walk instead of overrunning.
    for (auto* header = reinterpret_cast<const nlmsghdr*>(m_buffer.data());
         NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
        switch (header->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK: {
            ifinfomsg link{};
            if (!payload(header, &link) || (link.ifi_flags & IFF_LOOPBACK))
                break;
            if (header->nlmsg_type == RTM_DELLINK) {
                m_linkFlags.remove(link.ifi_index);
                relevant = true;
                break;
            }
            const unsigned state = link.ifi_flags & kLinkStateFlags;
            const auto known = m_linkFlags.constFind(link.ifi_index);
            if (known != m_linkFlags.cend() && *known == state)
                break;
            if (known == m_linkFlags.cend() && m_linkFlags.size() >= kMaxLinks)
                m_linkFlags.clear();
            m_linkFlags.insert(link.ifi_index, state);
            relevant = true;
            break;
        }
        case RTM_NEWADDR:
        case RTM_DELADDR: {
            ifaddrmsg address{};
            if (payload(header, &address) && address.ifa_family == AF_INET &&
                address.ifa_scope != RT_SCOPE_HOST)
                relevant = true;
            break;
        }
        default: // NLMSG_DONE, NLMSG_ERROR, routes and the like: not ours
            break;
        }
    }
    return relevant;
}
#pragma GCC diagnostic pop

QStringList NetworkWatcher::currentIPv4Addresses()
{
    QList<quint32> numbers;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        const auto flags = interface.flags();
        // A link without carrier keeps its address but reaches no speaker.
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
            (flags & QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                numbers.append(ip.toIPv4Address());
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    QStringList addresses;
    addresses.reserve(numbers.size());
    for (quint32 number : numbers)
        addresses.append(QHostAddress(number).toString());
    return addresses;
}
