#include "engine/check_thread.h"

#include <cfenv>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

struct CheckThread {
    std::mutex lock;
    std::condition_variable wake;  // a job or the end for the thread; a finished job for the poster
    void (*job)(void*) = nullptr;  // set while a job waits or runs
    void* arg = nullptr;
    bool quit = false;
    std::thread thread;
};

namespace {

void run(CheckThread* t) {
    std::unique_lock<std::mutex> hold(t->lock);
    for (;;) {
        t->wake.wait(hold, [t] { return t->job || t->quit; });
        if (!t->job) return;
        void (*job)(void*) = t->job;
        void* arg = t->arg;
        hold.unlock();
        // The codec's decoder runs here as it would on the main thread: from
        // the default floating-point environment.
        std::fesetenv(FE_DFL_ENV);
        job(arg);
        hold.lock();
        t->job = nullptr;
        t->wake.notify_all();
    }
}

}  // namespace

CheckThread* check_thread_start() {
    auto* t = new (std::nothrow) CheckThread;
    if (!t) return nullptr;
    try {
        t->thread = std::thread(run, t);
    } catch (const std::system_error&) {
        delete t;
        return nullptr;
    }
    return t;
}

void check_thread_post(CheckThread* t, void (*job)(void*), void* arg) {
    std::lock_guard<std::mutex> hold(t->lock);
    t->job = job;
    t->arg = arg;
    t->wake.notify_all();
}

void check_thread_wait(CheckThread* t) {
    if (!t) return;
    std::unique_lock<std::mutex> hold(t->lock);
    t->wake.wait(hold, [t] { return !t->job; });
}

void check_thread_stop(CheckThread* t) {
    if (!t) return;
    {
        std::unique_lock<std::mutex> hold(t->lock);
        t->wake.wait(hold, [t] { return !t->job; });
        t->quit = true;
        t->wake.notify_all();
    }
    t->thread.join();
    delete t;
}
