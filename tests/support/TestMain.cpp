// The main of every test executable that does not bring its own: Qt's
// database drivers, sockets and event loop want an application object, and
// the event loop runs on the server's own epoll dispatcher.
#include "EpollEventDispatcher.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    TEpollEventDispatcher::InstallForMainThread();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
