#include "discovery/ZoneGroupEvents.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"
#include "support/TestData.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

Q_DECLARE_METATYPE(ZoneGroupState)

namespace {

using namespace std::chrono_literals;
using Events = FakeSpeaker::Config::Events;
using Mode = ZoneGroupEvents::Mode;

ZoneGroupEvents::Options shortTimers()
{
    return {.minimumRenewDelay = 100ms,
            .requestTimeout = 1s,
            .firstEventTimeout = 300ms,
            .pollInterval = 200ms,
            .callback = {.requestTimeout = 300ms}};
}

// One raw HTTP exchange with the callback server: the status code it
// answered, or 0 when it closed without one.
struct RawClient {
    RawClient(const QUrl& url, const QByteArray& request)
    {
        QObject::connect(&socket, &QTcpSocket::connected,
                         [this, request] { socket.write(request); });
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(url.host(), quint16(url.port()));
    }
    int status() const { return reply.split(' ').value(1).toInt(); }

    QTcpSocket socket;
    QByteArray reply;
    bool closed = false;
};

} // namespace

class TestZoneGroupEvents : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<ZoneGroupState>(); }

    void subscribesRenewsMovesOnAndUnsubscribes()
    {
        FakeSpeaker a({.subscriptionSeconds = 1});
        FakeSpeaker b({.address = QHostAddress("127.0.0.3"), .subscriptionSeconds = 1});
        QVERIFY(a.start() && b.start());
        ZoneGroupEvents events(shortTimers());
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);

        events.start({a.location(), b.location()});
        QTRY_COMPARE(states.size(), 1);
        const FakeSpeaker::GenaCall subscribe = a.genaCalls().first();
        QVERIFY2(QRegularExpression("^<http://127\\.0\\.0\\.1:\\d+/[0-9a-f]{32}>$")
                     .match(QString::fromLatin1(subscribe.callback))
                     .hasMatch(),
                 subscribe.callback.constData());
        QCOMPARE(subscribe.timeout, QByteArray("Second-3600"));

        // Granted one second: renewed every 800 ms with the SID alone.
        QTRY_COMPARE(a.genaCalls().size(), 3);
        const FakeSpeaker::GenaCall renewal = a.genaCalls().last();
        QCOMPARE(renewal.sid, a.subscriptionSid());
        QVERIFY(renewal.callback.isEmpty() && renewal.nt.isEmpty());
        QCOMPARE(renewal.status, 200);

        // Later events: a repeat of the state reported last is not reported again.
        a.sendEvent();
        a.sendEvent(testData("discovery/zgs-home-theatre.xml"));
        QTRY_COMPARE(states.size(), 2);
        QCOMPARE(states.last().first().value<ZoneGroupState>().groups.value(0).coordinator,
                 QStringLiteral("RINCON_F0F6C1A0B0C001400"));
        QTRY_COMPARE(a.eventReplies(), QList<int>({200, 200, 200}));

        a.forgetSubscription(); // as after a reboot: the renewal is refused
        QTRY_COMPARE(events.speaker(), b.location());
        QTRY_COMPARE(events.mode(), Mode::Subscribed);
        QCOMPARE(a.genaCalls().last().status, 412);
        QCOMPARE(b.genaCalls().size(), 1);
        b.forgetSubscription(); // an accepted subscription starts a new round of speakers
        QTRY_COMPARE(events.speaker(), a.location());
        QTRY_COMPARE(events.mode(), Mode::Subscribed);

        const QByteArray sid = a.subscriptionSid();
        events.stop();
        QCOMPARE(events.mode(), Mode::Stopped);
        QTRY_COMPARE(a.genaCalls().last().method, QByteArray("UNSUBSCRIBE"));
        QCOMPARE(a.genaCalls().last().sid, sid);
    }

    void fallsBackToPolling_data()
    {
        QTest::addColumn<Events>("first");
        QTest::addColumn<Events>("second");
        QTest::addColumn<QString>("logged"); // the one warning about polling

        QTest::newRow("all refuse, first has no state: polling the second")
            << Events::Refused << Events::Refused
            << "No speaker of the household accepted an event subscription";
        QTest::newRow("no first event: polling")
            << Events::Silent << Events::Normal << "No event arrived from http://127.0.0.2:";
    }

    void fallsBackToPolling()
    {
        QFETCH(Events, first);
        QFETCH(Events, second);
        QFETCH(QString, logged);
        LogCapture log;
        // When all refuse, the first has no state either: polling must move on to the second.
        FakeSpeaker a({.zoneGroupStateFails = second == Events::Refused, .events = first});
        FakeSpeaker b({.address = QHostAddress("127.0.0.3"), .events = second});
        QVERIFY(a.start() && b.start());
        ZoneGroupEvents events(shortTimers());
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        QSignalSpy modes(&events, &ZoneGroupEvents::modeChanged);

        events.start({a.location(), b.location()});
        QTRY_COMPARE(events.mode(), Mode::Polling);
        QTRY_COMPARE(states.size(), 1);
        FakeSpeaker* used = first == Events::Silent ? &a : &b;
        QCOMPARE(events.speaker(), used->location());
        // Polled every 200 ms, and said once.
        QTRY_VERIFY(used->requests().count("POST /ZoneGroupTopology/Control") >= 3);
        const auto warnings = std::count_if(log.lines.begin(), log.lines.end(), [&](auto& l) {
            return std::get<2>(l).startsWith(logged);
        });
        QCOMPARE(warnings, 1);
        QCOMPARE(states.size(), 1); // the same state each time
        QCOMPARE(modes.last().first().value<Mode>(), Mode::Polling);
        // Every speaker refusing was asked; a silent one was let go, and the other not
        // tried, as a firewall would block it too.
        QCOMPARE(b.genaCalls().isEmpty(), first == Events::Silent);
        if (first == Events::Silent)
            QCOMPARE(a.genaCalls().last().method, QByteArray("UNSUBSCRIBE"));
        events.stop();
        const qsizetype polls = used->requests().size();
        QTest::qWait(300);
        QCOMPARE(used->requests().size(), polls);
        events.start({used->location()}); // a restart reports the state afresh
        QTRY_COMPARE(states.size(), 2);
    }

    void refusesHostileCallbacksAndBoundsConnections()
    {
        FakeSpeaker speaker({.events = Events::Silent});
        QVERIFY(speaker.start());
        auto options = shortTimers();
        options.firstEventTimeout = 60s;
        ZoneGroupEvents events(options);
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        events.start({speaker.location()});
        QTRY_COMPARE(events.mode(), Mode::Subscribed);

        // A genuine NOTIFY with one part replaced; its Content-Length is left as it was.
        const QByteArray genuine = speaker.eventRequest();
        const QByteArray end = "</e:propertyset>";
        const struct {
            const char* name;
            QByteArray from, to;
            int status;
        } hostile[] = {
            {"wrong SID", "_sub", "_bus", 412},
            {"no SID", "\r\nSID:", "\r\nX-SID:", 412},
            {"two SIDs", "\r\nSID:", "\r\nSID: uuid:x\r\nSID:", 412},
            {"wrong path", "NOTIFY /", "NOTIFY /0", 404},
            {"GET", "NOTIFY ", "GET ", 405},
            {"no HTTP version", " HTTP/1.1\r\n", "\r\n", 400},
            {"no NTS", "\r\nNTS:", "\r\nX-NTS:", 400},
            {"other NT", "NT: upnp:event", "NT: upnp:other", 412},
            {"no length", "CONTENT-LENGTH", "X-LENGTH", 400},
            {"negative length", "CONTENT-LENGTH: ", "CONTENT-LENGTH: -", 400},
            {"chunked", "\r\nSEQ:", "\r\nTransfer-Encoding: chunked\r\nSEQ:", 400},
            {"huge body announced", "CONTENT-LENGTH: ", "CONTENT-LENGTH: 99999", 413},
            {"more body than announced", end, end + "  ", 400},
            {"malformed body", end, "<e:propertyset>x", 400},
            {"body not a property set", "e:propertyset", "e:propertyget", 400},
            {"huge head", "\r\nSEQ:", "\r\nX-PAD: " + QByteArray(9000, 'a') + "\r\nSEQ:", 400},
        };
        for (const auto& [name, from, to, status] : hostile) {
            QByteArray request = genuine;
            request.replace(request.indexOf(from), from.size(), to);
            RawClient client(speaker.callbackUrl(), request);
            QTRY_VERIFY2(client.closed, name);
            QVERIFY2(client.status() == status, name);
        }

        // Eight idle clients take every place; the ninth is turned away at once.
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 8; ++i)
            idle.push_back(std::make_unique<RawClient>(speaker.callbackUrl(), "NOTIFY /"));
        QTest::qWait(50);
        RawClient turnedAway(speaker.callbackUrl(), genuine);
        QTRY_VERIFY(turnedAway.closed);
        QCOMPARE(turnedAway.status(), 503);
        // The idle ones are dropped after the request time-out, without an answer.
        for (const auto& client : idle) {
            QTRY_VERIFY(client->closed);
            QVERIFY(client->reply.isEmpty());
        }

        // Nothing came of any of it, and the genuine event still gets through.
        RawClient good(speaker.callbackUrl(), genuine);
        QTRY_VERIFY(good.closed);
        QCOMPARE(good.status(), 200);
        QCOMPARE(states.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestZoneGroupEvents)
#include "tst_ZoneGroupEvents.moc"
