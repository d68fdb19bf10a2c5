#include "discovery/ZoneGroupEvents.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

Q_DECLARE_METATYPE(ZoneGroupState)

namespace {

using namespace std::chrono_literals;
using Config = FakeSpeaker::Config;
using Events = Config::Events;
using Mode = ZoneGroupEvents::Mode;
const QString kEvents = QStringLiteral("events");
const QString kUdn = QStringLiteral("RINCON_48A6B8C0FFEE01400");

ZoneGroupEvents::Options shortTimers()
{
    return {.minimumRenewDelay = 100ms,
            .requestTimeout = 1s,
            .firstEventTimeout = 300ms,
            .pollInterval = 200ms,
            .callback = {.requestTimeout = 300ms}};
}

QByteArray stateOf(const QString& coordinator)
{
    return QStringLiteral("<ZoneGroupState><ZoneGroups><ZoneGroup Coordinator=\"%1\" ID=\"%1:9\">"
                          "<ZoneGroupMember UUID=\"%1\"/><ZoneGroupMember UUID=\"%2\"/>"
                          "</ZoneGroup></ZoneGroups></ZoneGroupState>")
        .arg(coordinator, kUdn)
        .toUtf8();
}

QString coordinatorOf(const QSignalSpy& spy, qsizetype i)
{
    const auto state = spy.at(i).first().value<ZoneGroupState>();
    return state.groups.size() == 1 ? state.groups.first().coordinator : QString();
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

// The request with its Content-Length set to the body it carries.
QByteArray withTrueLength(QByteArray request)
{
    const qsizetype head = request.indexOf("\r\n\r\n");
    static const QRegularExpression length("CONTENT-LENGTH: \\d+");
    const QString fixed =
        QString::fromLatin1(request.left(head))
            .replace(length, QStringLiteral("CONTENT-LENGTH: %1").arg(request.size() - head - 4));
    return fixed.toLatin1() + request.mid(head);
}

} // namespace

class TestZoneGroupEvents : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<ZoneGroupState>(); }

    void subscribesRenewsAndUnsubscribes()
    {
        LogCapture log;
        FakeSpeaker speaker({.subscriptionSeconds = 1});
        QVERIFY(speaker.start());
        ZoneGroupEvents events(shortTimers());
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        QVERIFY(speaker.genaCalls().isEmpty());

        events.start({speaker.location()});
        QTRY_COMPARE(states.size(), 1);
        QCOMPARE(events.mode(), Mode::Subscribed);
        QCOMPARE(events.speaker(), speaker.location());
        const auto state = states.first().first().value<ZoneGroupState>();
        QCOMPARE(state.topologyFor(kUdn), DeviceTopology(true, kUdn + ":27"));
        const FakeSpeaker::GenaCall subscribe = speaker.genaCalls().first();
        QCOMPARE(subscribe.method, QByteArray("SUBSCRIBE"));
        QVERIFY(subscribe.sid.isEmpty());
        QVERIFY2(QRegularExpression("^<http://127\\.0\\.0\\.1:\\d+/[0-9a-f]{32}>$")
                     .match(QString::fromLatin1(subscribe.callback))
                     .hasMatch(),
                 subscribe.callback.constData());
        QCOMPARE(subscribe.nt, QByteArray("upnp:event"));
        QCOMPARE(subscribe.timeout, QByteArray("Second-3600"));
        QCOMPARE(speaker.requests().first(), QStringLiteral("GET /xml/device_description.xml"));

        // Granted one second: renewed every 800 ms with the SID alone.
        QTRY_COMPARE(speaker.genaCalls().size(), 3);
        FakeSpeaker::GenaCall renewal;
        for (qsizetype i : {1, 2}) {
            renewal = speaker.genaCalls().at(i);
            QCOMPARE(renewal.method, QByteArray("SUBSCRIBE"));
            QCOMPARE(renewal.sid, speaker.subscriptionSid());
            QVERIFY(renewal.callback.isEmpty() && renewal.nt.isEmpty());
            QCOMPARE(renewal.status, 200);
        }

        // Later events: a repeat of the state reported last is not reported again.
        speaker.sendEvent();
        speaker.sendEvent(stateOf("RINCON_000E58AABBCC01400"));
        QTRY_COMPARE(states.size(), 2);
        QCOMPARE(coordinatorOf(states, 1), QStringLiteral("RINCON_000E58AABBCC01400"));
        QTRY_COMPARE(speaker.eventReplies(), QList<int>({200, 200, 200}));

        const QUrl callback = speaker.callbackUrl();
        events.stop();
        QCOMPARE(events.mode(), Mode::Stopped);
        QTRY_COMPARE(speaker.genaCalls().last().method, QByteArray("UNSUBSCRIBE"));
        QCOMPARE(speaker.genaCalls().last().sid, renewal.sid);
        QCOMPARE(speaker.genaCalls().last().status, 200);
        RawClient late(callback, "NOTIFY / HTTP/1.1\r\n\r\n");
        QTRY_VERIFY(late.closed || late.socket.error() == QAbstractSocket::ConnectionRefusedError);
        QCOMPARE(states.size(), 2);
        QVERIFY(log.has(Logging::Level::Info, kEvents, "Receiving group events from "));
    }

    void movesOnToAnotherSpeakerOrPolls_data()
    {
        QTest::addColumn<Events>("first");
        QTest::addColumn<Events>("second");
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<int>("subscribed"); // speaker index finally used
        QTest::addColumn<QString>("logged"); // the one warning about polling
        QTest::addColumn<bool>("firstHasNoState");

        QTest::newRow("first refuses, second accepts")
            << Events::Refused << Events::Normal << Mode::Subscribed << 1 << QString() << false;
        QTest::newRow("all refuse, first has no state: polling the second")
            << Events::Refused << Events::Refused << Mode::Polling << 1
            << "No speaker of the household accepted an event subscription" << true;
        QTest::newRow("no first event: polling")
            << Events::Silent << Events::Normal << Mode::Polling << 0
            << "No event arrived from http://127.0.0.2:" << false;
    }

    void movesOnToAnotherSpeakerOrPolls()
    {
        QFETCH(Events, first);
        QFETCH(Events, second);
        QFETCH(Mode, mode);
        QFETCH(int, subscribed);
        QFETCH(QString, logged);
        QFETCH(bool, firstHasNoState);
        LogCapture log;
        FakeSpeaker a({.zoneGroupStateFails = firstHasNoState, .events = first});
        FakeSpeaker b({.address = QHostAddress("127.0.0.3"), .events = second});
        QVERIFY(a.start() && b.start());
        ZoneGroupEvents events(shortTimers());
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        QSignalSpy modes(&events, &ZoneGroupEvents::modeChanged);

        events.start({a.location(), b.location()});
        QTRY_COMPARE(events.mode(), mode);
        QTRY_COMPARE(states.size(), 1);
        FakeSpeaker* used = subscribed ? &b : &a;
        QCOMPARE(events.speaker(), used->location());
        QCOMPARE(a.genaCalls().first().status, first == Events::Refused ? 503 : 200);
        if (mode == Mode::Subscribed) {
            QVERIFY(!b.subscriptionSid().isEmpty());
            return;
        }
        // Polled every 200 ms, said once; a silent speaker was let go.
        QTRY_VERIFY(used->requests().count("POST /ZoneGroupTopology/Control") >= 3);
        const auto warnings = std::count_if(log.lines.begin(), log.lines.end(), [&](auto& l) {
            return std::get<2>(l).startsWith(logged);
        });
        QCOMPARE(warnings, 1);
        QCOMPARE(states.size(), 1); // the same state each time
        QCOMPARE(modes.last().first().value<Mode>(), Mode::Polling);
        if (first == Events::Silent) {
            QCOMPARE(a.genaCalls().last().method, QByteArray("UNSUBSCRIBE"));
            QVERIFY(b.genaCalls().isEmpty()); // a firewall would block the other speaker too
        }
        events.stop();
        const qsizetype polls = used->requests().size();
        QTest::qWait(300);
        QCOMPARE(used->requests().size(), polls);
        events.start({used->location()}); // a restart reports the state afresh
        QTRY_COMPARE(states.size(), 2);
    }

    void lapsedSubscriptionMovesToNextSpeaker()
    {
        FakeSpeaker a({.subscriptionSeconds = 1});
        FakeSpeaker b({.address = QHostAddress("127.0.0.3"), .subscriptionSeconds = 1});
        QVERIFY(a.start() && b.start());
        ZoneGroupEvents events(shortTimers());
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        events.start({a.location(), b.location()});
        QTRY_COMPARE(states.size(), 1);

        a.forgetSubscription(); // as after a reboot: the renewal is refused
        QTRY_COMPARE(events.speaker(), b.location());
        QTRY_COMPARE(events.mode(), Mode::Subscribed);
        QCOMPARE(a.genaCalls().last().status, 412);
        QCOMPARE(b.genaCalls().size(), 1);

        b.forgetSubscription(); // an accepted subscription starts a new round of speakers
        QTRY_COMPARE(events.speaker(), a.location());
        QTRY_COMPARE(events.mode(), Mode::Subscribed);
    }

    void refusesHostileCallbacks_data()
    {
        QTest::addColumn<QByteArray>("from"); // replaced in a genuine NOTIFY
        QTest::addColumn<QByteArray>("to");   // by this
        QTest::addColumn<bool>("trueLength"); // Content-Length set to the body sent
        QTest::addColumn<int>("status");

        const QByteArray end = "</e:propertyset>";
        QTest::newRow("wrong SID") << QByteArray("_sub") << QByteArray("_bus") << true << 412;
        QTest::newRow("no SID") << QByteArray("\r\nSID:") << QByteArray("\r\nX-SID:") << true
                                << 412;
        QTest::newRow("two SIDs") << QByteArray("\r\nSEQ:") << QByteArray("\r\nSID: uuid:x\r\nSEQ:")
                                  << true << 412;
        QTest::newRow("wrong path")
            << QByteArray("NOTIFY /") << QByteArray("NOTIFY /0") << true << 404;
        QTest::newRow("GET") << QByteArray("NOTIFY ") << QByteArray("GET ") << true << 405;
        QTest::newRow("SUBSCRIBE")
            << QByteArray("NOTIFY ") << QByteArray("SUBSCRIBE ") << true << 405;
        QTest::newRow("no HTTP version")
            << QByteArray(" HTTP/1.1\r\n") << QByteArray("\r\n") << true << 400;
        QTest::newRow("no NTS") << QByteArray("\r\nNTS:") << QByteArray("\r\nX-NTS:") << true
                                << 400;
        QTest::newRow("other NT") << QByteArray("NT: upnp:event") << QByteArray("NT: upnp:other")
                                  << true << 412;
        QTest::newRow("no length")
            << QByteArray("CONTENT-LENGTH") << QByteArray("X-LENGTH") << false << 400;
        QTest::newRow("negative length")
            << QByteArray("CONTENT-LENGTH: ") << QByteArray("CONTENT-LENGTH: -") << false << 400;
        QTest::newRow("chunked") << QByteArray("\r\nSEQ:")
                                 << QByteArray("\r\nTransfer-Encoding: chunked\r\nSEQ:") << true
                                 << 400;
        QTest::newRow("huge body announced") << QByteArray("CONTENT-LENGTH: ")
                                             << QByteArray("CONTENT-LENGTH: 99999") << false << 413;
        QTest::newRow("more body than announced") << end << end + "  " << false << 400;
        QTest::newRow("malformed body") << end << QByteArray("<e:propertyset>") << true << 400;
        QTest::newRow("body not a property set")
            << QByteArray("e:propertyset") << QByteArray("e:propertyget") << true << 400;
        QTest::newRow("huge head")
            << QByteArray("\r\nSEQ:") << "\r\nX-PAD: " + QByteArray(9000, 'a') + "\r\nSEQ:" << true
            << 400;
    }

    void refusesHostileCallbacks()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(bool, trueLength);
        QFETCH(int, status);
        FakeSpeaker speaker({.events = Events::Silent});
        QVERIFY(speaker.start());
        auto options = shortTimers();
        options.firstEventTimeout = 60s;
        ZoneGroupEvents events(options);
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        events.start({speaker.location()});
        QTRY_COMPARE(events.mode(), Mode::Subscribed);

        const QByteArray genuine = speaker.eventRequest();
        QByteArray request = genuine;
        QVERIFY(request.contains(from));
        request.replace(request.indexOf(from), from.size(), to);
        RawClient hostile(speaker.callbackUrl(), trueLength ? withTrueLength(request) : request);
        QTRY_VERIFY(hostile.closed);
        QCOMPARE(hostile.status(), status);

        // Nothing came of it, and the genuine event still gets through.
        RawClient good(speaker.callbackUrl(), genuine);
        QTRY_VERIFY(good.closed);
        QCOMPARE(good.status(), 200);
        QCOMPARE(states.size(), 1);
    }

    void boundsConnections()
    {
        FakeSpeaker speaker({.events = Events::Silent});
        QVERIFY(speaker.start());
        auto options = shortTimers();
        options.firstEventTimeout = 60s;
        ZoneGroupEvents events(options);
        QSignalSpy states(&events, &ZoneGroupEvents::groupStateChanged);
        events.start({speaker.location()});
        QTRY_COMPARE(events.mode(), Mode::Subscribed);

        // Eight idle clients take every place; the ninth is turned away at once.
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 8; ++i)
            idle.push_back(std::make_unique<RawClient>(speaker.callbackUrl(), "NOTIFY /"));
        QTest::qWait(50);
        RawClient turnedAway(speaker.callbackUrl(), speaker.eventRequest());
        QTRY_VERIFY(turnedAway.closed);
        QCOMPARE(turnedAway.status(), 503);

        // The idle ones are dropped after the request time-out, without an answer.
        for (const auto& client : idle) {
            QTRY_VERIFY(client->closed);
            QVERIFY(client->reply.isEmpty());
        }
        RawClient good(speaker.callbackUrl(), speaker.eventRequest());
        QTRY_VERIFY(good.closed);
        QCOMPARE(good.status(), 200);
        QCOMPARE(states.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestZoneGroupEvents)
#include "tst_ZoneGroupEvents.moc"
