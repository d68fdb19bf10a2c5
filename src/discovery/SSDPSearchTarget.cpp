#include "discovery/SSDPSearchTarget.h"

#include <QStringList>

SSDPSearchTarget::SSDPSearchTarget(Kind kind, QString schema, QString type, int version)
    : m_kind(kind), m_schema(std::move(schema)), m_type(std::move(type)), m_version(version)
{
}

SSDPSearchTarget SSDPSearchTarget::all()
{
    return SSDPSearchTarget(Kind::All, {}, {}, 0);
}

SSDPSearchTarget SSDPSearchTarget::rootDevice()
{
    return SSDPSearchTarget(Kind::RootDevice, {}, {}, 0);
}

SSDPSearchTarget SSDPSearchTarget::deviceType(const QString& schema, const QString& type,
                                              int version)
{
    return SSDPSearchTarget(Kind::DeviceType, schema, type, version);
}

SSDPSearchTarget SSDPSearchTarget::serviceType(const QString& schema, const QString& type,
                                               int version)
{
    return SSDPSearchTarget(Kind::ServiceType, schema, type, version);
}

QString SSDPSearchTarget::toString() const
{
    switch (m_kind) {
    case Kind::All:
        return QStringLiteral("ssdp:all");
    case Kind::RootDevice:
        return QStringLiteral("upnp:rootdevice");
    case Kind::DeviceType:
        return QStringLiteral("urn:%1:device:%2:%3").arg(m_schema, m_type).arg(m_version);
    case Kind::ServiceType:
        break;
    }
    return QStringLiteral("urn:%1:service:%2:%3").arg(m_schema, m_type).arg(m_version);
}

bool SSDPSearchTarget::isServiceTarget(const QString& searchTarget)
{
    const QStringList parts = searchTarget.split(QLatin1Char(':'));
    return parts.size() == 5 && parts[0].compare(QLatin1String("urn"), Qt::CaseInsensitive) == 0 &&
           parts[2].compare(QLatin1String("service"), Qt::CaseInsensitive) == 0;
}
