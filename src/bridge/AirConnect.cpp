#include "bridge/AirConnect.h"

#include "Version.h"
#include "bridge/ConfigFile.h"
#include "bridge/LeftoverBridges.h"
#include "log/Logging.h"
#include "platform/UserTempDir.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

const QString kCategory = QStringLiteral("AirConnect");

// Low priority that still keeps audio smooth on a busy machine.
constexpr int kBridgeNiceness = 10;

QString auxiliaryFolder()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../libexec/corvane"));
}

QString auxiliaryExecutable(const QString& name)
{
    return auxiliaryFolder() + QLatin1Char('/') + name;
}

bool isExecutableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

// airupnp.xml in the user's private temporary folder; empty when there is none.
QString defaultConfigPath(QString* error)
{
    const QString folder = UserTempDir::path(error);
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/airupnp.xml");
}

// Runs in the child between fork and exec: async-signal-safe calls only.
void prepareChild(pid_t parent)
{
    if (::getpriority(PRIO_PROCESS, 0) < kBridgeNiceness)
        ::setpriority(PRIO_PROCESS, 0, kBridgeNiceness);
    // A crash of ours must not leave an orphan bridge behind.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        ::_exit(127); // we died before the request above took effect
    // Blocked or ignored signals survive exec; the bridge must see SIGTERM.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    // Descriptors opened without O_CLOEXEC (by us or a library) must not reach
    // the bridge, which would hold our sockets and files open for its life.
    // Marked close-on-exec rather than closed: QProcess reports a failed exec
    // through a pipe of its own that has to stay open until then.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        // Kernels before 5.11: every descriptor up to the limit, one by one.
        rlimit limit{};
        const rlim_t end =
            ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                ? limit.rlim_cur
                : 65536;
        for (rlim_t fd = 3; fd < end; ++fd) {
            const int flags = ::fcntl(int(fd), F_GETFD);
            if (flags >= 0 && !(flags & FD_CLOEXEC))
                ::close(int(fd));
        }
    }
}

} // namespace

AirConnect& AirConnect::shared()
{
    // Never destroyed: quitting ends the bridge through stopAndWait.
    static AirConnect* instance = new AirConnect;
    return *instance;
}

AirConnect::AirConnect(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
    _startTimer.setSingleShot(true);
    _startTimer.setInterval(m_options.watchdogInterval);
    connect(&_startTimer, &QTimer::timeout, this, &AirConnect::watchdogTimerExpired);
}

AirConnect::~AirConnect()
{
    for (QProcess* run : std::as_const(m_runs)) {
        disconnect(run, nullptr, this, nullptr);
        if (run->state() != QProcess::NotRunning) {
            run->kill();
            run->waitForFinished(1000);
        }
    }
}

QString AirConnect::configPath() const
{
    if (!m_options.configPath.isEmpty())
        return m_options.configPath;
    return defaultConfigPath(nullptr);
}

QString AirConnect::bridgePath() const
{
    if (!m_options.bridgePath.isEmpty())
        return isExecutableFile(m_options.bridgePath) ? m_options.bridgePath : QString();
    return findBridge();
}

QString AirConnect::findBridge(QStringList* lookedAt)
{
    const QString name = QString::fromUtf8(corvane::kBridgeName);
    const QString auxiliary = auxiliaryExecutable(name);
    if (lookedAt)
        *lookedAt = QStringList{auxiliary, name + QStringLiteral(" on PATH")};
    if (isExecutableFile(auxiliary))
        return auxiliary;
    return QStandardPaths::findExecutable(name);
}

QString AirConnect::installFolder() const
{
    if (!m_options.bridgePath.isEmpty())
        return QFileInfo(m_options.bridgePath).absolutePath();
    return auxiliaryFolder();
}

QString AirConnect::installFileName() const
{
    if (!m_options.bridgePath.isEmpty())
        return QFileInfo(m_options.bridgePath).fileName();
    return QString::fromUtf8(corvane::kBridgeName);
}

QString AirConnect::missingBridgeGuidance() const
{
    return QStringLiteral("AirConnect is not installed. Download ") + installFileName() +
           QStringLiteral(" from ") + QLatin1String(releasesUrl) + QStringLiteral(", put it in ") +
           installFolder() + QStringLiteral(" and make it executable; then turn Corvane on.");
}

