// fake-speaker: one or more fake Sonos speakers for end-to-end tests and benchmarks.
// Prints one "speaker ..." line per speaker and then "ready"; runs until killed,
// and dies with its parent.
#include "lab/FakeSpeaker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>

namespace {

[[noreturn]] void usageError(const QString& message)
{
    std::fprintf(stderr, "fake-speaker: %s\n", qPrintable(message));
    std::exit(2);
}

int intOption(const QCommandLineParser& parser, const QString& name, int minimum, int maximum)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        usageError(QStringLiteral("--%1 wants a number from %2 to %3")
                       .arg(name)
                       .arg(minimum)
                       .arg(maximum));
    return value;
}

} // namespace

int main(int argc, char* argv[])
{
    prctl(PR_SET_PDEATHSIG, SIGTERM); // a test that dies takes its speakers along
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Fake Sonos speakers answering SSDP and HTTP."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("address"), QStringLiteral("Address of the first speaker."),
         QStringLiteral("ip"), QStringLiteral("127.0.0.2")},
        {QStringLiteral("count"), QStringLiteral("Speakers on consecutive addresses."),
         QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("multicast"),
         QStringLiteral("Listen on port 1900 and join 239.255.255.250 on the interface holding "
                        "the address.")},
        {QStringLiteral("announce"),
         QStringLiteral("Send an ssdp:alive NOTIFY to 239.255.255.250:1900 once started.")},
        {QStringLiteral("regroup-when"),
         QStringLiteral("Once this file exists, tell the event subscriber that the speaker "
                        "joined another group."),
         QStringLiteral("file")},
        {QStringLiteral("firmware"),
         QStringLiteral("old (players in /status/topology) or current."), QStringLiteral("kind"),
         QStringLiteral("current")},
        {QStringLiteral("ssdp-spread"), QStringLiteral("Wait a random time up to this to answer."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("udn"), QStringLiteral("UDN of the first speaker, without uuid:."),
         QStringLiteral("udn")},
        {QStringLiteral("room"), QStringLiteral("Room name."), QStringLiteral("name"),
         QStringLiteral("Kitchen")},
        {QStringLiteral("group"), QStringLiteral("Zone group ID."), QStringLiteral("id")},
        {QStringLiteral("not-coordinator"),
         QStringLiteral("The speaker does not coordinate its group.")},
    });
    parser.process(app);

    FakeSpeakerConfig base;
    base.address = QHostAddress(parser.value(QStringLiteral("address")));
    if (base.address.protocol() != QAbstractSocket::IPv4Protocol)
        usageError(QStringLiteral("--address wants an IPv4 address"));
    base.multicast = parser.isSet(QStringLiteral("multicast"));
    base.ssdpPort = base.multicast ? 1900 : 0;
    const QString firmware = parser.value(QStringLiteral("firmware"));
    if (firmware != QLatin1String("old") && firmware != QLatin1String("current"))
        usageError(QStringLiteral("unknown --firmware"));
    base.firmware = firmware == QLatin1String("old") ? FakeSpeakerConfig::Firmware::Old
                                                     : FakeSpeakerConfig::Firmware::Current;
    base.ssdpSpreadMs = intOption(parser, QStringLiteral("ssdp-spread"), 0, 600000);
    base.roomName = parser.value(QStringLiteral("room"));
    base.group = parser.value(QStringLiteral("group"));
    base.coordinator = !parser.isSet(QStringLiteral("not-coordinator"));
    const int count = intOption(parser, QStringLiteral("count"), 1, 1000);

    for (int i = 0; i < count; ++i) {
        FakeSpeakerConfig config = base;
        config.address = QHostAddress(base.address.toIPv4Address() + quint32(i));
        config.udn =
            (i == 0 && parser.isSet(QStringLiteral("udn")))
                ? parser.value(QStringLiteral("udn"))
                : QStringLiteral("RINCON_48A6B8%1").arg(i, 6, 16, QLatin1Char('0')).toUpper() +
                      QStringLiteral("01400");
        if (count > 1)
            config.roomName = base.roomName + QStringLiteral(" %1").arg(i + 1);
        auto* speaker = new FakeSpeaker(config, &app);
        QString error;
        if (!speaker->start(&error)) {
            std::fprintf(stderr, "fake-speaker: %s: %s\n", qPrintable(config.address.toString()),
                         qPrintable(error));
            return 1;
        }
        if (parser.isSet(QStringLiteral("announce"))) {
            // From the speaker's own address, as listeners check the sender.
            auto* announcer = new QUdpSocket(&app);
            if (announcer->bind(config.address, 0)) {
                announcer->setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(2));
                announcer->writeDatagram(speaker->ssdpNotify("ssdp:alive"),
                                         QHostAddress(QStringLiteral("239.255.255.250")), 1900);
            }
        }
        if (parser.isSet(QStringLiteral("regroup-when"))) {
            const QString trigger = parser.value(QStringLiteral("regroup-when"));
            auto* poll = new QTimer(speaker);
            QObject::connect(poll, &QTimer::timeout, speaker, [speaker, poll, trigger] {
                if (!QFile::exists(trigger) || speaker->callbackUrl().isEmpty())
                    return;
                poll->stop();
                const FakeSpeakerConfig& c = speaker->config();
                speaker->sendEvent(
                    QStringLiteral("<ZoneGroupState><ZoneGroups><ZoneGroup "
                                   "Coordinator=\"RINCON_000E58AABBCC01400\" "
                                   "ID=\"RINCON_000E58AABBCC01400:9\"><ZoneGroupMember "
                                   "UUID=\"%1\" Location=\"%2\" ZoneName=\"%3\"/></ZoneGroup>"
                                   "</ZoneGroups></ZoneGroupState>")
                        .arg(c.udn, speaker->location().toString(), c.roomName.toHtmlEscaped())
                        .toUtf8());
                std::printf("regrouped %.3f\n", double(QDateTime::currentMSecsSinceEpoch()) / 1000);
                std::fflush(stdout);
            });
            poll->start(20);
        }
        std::printf("speaker %d udn=%s ssdp=%s:%u http=%s:%u location=%s\n", i,
                    qPrintable(config.udn), qPrintable(config.address.toString()),
                    speaker->ssdpPort(), qPrintable(config.address.toString()), speaker->httpPort(),
                    speaker->location().toEncoded().constData());
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
