#pragma once

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUrl>

#include <pugixml.hpp>

#include <memory>
#include <optional>

// A speaker as its UPnP description tells it, plus where the description came
// from and the SERVER header of its SSDP answer. Built once, never changed.
struct DeviceInfo {
    // One entry of the description's icon list; copies of a DeviceInfo share them.
    struct Icon {
        std::optional<qint64> id;
        std::optional<QString> mimetype;
        std::optional<qint64> width;
        std::optional<qint64> height;
        std::optional<qint64> depth;
        std::optional<QUrl> url;

        Icon() = default;
        // url is resolved against location; nothing here can fail.
        Icon(const pugi::xml_node& xml, const QUrl& location);

        QJsonObject toJson() const;
        static std::optional<Icon> fromJson(const QJsonValue& value, QString* error = nullptr);

        bool operator==(const Icon&) const = default;
    };
    using IconPtr = std::shared_ptr<const Icon>;

    QUrl location;
    std::optional<QString> server;
    std::optional<QString> deviceType;
    std::optional<QString> friendlyName;
    std::optional<QString> manufacturer;
    std::optional<QUrl> manufacturerURL;
    std::optional<QString> modelNumber;
    std::optional<QString> modelDescription;
    std::optional<QString> modelName;
    std::optional<QUrl> modelURL;
    std::optional<QString> softwareVersion;
    std::optional<QString> hardwareVersion;
    std::optional<QString> serialNum;
    std::optional<QString> udn;
    QList<IconPtr> iconList;
    std::optional<QString> minCompatibleVersion;
    std::optional<QString> legacyCompatibleVersion;
    std::optional<QString> apiVersion;
    std::optional<QString> displayVersion;
    std::optional<QString> extraVersion;
    std::optional<QString> roomName;
    std::optional<QString> displayName;
    std::optional<qint64> zoneType;
    std::optional<QString> feature1;
    std::optional<QString> feature2;
    std::optional<QString> feature3;
    std::optional<qint64> variant;
    std::optional<qint64> internalSpeakerSize;
    std::optional<float> bassExtension;
    std::optional<float> satGainOffset;
    std::optional<qint64> memory;
    std::optional<qint64> flash;
    std::optional<qint64> flashRepartitioned;
    std::optional<qint64> ampOnTime;
    std::optional<qint64> retailMode;

    DeviceInfo() = default;
    explicit DeviceInfo(const QUrl& location) : location(location) {}
    // xml is the description's device element. Whatever is missing stays absent.
    DeviceInfo(const pugi::xml_node& xml, const QUrl& location,
               const std::optional<QString>& server);

    // "Room - Display", else the friendly name, else the location's host.
    QString defaultName() const;

    QJsonObject toJson() const;
    // Strict: a missing location or iconList, or a value of the wrong type, fails.
    static std::optional<DeviceInfo> fromJson(const QJsonValue& value, QString* error = nullptr);

    // Field-by-field, icons compared by value.
    bool operator==(const DeviceInfo& other) const;
};

Q_DECLARE_METATYPE(DeviceInfo)