qint64 AirConnect::processId() const
{
    return process ? process->processId() : 0;
}

QList<qint64> AirConnect::livingProcessIds() const
{
    QList<qint64> pids;
    for (const QProcess* run : m_runs)
        if (run->state() != QProcess::NotRunning)
            pids.append(run->processId());
    return pids;
}

void AirConnect::start(const QList<DeviceSettings>& devices)
{
    Q_ASSERT(QThread::currentThread() == thread());

    // A run still here is replaced; it is asked to end like a stopped one.
    if (process) {
        retire(process);
        process = nullptr;
    }
    _ready = false;

    QString tempError;
    const QString config =
        m_options.configPath.isEmpty() ? defaultConfigPath(&tempError) : m_options.configPath;
    const QStringList arguments{QStringLiteral("-Z"), QStringLiteral("-x"), config};
    const QString bridge = bridgePath();
    if (!bridge.isEmpty() && tempError.isEmpty())
        endLeftovers(bridge, arguments);

    const QString configUrl = QUrl::fromLocalFile(config).toString();
    QString error;
    bool haveConfig = false;
    if (!tempError.isEmpty()) {
        Logging::error(QStringLiteral("Failed to write config file to ") + configUrl +
                           QStringLiteral(" - ") + tempError,
                       kCategory);
    } else if (writeConfig(config, devices, &error)) {
        Logging::info(QStringLiteral("Wrote config file to ") + configUrl, kCategory);
        haveConfig = true;
    } else {
        Logging::error(QStringLiteral("Failed to write config file to ") + configUrl +
                           QStringLiteral(" - ") + error,
                       kCategory);
        // The earlier file still names the speakers the bridge may offer.
        haveConfig = QFileInfo(config).isFile();
    }

    m_bridgeMissing = bridge.isEmpty();
    if (m_bridgeMissing) {
        QStringList lookedAt{m_options.bridgePath};
        if (m_options.bridgePath.isEmpty())
            findBridge(&lookedAt);
        // Once per run: every later start would only repeat it.
        if (!std::exchange(m_guidanceLogged, true))
            Logging::warning(missingBridgeGuidance(), kCategory);
        failBeforeLaunch(lookedAt.join(QStringLiteral(", ")) +
                         QStringLiteral(" - not found or not executable"));
        return;
    }
    // No file to name: a bridge without one would offer every renderer on the network.
    if (!tempError.isEmpty()) {
        failBeforeLaunch(bridge + QStringLiteral(" - no private folder for its config file"));
        return;
    }
    if (!haveConfig) {
        failBeforeLaunch(bridge + QStringLiteral(" - no config file"));
        return;
    }

    auto* run = new QProcess(this);
    run->setProcessChannelMode(QProcess::MergedChannels);
    run->setProgram(bridge);
    run->setArguments(arguments);
    run->setChildProcessModifier([parent = ::getpid()] { prepareChild(parent); });
    connect(run, &QProcess::started, this, [this, run] { announceStarted(run); });
    connect(run, &QProcess::readyReadStandardOutput, this, [this, run] { onOutput(run); });
    connect(run, &QProcess::finished, this, [this, run] { onFinished(run); });
    connect(run, &QProcess::errorOccurred, this, [this, run](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onLaunchFailed(run);
    });
    m_runs.append(run);
    process = run;
    m_latest = run;
    m_announced = false;

    _startTimer.start();
    // QProcess learns whether exec succeeded only later; "serviceStarted"
    // waits for that, so a failed launch never reads as a started bridge.
    run->start();
}

void AirConnect::failBeforeLaunch(const QString& what)
{
    Logging::error(QStringLiteral("Failed to launch ") + what, kCategory);
    _startTimer.stop();
    m_latest = nullptr; // a replaced run ending later is not this start's end
    emit serviceTerminated();
}

void AirConnect::announceStarted(QProcess* run)
{
    if (run != process || m_announced)
        return;
    m_announced = true;
    emit serviceStarted();
}

