#include "platform/DesktopEntry.h"

#include <QStringDecoder>

namespace {

const QString mainGroup = QStringLiteral("Desktop Entry");

} // namespace

std::optional<DesktopEntry> DesktopEntry::parse(const QByteArray& text)
{
    if (text.size() > maxSize)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder(text);
    if (decoder.hasError())
        return std::nullopt;

    DesktopEntry entry;
    bool seenGroup = false;
    bool inMainGroup = false;
    const QStringList lines = decoded.split(QLatin1Char('\n'));
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            const QString group = line.mid(1, line.size() - 2);
            if (!seenGroup && group != mainGroup)
                return std::nullopt;
            if (seenGroup && group == mainGroup)
                return std::nullopt; // a second [Desktop Entry] makes the file invalid
            seenGroup = true;
            inMainGroup = group == mainGroup;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!seenGroup || equals <= 0)
            return std::nullopt;
        const QString key = line.left(equals).trimmed();
        if (key.isEmpty())
            return std::nullopt;
        if (inMainGroup)
            entry.set(key, unescapeString(QStringView(line).mid(equals + 1).trimmed()));
    }
    if (!seenGroup)
        return std::nullopt;
    return entry;
}

void DesktopEntry::set(const QString& key, const QString& value)
{
    for (auto& pair : m_keys) {
        if (pair.first == key) {
            pair.second = value;
            return;
        }
    }
    m_keys.append({key, value});
}

std::optional<QString> DesktopEntry::value(const QString& key) const
{
    for (const auto& pair : m_keys) {
        if (pair.first == key)
            return pair.second;
    }
    return std::nullopt;
}

QByteArray DesktopEntry::toText() const
{
    QString text = QLatin1Char('[') + mainGroup + QStringLiteral("]\n");
    for (const auto& pair : m_keys)
        text += pair.first + QLatin1Char('=') + escapeString(pair.second) + QLatin1Char('\n');
    return text.toUtf8();
}

QString DesktopEntry::quoteExecArgument(const QString& argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

std::optional<QStringList> DesktopEntry::splitExec(const QString& exec)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                current += exec.at(++i);
            } else {
                current += c;
            }
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inArgument)
                arguments << current.replace(QStringLiteral("%%"), QStringLiteral("%"));
            current.clear();
            inArgument = false;
        } else {
            inArgument = true;
            if (c == QLatin1Char('"'))
                quoted = true;
            else
                current += c;
        }
    }
    if (quoted)
        return std::nullopt;
    if (inArgument)
        arguments << current.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return arguments;
}

QString DesktopEntry::escapeString(const QString& value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            escaped += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            escaped += QStringLiteral("\\r");
        else if (c == QLatin1Char(' ') && i == 0)
            escaped += QStringLiteral("\\s"); // a leading space would be trimmed on reading
        else
            escaped += c;
    }
    return escaped;
}

QString DesktopEntry::unescapeString(QStringView value)
{
    QString plain;
    plain.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            plain += c;
            continue;
        }
        const QChar next = value.at(++i);
        if (next == QLatin1Char('s'))
            plain += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            plain += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            plain += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            plain += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            plain += QLatin1Char('\\');
        else
            plain.append(c).append(next); // not an escape: keep both
    }
    return plain;
}
