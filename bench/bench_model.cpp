// Speed of the speaker model and the log buffer.
#include "log/Log.h"
#include "model/DeviceSettings.h"
#include "model/XmlText.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray description()
{
    QFile file(QStringLiteral(TEST_DATA_DIR "/descriptions/sonos-one.xml"));
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    return file.readAll();
}

const QUrl kLocation(QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml"));

void BM_ParseDescription(benchmark::State& state)
{
    const QByteArray bytes = description();
    for (auto _ : state) {
        pugi::xml_document document;
        XmlText::parse(document, bytes);
        DeviceInfo info(document.child("root").child("device"), kLocation, QStringLiteral("Linux"));
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_ParseDescription)->Unit(benchmark::kMicrosecond);

QJsonArray table(int speakers)
{
    const QByteArray bytes = description();
    pugi::xml_document document;
    XmlText::parse(document, bytes);
    QJsonArray devices;
    for (int i = 0; i < speakers; ++i) {
        QUrl location = kLocation;
        location.setHost(QStringLiteral("192.168.1.%1").arg(i + 2));
        DeviceInfo info(document.child("root").child("device"), location, QStringLiteral("Linux"));
        const DeviceSettings settings =
            mergeDiscovered(std::nullopt, info, DeviceTopology(true, QStringLiteral("G%1").arg(i)));
        devices.append(location.toString());
        devices.append(settings.toJson());
    }
    return devices;
}

void BM_WriteTable50(benchmark::State& state)
{
    const QJsonArray devices = table(50);
    QList<DeviceSettings> records;
    for (qsizetype i = 1; i < devices.size(); i += 2)
        records.append(*DeviceSettings::fromJson(devices[i]));
    for (auto _ : state) {
        QJsonArray out;
        for (const DeviceSettings& record : records) {
            out.append(record.info.location.toString());
            out.append(record.toJson());
        }
        const QByteArray text = QJsonDocument(QJsonObject{{QStringLiteral("devices"), out}})
                                    .toJson(QJsonDocument::Compact);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_WriteTable50)->Unit(benchmark::kMicrosecond);

void BM_ReadTable50(benchmark::State& state)
{
    const QByteArray text = QJsonDocument(QJsonObject{{QStringLiteral("devices"), table(50)}})
                                .toJson(QJsonDocument::Compact);
    for (auto _ : state) {
        const QJsonArray devices =
            QJsonDocument::fromJson(text).object().value(QStringLiteral("devices")).toArray();
        QList<DeviceSettings> records;
        for (qsizetype i = 1; i < devices.size(); i += 2)
            records.append(*DeviceSettings::fromJson(devices[i]));
        benchmark::DoNotOptimize(records);
    }
    state.counters["bytes"] = double(text.size());
}
BENCHMARK(BM_ReadTable50)->Unit(benchmark::kMicrosecond);

void BM_LogAppend(benchmark::State& state)
{
    Log log;
    log.setEchoEnabled(false);
    const QString message = QStringLiteral("discoveredDevice(SSDPMSearchResponse(location: "
                                           "http://192.168.1.20:1400/xml/device_description.xml))");
    const std::optional<QString> category = QStringLiteral("SSDP");
    for (auto _ : state)
        log.receive(Logging::Level::Info, category, message);
}
BENCHMARK(BM_LogAppend)->Unit(benchmark::kNanosecond);

void BM_LogDump1000(benchmark::State& state)
{
    Log log;
    log.setEchoEnabled(false);
    for (int i = 0; i < 1000; ++i)
        log.receive(Logging::Level::Info, QStringLiteral("AirConnect"),
                    QStringLiteral("[12:00:00.000] main: adding renderer %1").arg(i));
    for (auto _ : state)
        benchmark::DoNotOptimize(log.dump(1000));
}
BENCHMARK(BM_LogDump1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
