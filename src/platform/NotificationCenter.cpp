#include "platform/NotificationCenter.h"

NotificationCenter& NotificationCenter::shared()
{
    static NotificationCenter* instance = new NotificationCenter; // lives as long as the process
    return *instance;
}
