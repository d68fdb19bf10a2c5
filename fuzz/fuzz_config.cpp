// The bridge's configuration for names and UDNs of any UTF-16 content: the
// input, read as UTF-16 units, splits at U+001E into UDN, name, UDN, name...
// Whatever they hold, the file is well-formed XML 1.0 and reads back to the
// cleaned names.
#include "FuzzTarget.h"

#include "bridge/BridgeText.h"
#include "bridge/ConfigFile.h"
#include "model/XmlText.h"

#include <QStringDecoder>

namespace {

// As the bridge sees it: unlike QString::fromUtf8, keeps a leading U+FEFF.
QString textOf(const pugi::xml_node& entry, const char* name)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return utf8.decode(QByteArrayView(entry.child(name).text().get()));
}

bool allowedInXml(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString units;
    for (size_t i = 0; i + 1 < size; i += 2)
        units += QChar(char16_t(data[i] | (data[i + 1] << 8)));
    const QStringList fields = units.split(QChar(0x1E));
    QList<DeviceSettings> devices;
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
        DeviceSettings device{
            fields[i + 1], {}, DeviceTopology(true, QStringLiteral("G:0")), (i / 2) % 2 == 0};
        if (!fields[i].isEmpty() || (i / 2) % 3 != 0)
            device.info.udn = fields[i];
        devices.append(device);
    }

    const QByteArray text = configText(devices);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(text);
    if (utf8.hasError())
        fuzzFail("the configuration is not UTF-8");
    for (const char32_t c : decoded.toUcs4()) {
        if (!allowedInXml(c))
            fuzzFail("the configuration holds a character XML 1.0 forbids");
    }
    pugi::xml_document document;
    if (!XmlText::parse(document, text))
        fuzzFail("the configuration does not parse");

    pugi::xml_node entry = document.child("airupnp").child("device");
    for (const DeviceSettings& device : devices) {
        const QString udn = BridgeText::withoutForbidden(device.info.udn.value_or(QString()));
        if (udn.isEmpty())
            continue;
        if (!entry)
            fuzzFail("a speaker with a UDN has no entry");
        const QString name = textOf(entry, "name");
        if (textOf(entry, "udn") != udn || name != BridgeText::configName(device.name))
            fuzzFail("an entry does not read back to the cleaned UDN and name");
        if (name.toUtf8().size() > BridgeText::kMaxNameBytes)
            fuzzFail("a name is longer than the bridge takes");
        entry = entry.next_sibling("device");
    }
    if (entry)
        fuzzFail("an entry too many");
    return 0;
}
