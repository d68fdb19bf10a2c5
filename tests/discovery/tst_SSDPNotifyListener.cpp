#include "discovery/SSDPNotifyListener.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"

#include <QUdpSocket>
#include <QtTest>

namespace {

using namespace std::chrono_literals;
using B = QByteArray;
const QString kUdn = QStringLiteral("RINCON_48A6B8C0FFEE01400");

// A listener on a free port of this machine; the fake speaker sends to it
// directly from 127.0.0.2, so no multicast is needed.
struct Setup {
    explicit Setup(SSDPNotifyListener::Options options = {.port = 0}) : listener(options)
    {
        started = speaker.start() && listener.start();
    }
    void send(const QByteArray& datagram)
    {
        speaker.sendDatagram(datagram, QHostAddress::LocalHost, listener.localPort());
    }
    QByteArray withUdn(QByteArray datagram, int n) const
    {
        return datagram.replace(kUdn.toUtf8(), "RINCON_" + QByteArray::number(n));
    }

    FakeSpeaker speaker{FakeSpeaker::Config{}};
    SSDPNotifyListener listener;
    QSignalSpy alive{&listener, &SSDPNotifyListener::alive};
    QSignalSpy byebye{&listener, &SSDPNotifyListener::byebye};
    bool started = false;
};

} // namespace

class TestSSDPNotifyListener : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reportsOnlyGenuineZonePlayerAnnouncements_data()
    {
        QTest::addColumn<QByteArray>("from");  // replaced in the speaker's own ssdp:alive
        QTest::addColumn<QByteArray>("to");    // by this
        QTest::addColumn<QString>("expected"); // "alive", "byebye" or "" (ignored)

        const B nts = "NTS: ssdp:alive";
        const B host = "http://127.0.0.2:";
        const B usn = "USN: uuid:";
        const B end = "\r\n\r\n";
        QTest::newRow("alive") << nts << nts << "alive";
        QTest::newRow("update") << nts << B("NTS: ssdp:update") << "alive";
        QTest::newRow("byebye") << nts << B("NTS: ssdp:byebye") << "byebye";
        QTest::newRow("unknown NTS") << nts << B("NTS: ssdp:discover") << "";
        QTest::newRow("bare LF, names in lower case")
            << B("\r\nLOCATION:") << B("\nlocation:") << "alive";
        QTest::newRow("another device type") << B("ZonePlayer") << B("MediaRenderer") << "";
        QTest::newRow("LOCATION on another host") << host << B("http://127.0.0.3:") << "";
        QTest::newRow("LOCATION by name") << host << B("http://localhost:") << "";
        QTest::newRow("LOCATION not http") << host << B("ftp://127.0.0.2:") << "";
        QTest::newRow("UDN beyond 128 characters") << usn << usn + B(120, 'A') << "";
        QTest::newRow("USN without uuid") << usn << B("USN: ") << "";
        QTest::newRow("M-SEARCH of another control point") << B("NOTIFY") << B("M-SEARCH") << "";
        QTest::newRow("too many headers") << end << B("\r\nX-A: 1").repeated(64) + end << "";
        QTest::newRow("oversized") << end << "\r\nX-PAD: " + B(8192, 'a') + end << "";
    }

    void reportsOnlyGenuineZonePlayerAnnouncements()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, expected);
        Setup setup;
        QVERIFY(setup.started);

        setup.send(setup.speaker.ssdpNotify("ssdp:alive").replace(from, to));
        // A byebye of another speaker marks the end of what the listener took in.
        setup.send(setup.withUdn(setup.speaker.ssdpNotify("ssdp:byebye"), 1));
        QTRY_VERIFY(!setup.byebye.isEmpty() &&
                    setup.byebye.last().first().toString() == QStringLiteral("RINCON_1"));

        QCOMPARE(setup.alive.size(), expected == "alive" ? 1 : 0);
        QCOMPARE(setup.byebye.size(), expected == "byebye" ? 2 : 1);
        if (expected == "alive") {
            QCOMPARE(setup.alive.first().at(0).toUrl(), setup.speaker.location());
            QCOMPARE(setup.alive.first().at(1).toString(), kUdn);
            setup.send(setup.speaker.ssdpNotify("ssdp:byebye")); // no repeat of its alive
            QTRY_COMPARE(setup.byebye.size(), 2);
        } else if (expected == "byebye") {
            QCOMPARE(setup.byebye.first().first().toString(), kUdn);
        }
    }

    // Each speaker announces twice and is reported once, up to 64 in a window with
    // the flood said once; the table of those reported stays within its 50.
    void capsRepeatsAndFloods()
    {
        LogCapture log;
        Setup setup({.port = 0,
                     .repeatInterval = 60s,
                     .floodWindow = 60s,
                     .maxPerWindow = 64,
                     .maxRemembered = 50});
        QVERIFY(setup.started);

        const QByteArray alive = setup.speaker.ssdpNotify("ssdp:alive");
        for (int n = 0; n < 100; ++n) {
            setup.send(setup.withUdn(alive, n));
            setup.send(setup.withUdn(alive, n));
            // In steps, so the socket's receive buffer never overflows.
            if ((n + 1) % 25 == 0)
                QTRY_COMPARE(setup.alive.size(), std::min(n + 1, 64));
            QVERIFY(setup.listener.rememberedCount() <= 50);
        }
        QTest::qWait(20);
        QCOMPARE(setup.alive.size(), 64);
        const auto warnings = std::count_if(log.lines.begin(), log.lines.end(), [](const auto& l) {
            return std::get<2>(l).startsWith("More than ");
        });
        QCOMPARE(warnings, 1);
    }

    void repeatsAfterInterval()
    {
        Setup setup({.port = 0, .repeatInterval = 50ms, .floodWindow = 50ms, .maxPerWindow = 1});
        QVERIFY(setup.started);
        const QByteArray alive = setup.speaker.ssdpNotify("ssdp:alive");
        setup.send(alive);
        QTRY_COMPARE(setup.alive.size(), 1);
        setup.send(setup.withUdn(alive, 1)); // beyond this window's one
        QTest::qWait(80);
        setup.send(alive);
        QTRY_COMPARE(setup.alive.size(), 2);
        QCOMPARE(setup.alive.last().at(1).toString(), kUdn);
    }

    void holdsThePortOnlyWhileStarted()
    {
        Setup setup;
        QVERIFY(setup.started);
        const quint16 port = setup.listener.localPort();
        QUdpSocket other; // other UPnP software may listen alongside, but only alongside
        QVERIFY(!other.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress));
        QVERIFY(other.bind(QHostAddress::AnyIPv4, port,
                           QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        other.close();

        setup.listener.stop();
        QVERIFY(other.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress));
        other.close();
        setup.speaker.sendDatagram(setup.speaker.ssdpNotify("ssdp:alive"), QHostAddress::LocalHost,
                                   port);
        QTest::qWait(50);
        QCOMPARE(setup.alive.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSSDPNotifyListener)
#include "tst_SSDPNotifyListener.moc"
