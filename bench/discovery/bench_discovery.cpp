// Discovery of a large household: N fake speakers (a separate fake-speaker
// process, so only discovery's own work is measured) on 127.0.0.2 and up.
// Figures per search: time from the first SSDP answer to the last
// "deviceDiscovered" (the manual time), from the last answer to the last
// announcement, CPU per speaker, and the process's peak resident memory.
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPDiscoverySession.h"
#include "log/Logging.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>

namespace {

using namespace std::chrono_literals;
constexpr int kSpeakers = 200;

// who: RUSAGE_SELF (every thread, Qt's HTTP thread too) or RUSAGE_THREAD (the main loop).
double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// Times the SSDP answers as they reach the program.
class TimedDiscovery : public DeviceDiscovery {
public:
    using DeviceDiscovery::DeviceDiscovery;
    void discoveredDevice(const SSDPMSearchResponse& response,
                          SSDPDiscoverySession& session) override
    {
        if (!firstAnswer)
            firstAnswer = clock.nsecsElapsed();
        lastAnswer = clock.nsecsElapsed();
        DeviceDiscovery::discoveredDevice(response, session);
    }
    QElapsedTimer clock;
    std::optional<qint64> firstAnswer;
    qint64 lastAnswer = 0;
};

// One fake-speaker process per variant, started on first use and ended at exit.
struct Household {
    std::unique_ptr<QProcess> process;
    QList<SSDPDestination> destinations;
};

std::map<int, Household>& households()
{
    static std::map<int, Household> all;
    return all;
}

Household& household(int spreadMs, bool oldFirmware)
{
    const int variant = spreadMs * 2 + (oldFirmware ? 1 : 0);
    Household& h = households()[variant];
    if (h.process)
        return h;
    // Each variant gets its own block of loopback addresses.
    const QString first = QStringLiteral("127.0.%1.2").arg(households().size());
    h.process = std::make_unique<QProcess>();
    h.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    h.process->start(QStringLiteral(FAKE_SPEAKER_PATH),
                     {QStringLiteral("--count"), QString::number(kSpeakers),
                      QStringLiteral("--address"), first, QStringLiteral("--ssdp-spread"),
                      QString::number(spreadMs), QStringLiteral("--firmware"),
                      oldFirmware ? QStringLiteral("old") : QStringLiteral("current")});
    QByteArray output;
    while (!output.contains("ready\n") && h.process->waitForReadyRead(10000))
        output += h.process->readAllStandardOutput();
    for (const QByteArray& line : output.split('\n')) {
        const qsizetype at = line.indexOf(" ssdp=");
        if (at < 0)
            continue;
        const QList<QByteArray> endpoint =
            line.mid(at + 6, line.indexOf(' ', at + 1) - at - 6).split(':');
        h.destinations.append(
            {QHostAddress(QString::fromLatin1(endpoint.value(0))), endpoint.value(1).toUShort()});
    }
    return h;
}

void BM_Discover(benchmark::State& state)
{
    const int spreadMs = int(state.range(0));
    Household& h = household(spreadMs, state.range(1) != 0);
    if (h.destinations.size() != kSpeakers) {
        state.SkipWithError("the fake speakers did not start");
        return;
    }
    // The app keeps its log in memory; keep a comparable receiver attached.
    std::deque<QString> buffer;
    Logging::setThreshold(Logging::Level::Info);
    Logging::setReceiver([&buffer](Logging::Level, const Logging::Category&, const QString& line) {
        buffer.push_back(line);
        if (buffer.size() > 1000)
            buffer.pop_front();
    });

    double cpuTotal = 0, mainCpuTotal = 0, lastAnswerToLastMs = 0, firstToLastMs = 0;
    for (auto _ : state) {
        DeviceDiscovery::Options options;
        options.ssdp.destinations = h.destinations;
        TimedDiscovery discovery(options);
        int announced = 0;
        qint64 lastAnnounced = 0;
        QEventLoop loop;
        const auto connection = QObject::connect(
            &discovery, &DeviceDiscovery::deviceDiscovered, &loop,
            [&](const SSDPMSearchResponse&, const DeviceInfo&, const DeviceTopology&) {
                lastAnnounced = discovery.clock.nsecsElapsed();
                if (++announced == kSpeakers)
                    loop.quit();
            });
        QTimer::singleShot(30s, &loop, &QEventLoop::quit);

        const double cpuBefore = cpuSeconds();
        const double mainCpuBefore = cpuSeconds(RUSAGE_THREAD);
        discovery.clock.start();
        discovery.searchForDevices(std::nullopt);
        loop.exec();
        discovery.stopSearching();
        const double cpu = cpuSeconds() - cpuBefore;
        const double mainCpu = cpuSeconds(RUSAGE_THREAD) - mainCpuBefore;
        QObject::disconnect(connection);
        if (announced != kSpeakers || !discovery.firstAnswer) {
            state.SkipWithError("not every speaker was announced within 30 s");
            break;
        }
        const double seconds = double(lastAnnounced - *discovery.firstAnswer) / 1e9;
        state.SetIterationTime(seconds);
        cpuTotal += cpu;
        mainCpuTotal += mainCpu;
        firstToLastMs += seconds * 1e3;
        lastAnswerToLastMs += double(lastAnnounced - discovery.lastAnswer) / 1e6;
    }
    Logging::setReceiver({});
    const double n = double(state.iterations());
    state.counters["speakers"] = kSpeakers;
    state.counters["first_answer_to_last_announce_ms"] = firstToLastMs / n;
    state.counters["last_answer_to_last_announce_ms"] = lastAnswerToLastMs / n;
    state.counters["cpu_per_speaker_us"] = cpuTotal / n / kSpeakers * 1e6;
    state.counters["main_thread_cpu_per_speaker_us"] = mainCpuTotal / n / kSpeakers * 1e6;
    state.counters["peak_rss_MiB"] = peakRssMiB();
}

// Arguments: answer spread in ms (0: all at once, the worst burst; 1000: over
// MX = 1 s as real speakers answer) and firmware (0: current, three fetches
// per speaker; 1: old, two).
BENCHMARK(BM_Discover)
    ->ArgNames({"spread_ms", "old_firmware"})
    ->Args({0, 0})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::printf("peak RSS before the first search: %.1f MiB\n", peakRssMiB());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto& [spread, h] : households()) {
        h.process->terminate();
        h.process->waitForFinished(5000);
    }
    return 0;
}
