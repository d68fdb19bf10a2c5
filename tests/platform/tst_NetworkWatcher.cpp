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

QByteArray address(quint16 type, quint8 family, quint8 scope, qint64 length = -1)
{
    ifaddrmsg payload{};
    payload.ifa_family = family;
    payload.ifa_scope = scope;
    payload.ifa_index = 2;
    return message(type, payload, length);
}

QByteArray link(quint16 type, int index, unsigned flags)
{
    ifinfomsg payload{};
    payload.ifi_index = index;
    payload.ifi_flags = flags;
    return message(type, payload);
}

QByteArray route()
{
    rtmsg payload{};
    payload.rtm_family = AF_INET;
    return message(RTM_NEWROUTE, payload);
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

        const QByteArray newAddress = address(RTM_NEWADDR, AF_INET, RT_SCOPE_UNIVERSE);
        QTest::newRow("IPv4 address added") << newAddress << true;
        QTest::newRow("IPv4 address removed")
            << address(RTM_DELADDR, AF_INET, RT_SCOPE_UNIVERSE) << true;
        QTest::newRow("loopback address") << address(RTM_NEWADDR, AF_INET, RT_SCOPE_HOST) << false;
        QTest::newRow("IPv6 address") << address(RTM_NEWADDR, AF_INET6, RT_SCOPE_UNIVERSE) << false;
        QTest::newRow("link added") << link(RTM_NEWLINK, 3, kUp) << true;
        QTest::newRow("link removed") << link(RTM_DELLINK, 3, 0) << true;
        QTest::newRow("loopback link") << link(RTM_NEWLINK, 1, kUp | IFF_LOOPBACK) << false;
        QTest::newRow("route") << route() << false;
        QTest::newRow("address after a route") << route() + newAddress << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("header cut short") << newAddress.left(10) << false;
        QTest::newRow("length beyond the datagram")
            << address(RTM_NEWADDR, AF_INET, RT_SCOPE_UNIVERSE, 4096) << false;
        QTest::newRow("length below a header")
            << address(RTM_NEWADDR, AF_INET, RT_SCOPE_UNIVERSE, 4) << false;
        QTest::newRow("length zero")
            << address(RTM_NEWADDR, AF_INET, RT_SCOPE_UNIVERSE, 0) << false;
        QTest::newRow("payload cut short")
            << address(RTM_NEWADDR, AF_INET, RT_SCOPE_UNIVERSE, NLMSG_HDRLEN + 2) << false;
        QTest::newRow("second message lies about its length")
            << route() + address(RTM_NEWADDR, AF_INET, RT_SCOPE_UNIVERSE, 4096) << false;
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
    void followsTheKernel_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QStringList>("addresses");

        QTest::newRow("address added") << split("addr add 10.99.0.10/24 dev corvane-a")
                                       << split("10.99.0.1 10.99.0.2 10.99.0.10");
        QTest::newRow("link down") << split("link set corvane-a down") << QStringList();
        QTest::newRow("link up") << split("link set corvane-a up")
                                 << split("10.99.0.1 10.99.0.2 10.99.0.10");
        QTest::newRow("address removed")
            << split("addr del 10.99.0.10/24 dev corvane-a") << split("10.99.0.1 10.99.0.2");
        QTest::newRow("link added") << split("link add corvane-c type veth peer name corvane-d")
                                    << split("10.99.0.1 10.99.0.2");
        QTest::newRow("link removed")
            << split("link del corvane-c") << split("10.99.0.1 10.99.0.2");
    }
    void followsTheKernel()
    {
        if (!inNamespace())
            QSKIP("changes links only inside the namespace of netns-run.sh");
        QFETCH(QStringList, command);
        QFETCH(QStringList, addresses);
        NetworkWatcher watcher;
        QSignalSpy changed(&watcher, &NetworkWatcher::changed);
        QVERIFY(watcher.start());
        QVERIFY(ip(command));
        QTRY_VERIFY(!changed.isEmpty());
        // Wait for the change to settle (a veth peer loses carrier a moment later).
        QTRY_COMPARE(NetworkWatcher::currentIPv4Addresses(), addresses);
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
