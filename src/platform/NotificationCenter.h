#pragma once

#include "discovery/SSDPMSearchResponse.h"
#include "model/DeviceInfo.h"
#include "model/DeviceTopology.h"

#include <QObject>

// The in-process notification centre: one signal per notification, posted by
// emitting. Observers connect directly and keep the QMetaObject::Connection as
// their token for removing themselves.
class NotificationCenter : public QObject {
    Q_OBJECT
public:
    static NotificationCenter& shared();

Q_SIGNALS:
    void discoveryStarted();
    void deviceDiscovered(const SSDPMSearchResponse& response, const DeviceInfo& deviceInfo,
                          const DeviceTopology& deviceTopology);
    void discoveryComplete();
    void serviceStarted();
    void serviceReady();
    void serviceTerminated();
    void deviceSettingsChanged();
    void appStopped();

private:
    NotificationCenter() = default;
};

Q_DECLARE_METATYPE(DeviceInfo)
Q_DECLARE_METATYPE(DeviceTopology)
