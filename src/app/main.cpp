#include "log/Log.h"
#include "log/Logging.h"

#include "Version.h"

#include <QCoreApplication>

// Placeholder until the application controller lands: logs its start and exits.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Log::shared().attach();
    Logging::setThreshold(Logging::Level::Verbose);
    Logging::installQtMessageHandler();
    Logging::info(QStringLiteral("Corvane %1 started").arg(QLatin1String(corvane::kVersion)));
    return 0;
}
