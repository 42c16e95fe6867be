// A worker thread that polls at its own pace and can be stopped between two
// steps: Stop() wakes a pause at once and joins the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class TPacedThread {
public:
    TPacedThread() = default;
    ~TPacedThread() { Stop(); }
    TPacedThread(const TPacedThread &) = delete;
    TPacedThread &operator=(const TPacedThread &) = delete;

    // Starts the thread running the loop (once; later calls do nothing).
    void Start(std::function<void()> loop);
    // Asks the loop to stop, wakes its pause and joins the thread.
    void Stop();
    // Sleeps for the time on the worker thread; false when a stop was asked.
    bool Pause(std::chrono::milliseconds time);

private:
    std::mutex lock_;
    std::condition_variable signal_;
    bool stopping_ = false; // guarded by lock_
    std::thread thread_;
};
