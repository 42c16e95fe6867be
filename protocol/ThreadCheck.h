// Thread affinity checks that stay in every build. Code that must run on one
// thread (a server's socket handlers, the link thread's start and stop) says
// so with MMS_ASSERT_THREAD. A check that fails is a fault: with
// MMS_STRICT_THREADS=1 in the environment (every test sets it) the program
// stops at once with the place; otherwise one critical log line per place is
// written and the program goes on, as it would without the check.
#pragma once

#include <QThread>

// Reports a failed check (see above).
void ReportWrongThread(const char *expected, const char *file, int line);

#define MMS_ASSERT_THREAD(expectedThread)                                                          \
    do {                                                                                           \
        if (Q_UNLIKELY(QThread::currentThread() != (expectedThread)))                              \
            ReportWrongThread(#expectedThread, __FILE__, __LINE__);                                \
    } while (false)
