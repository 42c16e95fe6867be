#include "ThreadCheck.h"

#include <QByteArray>
#include <QtGlobal>

#include <mutex>
#include <set>
#include <utility>

void ReportWrongThread(const char *expected, const char *file, int line) {
    if (qEnvironmentVariableIntValue("MMS_STRICT_THREADS") == 1)
        qFatal("%s:%d: called on the wrong thread (expected %s)", file, line, expected);
    // One line per place: a check that fails on every heartbeat must not
    // flood the log.
    static std::mutex lock;
    static std::set<std::pair<const char *, int>> reported;
    {
        std::lock_guard guard(lock);
        if (!reported.insert({file, line}).second)
            return;
    }
    qCritical("%s:%d: called on the wrong thread (expected %s)", file, line, expected);
}
