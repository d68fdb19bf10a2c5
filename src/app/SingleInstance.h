#pragma once

#include "platform/InstanceLock.h"

#include <QObject>

class SessionBus;

// One Corvane per user. The first instance owns its identifier on the session
// bus and holds the instance lock; a later one asks it over the bus to show
// its preferences window and exits. Without a bus the lock alone decides.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.corvane.Corvane.Application")
public:
    static constexpr char objectPath[] = "/org/corvane/Corvane";

    explicit SingleInstance(SessionBus& bus, QString lockPath = InstanceLock::defaultPath(),
                            QObject* parent = nullptr);

    // True when this process is the one Corvane; false after handing over.
    bool claim();

public Q_SLOTS:
    // Called over the bus by a second instance.
    Q_SCRIPTABLE void ShowPreferences();

Q_SIGNALS:
    void showPreferencesRequested();

private:
    SessionBus& m_bus;
    InstanceLock m_lock;
};
