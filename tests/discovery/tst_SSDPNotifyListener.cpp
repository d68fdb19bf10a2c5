#include "discovery/SSDPNotifyListener.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"

#include <QUdpSocket>
#include <QtTest>

namespace {

using namespace std::chrono_literals;
const QString kUdn = QStringLiteral("RINCON_48A6B8C0FFEE01400");

// A listener on a free port of this machine; the fake speaker sends to it
// directly from 127.0.0.2, so no multicast is needed.
struct Setup {
    explicit Setup(SSDPNotifyListener::Options options = {}) : listener(withFreePort(options))
    {
        started = speaker.start() && listener.start();
    }
    static SSDPNotifyListener::Options withFreePort(SSDPNotifyListener::Options options)
    {
        options.port = 0;
        return options;
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

bool portIsFree(quint16 port)
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress);
}

} // namespace

class TestSSDPNotifyListener : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reportsOnlyGenuineZonePlayerAnnouncements_data()
    {
        QTest::addColumn<QByteArray>("from"); // replaced in the speaker's own announcement
        QTest::addColumn<QByteArray>("to");   // by this
        QTest::addColumn<QByteArray>("nts");
        QTest::addColumn<QString>("expected"); // "alive", "byebye" or "" (ignored)

        const QByteArray nt = "urn:schemas-upnp-org:device:ZonePlayer:1";
        QTest::newRow("alive") << QByteArray() << QByteArray() << QByteArray("ssdp:alive")
                               << "alive";
        QTest::newRow("update") << QByteArray() << QByteArray() << QByteArray("ssdp:update")
                                << "alive";
        QTest::newRow("byebye") << QByteArray() << QByteArray() << QByteArray("ssdp:byebye")
                                << "byebye";
        QTest::newRow("bare LF, names in lower case")
            << QByteArray("\r\nLOCATION:") << QByteArray("\nlocation:") << QByteArray("ssdp:alive")
            << "alive";
        QTest::newRow("another device type")
            << nt << QByteArray("urn:schemas-upnp-org:device:MediaRenderer:1")
            << QByteArray("ssdp:alive") << "";
        QTest::newRow("LOCATION on another host")
            << QByteArray("http://127.0.0.2:") << QByteArray("http://127.0.0.3:")
            << QByteArray("ssdp:alive") << "";
        QTest::newRow("LOCATION by name")
            << QByteArray("http://127.0.0.2:") << QByteArray("http://localhost:")
            << QByteArray("ssdp:alive") << "";
        QTest::newRow("LOCATION not http")
            << QByteArray("http://") << QByteArray("ftp://") << QByteArray("ssdp:alive") << "";
        QTest::newRow("UDN beyond 128 characters")
            << QByteArray("USN: uuid:") << "USN: uuid:" + QByteArray(120, 'A')
            << QByteArray("ssdp:alive") << "";
        QTest::newRow("USN without uuid")
            << QByteArray("USN: uuid:") << QByteArray("USN: ") << QByteArray("ssdp:alive") << "";
        QTest::newRow("unknown NTS")
            << QByteArray() << QByteArray() << QByteArray("ssdp:discover") << "";
        QTest::newRow("M-SEARCH of another control point")
            << QByteArray("NOTIFY * HTTP/1.1") << QByteArray("M-SEARCH * HTTP/1.1")
            << QByteArray("ssdp:alive") << "";
        QTest::newRow("too many headers")
            << QByteArray("\r\n\r\n")
            << QByteArray("\r\n") + QByteArray("X-A: 1\r\n").repeated(64) + "\r\n"
            << QByteArray("ssdp:alive") << "";
        QTest::newRow("oversized")
            << QByteArray("\r\n\r\n") << "\r\nX-PAD: " + QByteArray(8192, 'a') + "\r\n\r\n"
            << QByteArray("ssdp:alive") << "";
    }

    void reportsOnlyGenuineZonePlayerAnnouncements()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QByteArray, nts);
        QFETCH(QString, expected);
        Setup setup;
        QVERIFY(setup.started);

        QByteArray datagram = setup.speaker.ssdpNotify(nts);
        if (!from.isEmpty())
            datagram.replace(from, to);
        setup.send(datagram);
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

    void capsRepeatsAndFloods_data()
    {
        QTest::addColumn<int>("maxPerWindow");
        QTest::addColumn<int>("maxRemembered");
        QTest::addColumn<int>("speakers"); // each announcing twice
        QTest::addColumn<int>("reported");
        QTest::addColumn<bool>("warned");

        QTest::newRow("repeats reported once") << 64 << 256 << 20 << 20 << false;
        QTest::newRow("flood capped per window") << 64 << 256 << 300 << 64 << true;
        QTest::newRow("table stays bounded") << 1000 << 50 << 300 << 300 << false;
    }

    void capsRepeatsAndFloods()
    {
        QFETCH(int, maxPerWindow);
        QFETCH(int, maxRemembered);
        QFETCH(int, speakers);
        QFETCH(int, reported);
        QFETCH(bool, warned);
        LogCapture log;
        Setup setup({.repeatInterval = 60s,
                     .floodWindow = 60s,
                     .maxPerWindow = maxPerWindow,
                     .maxRemembered = maxRemembered});
        QVERIFY(setup.started);

        const QByteArray alive = setup.speaker.ssdpNotify("ssdp:alive");
        int sent = 0;
        for (int n = 0; n < speakers; ++n) {
            setup.send(setup.withUdn(alive, n));
            setup.send(setup.withUdn(alive, n));
            // In steps, so the socket's receive buffer never overflows.
            if (++sent % 25 == 0 || n + 1 == speakers)
                QTRY_COMPARE(setup.alive.size(), std::min(n + 1, reported));
            QVERIFY(setup.listener.rememberedCount() <= maxRemembered);
        }
        QTest::qWait(20);
        QCOMPARE(setup.alive.size(), reported);
        const auto warnings = std::count_if(log.lines.begin(), log.lines.end(), [](const auto& l) {
            return std::get<0>(l) == Logging::Level::Warning &&
                   std::get<2>(l).startsWith("More than ");
        });
        QCOMPARE(warnings, warned ? 1 : 0);
    }

    void repeatsAfterInterval()
    {
        Setup setup({.repeatInterval = 50ms, .floodWindow = 50ms, .maxPerWindow = 1});
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
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        quint16 port = 0;
        {
            QUdpSocket pick; // a port that was free a moment ago
            QVERIFY(pick.bind(QHostAddress::AnyIPv4, 0));
            port = pick.localPort();
        }
        SSDPNotifyListener listener({.port = port});
        QSignalSpy alive(&listener, &SSDPNotifyListener::alive);
        QVERIFY(portIsFree(port));
        QVERIFY(listener.start());
        QVERIFY(listener.isListening());
        QVERIFY(!portIsFree(port));
        QUdpSocket sharer; // other UPnP software may listen alongside
        QVERIFY(sharer.bind(QHostAddress::AnyIPv4, port,
                            QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        sharer.close();

        listener.stop();
        QVERIFY(!listener.isListening());
        QVERIFY(portIsFree(port));
        speaker.sendDatagram(speaker.ssdpNotify("ssdp:alive"), QHostAddress::LocalHost, port);
        QTest::qWait(50);
        QCOMPARE(alive.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSSDPNotifyListener)
#include "tst_SSDPNotifyListener.moc"
