#include "model/DeviceInfo.h"

#include "model/JsonFields.h"
#include "model/XmlText.h"

#include <QJsonArray>

#include <array>

namespace {

template <typename T> struct Field {
    const char* xmlName; // nullptr: not read from the description
    const char* jsonKey;
    std::optional<T> DeviceInfo::*member;
};

const std::array<Field<QString>, 21> kTextFields{{
    {nullptr, "server", &DeviceInfo::server},
    {"deviceType", "deviceType", &DeviceInfo::deviceType},
    {"friendlyName", "friendlyName", &DeviceInfo::friendlyName},
    {"manufacturer", "manufacturer", &DeviceInfo::manufacturer},
    {"modelNumber", "modelNumber", &DeviceInfo::modelNumber},
    {"modelDescription", "modelDescription", &DeviceInfo::modelDescription},
    {"modelName", "modelName", &DeviceInfo::modelName},
    {"softwareVersion", "softwareVersion", &DeviceInfo::softwareVersion},
    {"hardwareVersion", "hardwareVersion", &DeviceInfo::hardwareVersion},
    {"serialNum", "serialNum", &DeviceInfo::serialNum},
    {"UDN", "udn", &DeviceInfo::udn},
    {"minCompatibleVersion", "minCompatibleVersion", &DeviceInfo::minCompatibleVersion},
    {"legacyCompatibleVersion", "legacyCompatibleVersion", &DeviceInfo::legacyCompatibleVersion},
    {"apiVersion", "apiVersion", &DeviceInfo::apiVersion},
    {"displayVersion", "displayVersion", &DeviceInfo::displayVersion},
    {"extraVersion", "extraVersion", &DeviceInfo::extraVersion},
    {"roomName", "roomName", &DeviceInfo::roomName},
    {"displayName", "displayName", &DeviceInfo::displayName},
    {"feature1", "feature1", &DeviceInfo::feature1},
    {"feature2", "feature2", &DeviceInfo::feature2},
    {"feature3", "feature3", &DeviceInfo::feature3},
}};

const std::array<Field<QUrl>, 2> kUrlFields{{
    {"manufacturerURL", "manufacturerURL", &DeviceInfo::manufacturerURL},
    {"modelURL", "modelURL", &DeviceInfo::modelURL},
}};

const std::array<Field<qint64>, 8> kIntegerFields{{
    {"zoneType", "zoneType", &DeviceInfo::zoneType},
    {"variant", "variant", &DeviceInfo::variant},
    {"internalSpeakerSize", "internalSpeakerSize", &DeviceInfo::internalSpeakerSize},
    {"memory", "memory", &DeviceInfo::memory},
    {"flash", "flash", &DeviceInfo::flash},
    {"flashRepartitioned", "flashRepartitioned", &DeviceInfo::flashRepartitioned},
    {"ampOnTime", "ampOnTime", &DeviceInfo::ampOnTime},
    {"retailMode", "retailMode", &DeviceInfo::retailMode},
}};

const std::array<Field<float>, 2> kFloatFields{{
    {"bassExtension", "bassExtension", &DeviceInfo::bassExtension},
    {"satGainOffset", "satGainOffset", &DeviceInfo::satGainOffset},
}};

// Applies f to every optional field table together with its converter from element text.
template <typename F> void forEachField(F&& f)
{
    f(kTextFields, [](const QString& text) { return std::optional<QString>(text); });
    f(kUrlFields, XmlText::toUrl);
    f(kIntegerFields, XmlText::toInteger);
    f(kFloatFields, XmlText::toFloat);
}

std::optional<qint64> integerChild(const pugi::xml_node& xml, const char* name)
{
    const auto text = XmlText::childText(xml, name);
    return text ? XmlText::toInteger(*text) : std::nullopt;
}

} // namespace

DeviceInfo::Icon::Icon(const pugi::xml_node& xml, const QUrl& location)
    : id(integerChild(xml, "id")), mimetype(XmlText::childText(xml, "mimetype")),
      width(integerChild(xml, "width")), height(integerChild(xml, "height")),
      depth(integerChild(xml, "depth"))
{
    if (const auto text = XmlText::childText(xml, "url")) {
        if (const auto reference = XmlText::toUrl(*text)) {
            const QUrl resolved = location.resolved(*reference);
            if (resolved.isValid())
                url = resolved;
        }
    }
}

