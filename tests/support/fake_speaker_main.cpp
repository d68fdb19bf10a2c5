// fake-speaker: one or more fake Sonos speakers for end-to-end tests and benchmarks.
// Prints one "speaker ..." line per speaker and then "ready"; runs until killed,
// and dies with its parent.
#include "support/FakeSpeaker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <map>

namespace {

template <typename Enum>
bool pick(const QString& text, const std::map<QString, Enum>& names, Enum* value)
{
    const auto it = names.find(text);
    if (it == names.end())
        return false;
    *value = it->second;
    return true;
}

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
        {QStringLiteral("ssdp-port"), QStringLiteral("SSDP port (0: any; 1900 with --multicast)."),
         QStringLiteral("port")},
        {QStringLiteral("http-port"), QStringLiteral("HTTP port (0: any)."), QStringLiteral("port"),
         QStringLiteral("0")},
        {QStringLiteral("multicast"),
         QStringLiteral("Join 239.255.255.250 on the interface holding the address.")},
        {QStringLiteral("firmware"),
         QStringLiteral("old (players in /status/topology) or current."), QStringLiteral("kind"),
         QStringLiteral("current")},
        {QStringLiteral("description"),
         QStringLiteral("normal, html-error, not-xml, no-udn, boost, huge, huge-declared."),
         QStringLiteral("mode"), QStringLiteral("normal")},
        {QStringLiteral("topology"), QStringLiteral("normal, not-found or no-answer."),
         QStringLiteral("mode"), QStringLiteral("normal")},
        {QStringLiteral("zone-group-state-fails"),
         QStringLiteral("GetZoneGroupState answers with a SOAP fault.")},
        {QStringLiteral("zone-group-state"), QStringLiteral("Serve this ZoneGroupState document."),
         QStringLiteral("file")},
        {QStringLiteral("silent"), QStringLiteral("Never answer M-SEARCH.")},
        {QStringLiteral("answers"), QStringLiteral("Answers per M-SEARCH."), QStringLiteral("n"),
         QStringLiteral("1")},
        {QStringLiteral("ssdp-delay"), QStringLiteral("Wait before answering M-SEARCH."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("ssdp-spread"), QStringLiteral("Plus a random wait up to this."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("http-delay"), QStringLiteral("Wait before every HTTP answer."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("udn"), QStringLiteral("UDN of the first speaker, without uuid:."),
         QStringLiteral("udn")},
        {QStringLiteral("room"), QStringLiteral("Room name."), QStringLiteral("name"),
         QStringLiteral("Kitchen")},
        {QStringLiteral("model"), QStringLiteral("Model name."), QStringLiteral("name"),
         QStringLiteral("Sonos One")},
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
    base.ssdpPort = quint16(parser.isSet(QStringLiteral("ssdp-port"))
                                ? intOption(parser, QStringLiteral("ssdp-port"), 0, 65535)
                                : (base.multicast ? 1900 : 0));
    base.httpPort = quint16(intOption(parser, QStringLiteral("http-port"), 0, 65535));
    using C = FakeSpeakerConfig;
    if (!pick(parser.value(QStringLiteral("firmware")),
              {{QStringLiteral("old"), C::Firmware::Old},
               {QStringLiteral("current"), C::Firmware::Current}},
              &base.firmware))
        usageError(QStringLiteral("unknown --firmware"));
    if (!pick(parser.value(QStringLiteral("description")),
              {{QStringLiteral("normal"), C::Description::Normal},
               {QStringLiteral("html-error"), C::Description::HtmlError},
               {QStringLiteral("not-xml"), C::Description::NotXml},
               {QStringLiteral("no-udn"), C::Description::NoUdn},
               {QStringLiteral("boost"), C::Description::Boost},
               {QStringLiteral("huge"), C::Description::Huge},
               {QStringLiteral("huge-declared"), C::Description::HugeDeclared}},
              &base.description))
        usageError(QStringLiteral("unknown --description"));
    if (!pick(parser.value(QStringLiteral("topology")),
              {{QStringLiteral("normal"), C::Topology::Normal},
               {QStringLiteral("not-found"), C::Topology::NotFound},
               {QStringLiteral("no-answer"), C::Topology::NoAnswer}},
              &base.topology))
        usageError(QStringLiteral("unknown --topology"));
    base.zoneGroupStateFails = parser.isSet(QStringLiteral("zone-group-state-fails"));
    base.ssdpSilent = parser.isSet(QStringLiteral("silent"));
    base.answersPerSearch = intOption(parser, QStringLiteral("answers"), 0, 100);
    base.ssdpDelayMs = intOption(parser, QStringLiteral("ssdp-delay"), 0, 600000);
    base.ssdpSpreadMs = intOption(parser, QStringLiteral("ssdp-spread"), 0, 600000);
    base.httpDelayMs = intOption(parser, QStringLiteral("http-delay"), 0, 600000);
    base.roomName = parser.value(QStringLiteral("room"));
    base.modelName = parser.value(QStringLiteral("model"));
    if (base.description == C::Description::Boost)
        base.modelName = QStringLiteral("Sonos BOOST");
    base.group = parser.value(QStringLiteral("group"));
    base.coordinator = !parser.isSet(QStringLiteral("not-coordinator"));
    if (parser.isSet(QStringLiteral("zone-group-state"))) {
        QFile file(parser.value(QStringLiteral("zone-group-state")));
        if (!file.open(QIODevice::ReadOnly))
            usageError(QStringLiteral("cannot read ") + file.fileName());
        base.zoneGroupState = file.readAll();
    }
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
        std::printf("speaker %d udn=%s ssdp=%s:%u http=%s:%u location=%s\n", i,
                    qPrintable(config.udn), qPrintable(config.address.toString()),
                    speaker->ssdpPort(), qPrintable(config.address.toString()), speaker->httpPort(),
                    speaker->location().toEncoded().constData());
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
