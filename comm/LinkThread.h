// The thread that runs the links: the equipment and client servers, their
// timers and every hand-off from their workers. It runs on the epoll
// dispatcher (unless MMS_EVENT_DISPATCHER is "glib"), so that a turn of its
// loop costs what is ready rather than what is open, whatever the thread that
// draws a window does meanwhile.
//
// The thread starts with the object and ends with it; work is handed to it
// with Run (waits for the result) or Post (does not).
#pragma once

#include <QObject>
#include <QThread>

#include <functional>

class TLinkThread {
public:
    TLinkThread();
    // Ends the loop and waits for the thread: whatever lives on it must have
    // gone before.
    ~TLinkThread();
    TLinkThread(const TLinkThread &) = delete;
    TLinkThread &operator=(const TLinkThread &) = delete;

    QThread *Thread() { return &thread_; }
    // An object living on the thread: the context to queue work to.
    QObject *Context() { return context_; }
    // True on the link thread itself.
    bool IsCurrent() const { return QThread::currentThread() == &thread_; }

    // Runs `work` on the link thread and returns when it has run (directly
    // when called there). Never call it from a thread the link thread waits
    // on.
    void Run(const std::function<void()> &work);
    // Queues `work` to the link thread.
    void Post(std::function<void()> work);

private:
    QThread thread_;
    QObject *context_ = nullptr; // lives on thread_, deleted when it ends
};