QJsonObject DeviceInfo::Icon::toJson() const
{
    QJsonObject object;
    JsonFields::write(object, QStringLiteral("id"), id);
    JsonFields::write(object, QStringLiteral("mimetype"), mimetype);
    JsonFields::write(object, QStringLiteral("width"), width);
    JsonFields::write(object, QStringLiteral("height"), height);
    JsonFields::write(object, QStringLiteral("depth"), depth);
    JsonFields::write(object, QStringLiteral("url"), url);
    return object;
}

std::optional<DeviceInfo::Icon> DeviceInfo::Icon::fromJson(const QJsonValue& value, QString* error)
{
    if (!value.isObject()) {
        JsonFields::fail(error, QStringLiteral("an icon is not an object"));
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    Icon icon;
    if (!JsonFields::read(object, QStringLiteral("id"), icon.id, error) ||
        !JsonFields::read(object, QStringLiteral("mimetype"), icon.mimetype, error) ||
        !JsonFields::read(object, QStringLiteral("width"), icon.width, error) ||
        !JsonFields::read(object, QStringLiteral("height"), icon.height, error) ||
        !JsonFields::read(object, QStringLiteral("depth"), icon.depth, error) ||
        !JsonFields::read(object, QStringLiteral("url"), icon.url, error))
        return std::nullopt;
    return icon;
}

DeviceInfo::DeviceInfo(const pugi::xml_node& xml, const QUrl& location,
                       const std::optional<QString>& server)
    : location(location), server(server)
{
    forEachField([&](const auto& fields, auto convert) {
        for (const auto& field : fields) {
            if (!field.xmlName)
                continue;
            if (const auto text = XmlText::childText(xml, field.xmlName))
                this->*field.member = convert(*text);
        }
    });
    for (const pugi::xml_node& entry : xml.child("iconList").children()) {
        if (entry.type() == pugi::node_element)
            iconList.append(std::make_shared<const Icon>(entry, location));
    }
}

QString DeviceInfo::defaultName() const
{
    if (roomName && displayName)
        return *roomName + QStringLiteral(" - ") + *displayName;
    if (friendlyName)
        return *friendlyName;
    if (!location.host().isEmpty())
        return location.host();
    return location.toString(QUrl::FullyEncoded);
}

QJsonObject DeviceInfo::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("location"), JsonFields::urlToJson(location));
    forEachField([&](const auto& fields, auto) {
        for (const auto& field : fields)
            JsonFields::write(object, QLatin1String(field.jsonKey), this->*field.member);
    });
    QJsonArray icons;
    for (const IconPtr& icon : iconList)
        icons.append(icon->toJson());
    object.insert(QStringLiteral("iconList"), icons);
    return object;
}

std::optional<DeviceInfo> DeviceInfo::fromJson(const QJsonValue& value, QString* error)
{
    if (!value.isObject()) {
        JsonFields::fail(error, QStringLiteral("a device description is not an object"));
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const auto location = JsonFields::urlFromJson(object.value(QStringLiteral("location")));
    if (!location) {
        JsonFields::fail(error, QStringLiteral("\"location\" is missing or not a URL"));
        return std::nullopt;
    }
    const QJsonValue icons = object.value(QStringLiteral("iconList"));
    if (!icons.isArray()) {
        JsonFields::fail(error, QStringLiteral("\"iconList\" is missing or not an array"));
        return std::nullopt;
    }

    DeviceInfo info(*location);
    bool ok = true;
    forEachField([&](const auto& fields, auto) {
        for (const auto& field : fields) {
            if (ok)
                ok = JsonFields::read(object, QLatin1String(field.jsonKey), info.*field.member,
                                      error);
        }
    });
    if (!ok)
        return std::nullopt;
    for (const QJsonValue& entry : icons.toArray()) {
        auto icon = Icon::fromJson(entry, error);
        if (!icon)
            return std::nullopt;
        info.iconList.append(std::make_shared<const Icon>(std::move(*icon)));
    }
    return info;
}

bool DeviceInfo::operator==(const DeviceInfo& other) const
{
    if (location != other.location || iconList.size() != other.iconList.size())
        return false;
    for (qsizetype i = 0; i < iconList.size(); ++i) {
        if (!(*iconList[i] == *other.iconList[i]))
            return false;
    }
    bool same = true;
    forEachField([&](const auto& fields, auto) {
        for (const auto& field : fields)
            same = same && this->*field.member == other.*field.member;
    });
    return same;
}
