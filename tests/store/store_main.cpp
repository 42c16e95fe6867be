// Test entry of the store suites: Qt's SQL drivers want an application
// object. A suite built with MMS_TEST_TZ runs in that time zone, so that the
// date arithmetic is checked away from UTC as well.
#include "EpollEventDispatcher.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <ctime>

int main(int argc, char **argv) {
#ifdef MMS_TEST_TZ
    qputenv("TZ", MMS_TEST_TZ);
    tzset();
#endif
    TEpollEventDispatcher::InstallForMainThread();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
