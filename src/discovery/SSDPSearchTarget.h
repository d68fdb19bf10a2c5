#pragma once

#include <QString>

// What an M-SEARCH asks for: every device, root devices, or one device or
// service type of a schema, written as the ST header of UPnP Device
// Architecture 1.1.
class SSDPSearchTarget {
public:
    enum class Kind { All, RootDevice, DeviceType, ServiceType };

    // The UPnP forum's own schema domain.
    static inline const QString upnpOrgSchema = QStringLiteral("schemas-upnp-org");

    static SSDPSearchTarget all();
    static SSDPSearchTarget rootDevice();
    static SSDPSearchTarget deviceType(const QString& schema, const QString& type, int version);
    static SSDPSearchTarget serviceType(const QString& schema, const QString& type, int version);

    Kind kind() const { return m_kind; }
    // The ST header value, for example urn:schemas-upnp-org:device:ZonePlayer:1.
    QString toString() const;

    // Whether an answer's ST names a service type (urn:<domain>:service:<type>:<v>);
    // every other target an answer can carry names a device.
    static bool isServiceTarget(const QString& searchTarget);

private:
    SSDPSearchTarget(Kind kind, QString schema, QString type, int version);

    Kind m_kind;
    QString m_schema;
    QString m_type;
    int m_version;
};
