#pragma once

#include "app/AppDelegate.h"
#include "platform/CrashReporter.h"
#include "platform/LaunchOnLogin.h"
#include "support/Household.h"

// A household with what the delegate needs besides: a crash reporter and an
// autostart folder of its own (launching repairs the entry found there).
struct DelegateHome : Household {
    AppDelegate::Services services()
    {
        return {&settings, &discovery, &bridge, &reporter, nullptr, &launchOnLogin};
    }

    CrashReporter reporter{dir.filePath(QStringLiteral("state")), QString()};
    LaunchOnLogin launchOnLogin{dir.filePath(QStringLiteral("autostart")),
                                QStringLiteral("/x/corvane-helper")};
};