void AirConnect::endLeftovers(const QString& bridge, const QStringList& arguments)
{
    QList<pid_t> ours;
    for (const qint64 pid : livingProcessIds())
        ours.append(pid_t(pid));
    const QList<pid_t> leftovers = LeftoverBridges::find(bridge, arguments, ours);
    if (leftovers.isEmpty())
        return;
    QStringList pids;
    for (const pid_t pid : leftovers)
        pids.append(QString::number(pid));
    Logging::info(QStringLiteral("Ending bridge left by an earlier run: ") +
                      pids.join(QStringLiteral(", ")),
                  kCategory);
    const QList<pid_t> killed = LeftoverBridges::end(leftovers, m_options.leftoverWait);
    for (const pid_t pid : killed)
        Logging::warning(QStringLiteral("Killed bridge left by an earlier run: ") +
                             QString::number(pid),
                         kCategory);
}

void AirConnect::onOutput(QProcess* run)
{
    announceStarted(run); // output can be handled before the start report
    const QByteArray chunk = run->readAll();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(chunk);
    if (decoder.hasError())
        return; // not valid UTF-8: dropped
    const QString text = decoded.trimmed();
    if (text.isEmpty())
        return;
    // Only the current run can make the bridge ready; a stopped one is ending.
    if (run == process && !_ready && text.contains(QLatin1String(readyMarker))) {
        _ready = true;
        _startTimer.stop();
        emit serviceReady();
    }
    Logging::debug(text, kCategory);
}

void AirConnect::onFinished(QProcess* run)
{
    const bool latest = run == m_latest;
    forget(run);
    if (!latest) {
        Logging::debug(QStringLiteral("An earlier airupnp run ended"), kCategory);
        return;
    }
    // The watchdog is left alone: it fires later, finds nothing running and says so.
    process = nullptr;
    _ready = false;
    Logging::info(QStringLiteral("Terminated"), kCategory);
    emit serviceTerminated();
}

void AirConnect::onLaunchFailed(QProcess* run)
{
    const bool latest = run == m_latest;
    Logging::error(QStringLiteral("Failed to launch ") + run->program() + QStringLiteral(" - ") +
                       run->errorString(),
                   kCategory);
    forget(run);
    if (!latest)
        return;
    // Back to Stopped at once, so the status shows the bridge stopped.
    process = nullptr;
    _ready = false;
    _startTimer.stop();
    emit serviceTerminated();
}

void AirConnect::watchdogTimerExpired()
{
    _startTimer.stop();
    if (!_ready) {
        Logging::error(QStringLiteral("airupnp is not in a usable state, terminating"), kCategory);
        stop();
    }
}

void AirConnect::stop()
{
    _startTimer.stop();
    _ready = false;
    if (process)
        retire(process);
    process = nullptr;
}

void AirConnect::retire(QProcess* run)
{
    if (run->state() == QProcess::NotRunning)
        return; // its report is on its way, or it never started
    run->terminate();
    // A bridge can hang while flushing its renderers; it gets killTimeout, then SIGKILL.
    QTimer::singleShot(m_options.killTimeout, run, [run] {
        if (run->state() == QProcess::NotRunning)
            return;
        Logging::warning(QStringLiteral("airupnp did not end after SIGTERM, killing it"),
                         kCategory);
        run->kill();
    });
}

void AirConnect::forget(QProcess* run)
{
    m_runs.removeOne(run);
    if (m_latest == run)
        m_latest = nullptr;
    run->disconnect(this);
    run->deleteLater();
}

bool AirConnect::stopAndWait(int msecs)
{
    stop();
    const QDeadlineTimer deadline(msecs);
    bool clean = true;
    // Copies: the finished handlers below remove runs from m_runs.
    const QList<QPointer<QProcess>> runs(m_runs.cbegin(), m_runs.cend());
    for (const QPointer<QProcess>& run : runs) {
        if (!run || run->state() == QProcess::NotRunning)
            continue;
        if (run->waitForFinished(int(qMax<qint64>(0, deadline.remainingTime()))))
            continue;
        clean = false;
        Logging::warning(QStringLiteral("airupnp did not end in time at quit, killing it"),
                         kCategory);
        if (run) {
            run->kill();
            run->waitForFinished(1000);
        }
    }
    return clean;
}
