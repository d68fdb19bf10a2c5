// Netlink parsing against crafted datagrams, and, inside the private network
// namespace of tests/discovery/netns-run.sh (veth corvane-a 10.99.0.1 <->
// corvane-b 10.99.0.2), the kernel's own messages.
#include "platform/NetworkWatcher.h"

#include <QtTest>

#include <linux/if.h>
#include <linux/rtnetlink.h>

#include <cstring>

// The NLMSG_* macros cast C-style.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace {

// A datagram of one message; length, when given, is what its header claims.
template <typename Payload>
QByteArray message(quint16 type, const Payload& payload, qint64 length = -1)
{
    nlmsghdr header{};
    header.nlmsg_len = length >= 0 ? quint32(length) : quint32(NLMSG_LENGTH(sizeof(Payload)));
    header.nlmsg_type = type;
    QByteArray bytes(NLMSG_SPACE(sizeof(Payload)), '\0');
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &payload, sizeof(Payload));
    return bytes;
}

QByteArray address(quint16 type, qint64 length = -1, quint8 family = AF_INET,
                   quint8 scope = RT_SCOPE_UNIVERSE)
{
    ifaddrmsg payload{};
    payload.ifa_family = family;
    payload.ifa_scope = scope;
    return message(type, payload, length);
}

QByteArray link(quint16 type, int index, unsigned flags)
{
    ifinfomsg payload{};
    payload.ifi_index = index;
    payload.ifi_flags = flags;
    return message(type, payload);
}

const unsigned kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

bool inNamespace()
{
    return qEnvironmentVariable("CORVANE_TEST_NETNS") == u"1";
}

// Runs ip(8); only ever inside the test's own namespace.
bool ip(const QStringList& arguments)
{
    return inNamespace() && QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

QStringList split(const char* words)
{
    return QString::fromLatin1(words).split(u' ', Qt::SkipEmptyParts);
}

} // namespace

class TestNetworkWatcher : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void judgesDatagrams_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("relevant");

        const QByteArray newAddress = address(RTM_NEWADDR);
        rtmsg routePayload{};
        routePayload.rtm_family = AF_INET;
        const QByteArray route = message(RTM_NEWROUTE, routePayload);
        QTest::newRow("IPv4 address added") << newAddress << true;
        QTest::newRow("IPv4 address removed") << address(RTM_DELADDR) << true;
        QTest::newRow("loopback address")
            << address(RTM_NEWADDR, -1, AF_INET, RT_SCOPE_HOST) << false;
        QTest::newRow("IPv6 address") << address(RTM_NEWADDR, -1, AF_INET6) << false;
        QTest::newRow("loopback link") << link(RTM_NEWLINK, 1, kUp | IFF_LOOPBACK) << false;
        QTest::newRow("route") << route << false;
        QTest::newRow("address after a route") << route + newAddress << true;
        QTest::newRow("length beyond the datagram") << address(RTM_NEWADDR, 4096) << false;
        QTest::newRow("length zero") << address(RTM_NEWADDR, 0) << false;
        QTest::newRow("payload cut short") << address(RTM_NEWADDR, NLMSG_HDRLEN + 2) << false;
        QTest::newRow("larger than any kernel message") << QByteArray(65536, '\0') << true;
    }
    void judgesDatagrams()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, relevant);
        NetworkWatcher watcher;
        QCOMPARE(watcher.consume(datagram), relevant);
    }

    // Link messages count when a link comes, goes, or changes state; the
    // rest (wireless events, MTU, promiscuous mode) repeats a known state.
    void linkMessagesCountOnStateChanges()
    {
        NetworkWatcher watcher;
        QVERIFY(watcher.consume(link(RTM_NEWLINK, 2, kUp)));
        QVERIFY(!watcher.consume(link(RTM_NEWLINK, 2, kUp)));
        QVERIFY(!watcher.consume(link(RTM_NEWLINK, 2, kUp | IFF_PROMISC)));
        QVERIFY(watcher.consume(link(RTM_NEWLINK, 3, kUp)));
        QVERIFY(watcher.consume(link(RTM_NEWLINK, 2, IFF_UP)));
        QVERIFY(watcher.consume(link(RTM_NEWLINK, 2, kUp)));
        QVERIFY(watcher.consume(link(RTM_DELLINK, 2, 0)));
        QVERIFY(watcher.consume(link(RTM_NEWLINK, 2, kUp)));
    }

    // The kernel's messages for each change reach changed(), and the
    // address list follows (numeric order, only links up and running).
    void followsTheKernel()
    {
        if (!inNamespace())
            QSKIP("changes links only inside the namespace of netns-run.sh");
        const std::pair<const char*, const char*> steps[] = {
            {"addr add 10.99.0.10/24 dev corvane-a", "10.99.0.1 10.99.0.2 10.99.0.10"},
            {"link set corvane-a down", ""},
            {"link set corvane-a up", "10.99.0.1 10.99.0.2 10.99.0.10"},
            {"addr del 10.99.0.10/24 dev corvane-a", "10.99.0.1 10.99.0.2"},
        };
        NetworkWatcher watcher;
        QSignalSpy changed(&watcher, &NetworkWatcher::changed);
        QVERIFY(watcher.start());
        for (const auto& [command, addresses] : steps) {
            changed.clear();
            QVERIFY2(ip(split(command)), command);
            QTRY_VERIFY2(!changed.isEmpty(), command);
            // Wait for the change to settle (a veth peer loses carrier a moment later).
            QTRY_COMPARE(NetworkWatcher::currentIPv4Addresses(), split(addresses));
        }
    }

    // A stopped watcher stays silent and holds no socket, while a started one
    // hears the change, and only one that can matter.
    void stopSilences()
    {
        if (!inNamespace())
            QSKIP("changes links only inside the namespace of netns-run.sh");
        NetworkWatcher stopped;
        NetworkWatcher running;
        QSignalSpy silent(&stopped, &NetworkWatcher::changed);
        QSignalSpy heard(&running, &NetworkWatcher::changed);
        QDir fds(QStringLiteral("/proc/self/fd"));
        const uint files = fds.count();
        QVERIFY(stopped.start());
        QVERIFY(running.start());
        stopped.stop();
        QVERIFY(!stopped.isActive());
        fds.refresh();
        QCOMPARE(fds.count(), files + 1); // the running one's socket
        QVERIFY(ip(split("addr add 10.99.0.12/32 dev corvane-a scope host")));
        QTest::qWait(50);
        QVERIFY(heard.isEmpty());
        QVERIFY(ip(split("addr add 10.99.0.11/24 dev corvane-a")));
        QTRY_VERIFY(!heard.isEmpty());
        QTest::qWait(50);
        QVERIFY(silent.isEmpty());
        QVERIFY(ip(split("addr del 10.99.0.11/24 dev corvane-a")));
    }
};

QTEST_GUILESS_MAIN(TestNetworkWatcher)
#include "tst_NetworkWatcher.moc"
