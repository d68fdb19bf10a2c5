#include "bridge/ConfigFile.h"

#include "bridge/BridgeText.h"
#include "platform/SaveFile.h"

namespace {

// The bridge's common settings; the entries follow, then "</airupnp>".
constexpr char kHeader[] = "<?xml version=\"1.0\"?>\n"
                           "<airupnp>\n"
                           "<common>\n"
                           "<enabled>1</enabled>\n"
                           "<max_volume>100</max_volume>\n"
                           "<codec>flac</codec>\n"
                           "<latency>1000:2000</latency>\n"
                           "<remove_count>3</remove_count>\n"
                           "</common>\n"
                           "<main_log>info</main_log>\n"
                           "<upnp_log>info</upnp_log>\n"
                           "<util_log>warn</util_log>\n"
                           "<raop_log>info</raop_log>\n"
                           "<scan_interval>60</scan_interval>\n"
                           "<scan_timeout>10</scan_timeout>\n"
                           "<log_limit>-1</log_limit>\n";

// Element text the bridge reads back as it was meant: an XML parser turns a
// raw CR into LF, so it goes as a character reference.
QString elementText(const QString& text)
{
    return xmlEscape(AttributeValueEscape::NoAttribute, text)
        .replace(QLatin1Char('\r'), QLatin1String("&#13;"));
}

} // namespace

QString xmlEscape(AttributeValueEscape mode, const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    // Per UTF-16 unit, so a '<' followed by a combining accent is still replaced.
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'<':
            escaped += QLatin1String("&lt;");
            break;
        case u'>':
            escaped += QLatin1String("&gt;");
            break;
        case u'&':
            escaped += QLatin1String("&amp;");
            break;
        case u'"':
            escaped += mode == AttributeValueEscape::EscapeQuot ? QLatin1String("&quot;")
                                                                : QLatin1String("\"");
            break;
        case u'\'':
            escaped += mode == AttributeValueEscape::EscapeApos ? QLatin1String("&apos;")
                                                                : QLatin1String("'");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

QByteArray configText(const QList<DeviceSettings>& devices)
{
    QString text = QLatin1String(kHeader);
    for (const DeviceSettings& device : devices) {
        // The bridge can match no speaker to an empty UDN, and trips over such entries.
        const QString udn = BridgeText::withoutForbidden(device.info.udn.value_or(QString()));
        if (udn.isEmpty())
            continue;
        text += QLatin1String("<device>\n  <udn>");
        text += elementText(udn);
        text += QLatin1String("</udn>\n  <name>");
        text += elementText(BridgeText::configName(device.name));
        text += QLatin1String("</name>\n  <enabled>");
        text += device.isBridged() ? QLatin1Char('1') : QLatin1Char('0');
        text += QLatin1String("</enabled>\n</device>\n");
    }
    text += QLatin1String("</airupnp>");
    return text.toUtf8();
}

bool writeConfig(const QString& path, const QList<DeviceSettings>& devices, QString* error)
{
    // Private from the first byte, so the names are never readable by others.
    return saveAtomically(path, configText(devices), true, error);
}
