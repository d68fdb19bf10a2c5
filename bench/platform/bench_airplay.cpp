// Time from an AirPlay service appearing on Avahi (the mock of the tests, on
// a private bus) to AirPlayReceivers reporting it: a browser signal, a
// ResolveService round trip and our bookkeeping. Target: well under 1 s.
#include "platform/AirPlayReceivers.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace std::chrono_literals;

QDBusConnection bus()
{
    return QDBusConnection::sessionBus();
}

QDBusMessage mockCall(const QString& method, const QVariantList& arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(AirPlayReceivers::serviceName),
                                       QStringLiteral("/org/corvane/test/Avahi"),
                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(arguments);
    return call;
}

void BM_ServiceToSignal(benchmark::State& state)
{
    AirPlayReceivers::Options options;
    options.bus = bus();
    AirPlayReceivers receivers(options);
    {
        QEventLoop loop;
        QObject::connect(&receivers, &AirPlayReceivers::availabilityChanged, &loop,
                         &QEventLoop::quit);
        receivers.start();
        loop.exec();
    }
    if (!receivers.isBrowsing()) {
        state.SkipWithError("the Avahi mock is not on the bus");
        return;
    }
    int n = 0;
    double worstMs = 0;
    for (auto _ : state) {
        // A fresh address each time, so each one is a new receiver.
        const QString address = QStringLiteral("198.51.100.%1").arg(1 + n % 250);
        const QString name = QStringLiteral("Speaker %1").arg(n++);
        QEventLoop loop;
        bool found = false;
        QObject::connect(&receivers, &AirPlayReceivers::receiverFound, &loop,
                         [&](const QHostAddress&, const QString& reported) {
                             if (reported == name) {
                                 found = true;
                                 loop.quit();
                             }
                         });
        QTimer::singleShot(10s, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        bus().asyncCall(
            mockCall(QStringLiteral("AddService"),
                     {name, QStringLiteral("_airplay._tcp"), address,
                      QStringLiteral("speaker.local"), QVariant::fromValue(quint16(7000)),
                      QVariant::fromValue(QByteArrayList{"model=Sonos One"})}));
        loop.exec();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        bus().call(
            mockCall(QStringLiteral("RemoveService"), {name, QStringLiteral("_airplay._tcp")}));
        if (!found) {
            state.SkipWithError("no receiverFound within 10 s");
            break;
        }
        state.SetIterationTime(seconds);
        worstMs = std::max(worstMs, seconds * 1e3);
    }
    state.counters["worst_ms"] = worstMs;
}

BENCHMARK(BM_ServiceToSignal)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // Inside a private bus of our own, so no real Avahi or desktop is touched.
    if (!std::getenv("CORVANE_BENCH_PRIVATE_BUS")) {
        setenv("CORVANE_BENCH_PRIVATE_BUS", "1", 1);
        std::vector<char*> args{const_cast<char*>(DBUS_RUN_SESSION),
                                const_cast<char*>("--config-file=" DBUS_SESSION_CONF),
                                const_cast<char*>("--")};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execv(DBUS_RUN_SESSION, args.data());
        std::perror("dbus-run-session");
        return 1;
    }
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<QByteArrayList>();
    QProcess mock;
    mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mock.setStandardOutputFile(QProcess::nullDevice());
    mock.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                QStringLiteral(DBUS_MOCKS_DIR "/avahi.py")});
    QElapsedTimer waited;
    waited.start();
    while (bus().call(mockCall(QStringLiteral("ListBrowsers"), {})).type() !=
               QDBusMessage::ReplyMessage &&
           waited.elapsed() < 10000)
        usleep(50000);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mock.terminate();
    mock.waitForFinished(5000);
    return 0;
}
