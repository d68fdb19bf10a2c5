#include "platform/SystemSleep.h"

#include "log/Logging.h"
#include "platform/SleepInhibitor.h"

#include <QObject>
#include <QPointer>

#include <deque>

namespace {

struct State {
    QPointer<SleepInhibitor> inhibitor; // a test's inhibitor may go first
    SleepInhibitor* defaultInhibitor = nullptr;
    QMetaObject::Connection connection;
    QMetaObject::Connection renewal;
    quint32 assertionID = 0;
    std::optional<qint32> creationResult;
    bool pending = false;
    // Calls made while the bus had not answered yet, oldest first (true:
    // preventSleep), replayed in order once it has.
    std::deque<bool> deferred;
};

State& state()
{
    static State s;
    return s;
}

void onFinished(bool granted);

void attach(SleepInhibitor* inhibitor)
{
    State& s = state();
    QObject::disconnect(s.connection);
    s.inhibitor = inhibitor;
    s.connection = QObject::connect(inhibitor, &SleepInhibitor::finished, inhibitor, &onFinished);
    QObject::disconnect(s.renewal);
    // A lapsed inhibitor replaced (or not) behind our back: keep the cookie true.
    s.renewal = QObject::connect(inhibitor, &SleepInhibitor::renewed, inhibitor, [](bool granted) {
        State& current = state();
        if (current.creationResult == 0)
            current.assertionID = granted ? current.inhibitor->cookie() : 0;
    });
}

SleepInhibitor* inhibitor()
{
    State& s = state();
    if (!s.inhibitor) {
        if (!s.defaultInhibitor)
            s.defaultInhibitor = new SleepInhibitor; // lives as long as the process
        attach(s.defaultInhibitor);
    }
    return s.inhibitor;
}

// What the state will be once every deferred call has run.
bool lastWanted()
{
    const State& s = state();
    return s.deferred.empty() ? true : s.deferred.back();
}

void onFinished(bool granted)
{
    State& s = state();
    if (!s.pending)
        return;
    s.pending = false;
    s.creationResult = granted ? 0 : -1;
    s.assertionID = granted ? inhibitor()->cookie() : 0;
    if (granted)
        Logging::info(QStringLiteral("Preventing system from idle sleeping"));
    else
        Logging::warning(QStringLiteral("Failed to disable system idle sleep"));

    // Replay until a new creation has to wait for the bus again.
    while (!s.deferred.empty() && !s.pending) {
        const bool prevent = s.deferred.front();
        s.deferred.pop_front();
        if (prevent)
            SystemSleep::preventSleep();
        else
            SystemSleep::allowSleep();
    }
}

} // namespace

void SystemSleep::preventSleep()
{
    State& s = state();
    if (s.pending) {
        if (!lastWanted())
            s.deferred.push_back(true);
        return;
    }
    // At most one inhibitor; a failed creation is not retried before a release.
    if (s.creationResult)
        return;
    s.pending = true;
    inhibitor()->inhibit(QStringLiteral("Corvane is bridging Sonos speakers to AirPlay"));
}

void SystemSleep::allowSleep()
{
    State& s = state();
    if (s.pending) {
        if (lastWanted())
            s.deferred.push_back(false);
        return;
    }
    if (!s.creationResult)
        return;
    // After a failed creation this gives back nothing, harmlessly.
    inhibitor()->release();
    s.creationResult.reset();
    s.assertionID = 0;
    Logging::info(QStringLiteral("Allowing user idle sleep again"));
}

quint32 SystemSleep::assertionID()
{
    return state().assertionID;
}

std::optional<qint32> SystemSleep::creationResult()
{
    return state().creationResult;
}

bool SystemSleep::isCreationOnRecord()
{
    return state().pending || state().creationResult.has_value();
}

void SystemSleep::setInhibitor(SleepInhibitor* replacement)
{
    State& s = state();
    if (s.inhibitor)
        s.inhibitor->release();
    s.pending = false;
    s.deferred.clear();
    s.creationResult.reset();
    s.assertionID = 0;
    QObject::disconnect(s.connection);
    QObject::disconnect(s.renewal);
    s.inhibitor = nullptr;
    if (replacement)
        attach(replacement);
}
