#include "LinkThread.h"

#include "EpollEventDispatcher.h"

TLinkThread::TLinkThread() {
    thread_.setObjectName(QStringLiteral("links"));
    if (auto dispatcher = TEpollEventDispatcher::ForNewThread())
        thread_.setEventDispatcher(dispatcher.release()); // the thread owns it
    context_ = new QObject;
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

TLinkThread::~TLinkThread() {
    thread_.quit();
    thread_.wait();
}

void TLinkThread::Run(const std::function<void()> &work) {
    if (IsCurrent())
        work();
    else
        QMetaObject::invokeMethod(context_, work, Qt::BlockingQueuedConnection);
}

void TLinkThread::Post(std::function<void()> work) {
    QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
}
