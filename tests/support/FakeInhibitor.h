#pragma once

#include "platform/SleepInhibitor.h"

#include <QDBusConnection>
#include <QString>

// Stands in for the bus services: answers only when the test says so, like a
// bus that has not replied yet. Its calls go into the trace: i inhibit, r release.
class FakeInhibitor : public SleepInhibitor {
public:
    FakeInhibitor() : SleepInhibitor(QDBusConnection(QString()), QDBusConnection(QString())) {}
    void inhibit(const QString&) override { trace += u'i'; }
    void release() override { trace += u'r'; }
    void answer(bool granted) { emit finished(granted); }
    QString trace;
};
