#include "platform/LaunchOnLogin.h"

#include "log/Logging.h"
#include "platform/DesktopEntry.h"
#include "platform/Launcher.h"
#include "platform/SaveFile.h"

#include "Version.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString category = QStringLiteral("preferences");

QString entryFileName()
{
    return QLatin1String(corvane::kHelperId) + QStringLiteral(".desktop");
}

bool isTrue(const std::optional<QString>& value)
{
    return value && (*value == QLatin1String("true") || *value == QLatin1String("1"));
}

bool isFalse(const std::optional<QString>& value)
{
    return value && (*value == QLatin1String("false") || *value == QLatin1String("0"));
}

} // namespace

QString LaunchOnLogin::defaultAutostartDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

QString LaunchOnLogin::defaultHelperPath()
{
    return Launcher::helperProgramPath(QCoreApplication::applicationFilePath());
}

LaunchOnLogin::LaunchOnLogin(QString autostartDir, QString helperPath)
    : m_autostartDir(std::move(autostartDir)), m_helperPath(std::move(helperPath))
{
}

LaunchOnLogin::~LaunchOnLogin() = default;

QString LaunchOnLogin::entryPath() const
{
    return m_autostartDir + QLatin1Char('/') + entryFileName();
}

std::optional<QString> LaunchOnLogin::enabledEntryHelper() const
{
    // Listing the folder keeps the name check case-sensitive even on a
    // case-insensitive file system.
    const QStringList names =
        QDir(m_autostartDir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    if (!names.contains(entryFileName()))
        return std::nullopt;
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::optional<DesktopEntry> entry =
        DesktopEntry::parse(file.read(DesktopEntry::maxSize + 1));
    if (!entry || isTrue(entry->value(QStringLiteral("Hidden"))) ||
        isFalse(entry->value(QStringLiteral("X-GNOME-Autostart-enabled"))))
        return std::nullopt;
    // The session skips the entry when TryExec names a missing file, so that
    // counts as much as what Exec runs.
    const std::optional<QStringList> exec =
        DesktopEntry::splitExec(entry->value(QStringLiteral("Exec")).value_or(QString()));
    const QString program = exec && !exec->isEmpty() ? exec->first() : QString();
    const QString tryExec = entry->value(QStringLiteral("TryExec")).value_or(program);
    return program != m_helperPath ? program : tryExec;
}

bool LaunchOnLogin::startAtLogin() const
{
    return enabledEntryHelper() == m_helperPath;
}

bool LaunchOnLogin::repairEntry()
{
    const std::optional<QString> helper = enabledEntryHelper();
    if (!helper)
        return false;
    if (*helper == m_helperPath)
        return true;
    QString error;
    if (!writeEntry(&error)) {
        Logging::debug(entryPath() + QStringLiteral(": ") + error, category);
        Logging::error(QStringLiteral("Failed to point start at login from ") + *helper +
                           QStringLiteral(" to ") + m_helperPath,
                       category);
        return false;
    }
    Logging::info(QStringLiteral("Start at login ran ") + *helper + QStringLiteral(", now runs ") +
                      m_helperPath,
                  category);
    return true;
}

void LaunchOnLogin::setStartAtLogin(bool on)
{
    QString error;
    const bool done = on ? writeEntry(&error) : removeEntry(&error);
    const QString action = on ? QStringLiteral("enable") : QStringLiteral("disable");
    if (done) {
        Logging::info((on ? QStringLiteral("Enabled") : QStringLiteral("Disabled")) +
                          QStringLiteral(" start at login"),
                      category);
    } else {
        Logging::debug(entryPath() + QStringLiteral(": ") + error, category);
        Logging::error(QStringLiteral("Failed to ") + action + QStringLiteral(" start at login"),
                       category);
    }
}

bool LaunchOnLogin::writeEntry(QString* error) const
{
    if (!QDir().mkpath(m_autostartDir)) {
        *error = QStringLiteral("cannot create the autostart folder");
        return false;
    }
    DesktopEntry entry;
    entry.set(QStringLiteral("Type"), QStringLiteral("Application"));
    entry.set(QStringLiteral("Name"), QStringLiteral("Corvane"));
    entry.set(QStringLiteral("Comment"), QStringLiteral("Starts Corvane at login"));
    entry.set(QStringLiteral("Exec"), DesktopEntry::quoteExecArgument(m_helperPath));
    entry.set(QStringLiteral("TryExec"), m_helperPath);
    entry.set(QStringLiteral("Icon"), QLatin1String(corvane::kAppId));
    entry.set(QStringLiteral("Terminal"), QStringLiteral("false"));
    entry.set(QStringLiteral("X-GNOME-Autostart-enabled"), QStringLiteral("true"));
    // Give the panel a moment, so the tray icon finds its host at once.
    entry.set(QStringLiteral("X-GNOME-Autostart-Delay"), QStringLiteral("2"));
    entry.set(QStringLiteral("X-KDE-autostart-after"), QStringLiteral("panel"));
    entry.set(QStringLiteral("X-LXQt-Need-Tray"), QStringLiteral("true"));

    return saveAtomically(entryPath(), entry.toText(), false, error);
}

bool LaunchOnLogin::removeEntry(QString* error) const
{
    const QFileInfo info(entryPath());
    if (!info.exists() && !info.isSymLink())
        return true; // nothing registered: the wanted state already holds
    QFile file(entryPath());
    if (!file.remove()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
