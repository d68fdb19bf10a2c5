#pragma once

#include "model/DeviceSettings.h"

#include <QByteArray>
#include <QList>
#include <QString>

// How xmlEscape treats quotes: text content, or an attribute value delimited
// by double quotes or by apostrophes.
enum class AttributeValueEscape { NoAttribute, EscapeQuot, EscapeApos };

// Replaces <, > and & always, and the delimiting quote of an attribute value;
// everything else is copied unchanged.
QString xmlEscape(AttributeValueEscape mode, const QString& text);

// The bridge's configuration text for these records, one entry each, in the
// order given; a record without UDN gets none. Names and UDNs lose what XML
// 1.0 forbids, and names are cut to what the bridge takes (BridgeText).
QByteArray configText(const QList<DeviceSettings>& devices);

// Writes configText(devices) to path atomically, readable by the user alone.
// On failure the earlier file stays as it was and error describes why.
bool writeConfig(const QString& path, const QList<DeviceSettings>& devices,
                 QString* error = nullptr);
