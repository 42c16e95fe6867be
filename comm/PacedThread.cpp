#include "PacedThread.h"

void TPacedThread::Start(std::function<void()> loop) {
    if (thread_.joinable())
        return;
    {
        std::lock_guard guard(lock_);
        stopping_ = false;
    }
    thread_ = std::thread(std::move(loop));
}

void TPacedThread::Stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    signal_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool TPacedThread::Pause(std::chrono::milliseconds time) {
    std::unique_lock guard(lock_);
    return !signal_.wait_for(guard, time, [this] { return stopping_; });
}
