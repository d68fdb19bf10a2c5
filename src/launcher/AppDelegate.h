#pragma once

#include <QObject>
#include <QString>

#include <functional>

class SessionBus;

namespace launcher {

// The whole of corvane-helper, the program XDG autostart runs at login: start
// Corvane unless it already runs, then wait until Corvane tells us to quit.
// "Corvane runs" means it owns org.corvane.Corvane on the session bus; with no
// session bus at all, that it holds its instance lock.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Starts a program detached from us; answers whether it started.
    using LaunchFunction = std::function<bool(const QString& program)>;

    AppDelegate(SessionBus& bus, QString helperPath, QString instanceLockPath,
                QObject* parent = nullptr);

    // Test seam; the default is QProcess::startDetached.
    void setLaunchFunction(LaunchFunction launch);

    void applicationDidFinishLaunching();

    // Asks the application to quit (terminateRequested); main() wires that to
    // QCoreApplication::quit.
    void terminate();

Q_SIGNALS:
    void terminateRequested();

private:
    void launchMainProgram();

    SessionBus& m_bus;
    QString m_helperPath;
    QString m_instanceLockPath;
    LaunchFunction m_launch;
};

} // namespace launcher
