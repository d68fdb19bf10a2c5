#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// The keys of a freedesktop.org desktop entry's [Desktop Entry] group: enough
// to write an autostart entry and to read one back. Keys are case-sensitive;
// other groups are skipped.
class DesktopEntry {
public:
    // Entries we read are small; anything bigger is not one of ours.
    static constexpr qsizetype maxSize = 64 * 1024;

    // Parses the text of a desktop entry; nullopt unless it is one: UTF-8, at
    // most maxSize bytes, only comments before the first group, which is
    // [Desktop Entry], and every other line a group header or key=value.
    static std::optional<DesktopEntry> parse(const QByteArray& text);

    // Keeps insertion order; a key set twice keeps its last value.
    void set(const QString& key, const QString& value);
    std::optional<QString> value(const QString& key) const;

    // The text of the entry, values escaped as desktop entry strings.
    QByteArray toText() const;

    // One argument of an Exec line, quoted so any path survives: enclosed in
    // double quotes with ", `, $ and \ escaped, and % doubled.
    static QString quoteExecArgument(const QString& argument);

    // The arguments of an Exec value (string escapes already undone); nullopt
    // when quoting is unbalanced. Field codes are left as they are.
    static std::optional<QStringList> splitExec(const QString& exec);

private:
    static QString escapeString(const QString& value);
    static QString unescapeString(QStringView value);

    QList<QPair<QString, QString>> m_keys;
};
