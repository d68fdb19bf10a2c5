#pragma once

#include "platform/CrashReporter.h"

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// Asks the user about a crash of the last session: "Save Report…" writes the
// report (crash file and logs) where the user chooses, "Discard" drops it.
// Non-blocking: the alert and the save panel open over the event loop.
class CrashReportDialog {
public:
    CrashReportDialog() = delete;

    // Fits CrashReporter::setPresenter.
    static void present(const CrashReport& report, std::function<void()> done,
                        QWidget* parent = nullptr);

    // For tests: the save panel answers with this path (empty: cancelled)
    // instead of opening.
    static void setNextSavePath(const std::optional<QString>& path);
};
