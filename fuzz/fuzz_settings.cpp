// The stored settings document: whatever is read is saved so that it reads
// back to the same speaker table.
#include "FuzzTarget.h"

#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "settings/Settings.h"

#include <QFileInfo>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // In memory where there is a tmpfs: every save syncs the file to disk.
    static QTemporaryDir dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                 ? QStringLiteral("/dev/shm/corvane-fuzz-XXXXXX")
                                 : QString());
    static const bool quiet = [] {
        Logging::setThreshold(Logging::Level::Error);
        return true;
    }();
    Q_UNUSED(quiet);
    DefaultsStore store(dir.path());
    const QString key = QLatin1String(Settings::storeKey);
    store.remove(key);
    store.remove(key + QLatin1String(Settings::unreadableSuffix));
    if (!store.setValue(key, fuzzBytes(data, size)))
        fuzzFail("cannot write the document to read");

    QList<QUrl> locations;
    QList<DeviceSettings> devices;
    {
        Settings settings(store);
        locations = settings.deviceLocations();
        devices = settings.devices();
        if (!settings.save())
            fuzzFail("cannot save the document read");
    }
    const Settings reloaded(store);
    if (reloaded.deviceLocations() != locations || reloaded.devices() != devices)
        fuzzFail("the speaker table does not read back as saved");
    for (const QUrl& location : locations) {
        if (!reloaded.device(location))
            fuzzFail("a speaker is not found under its own location");
    }
    return 0;
}
