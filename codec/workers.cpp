#include "codec/workers.h"

#include <cfenv>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

struct CodecWorkers {
    std::mutex lock;
    std::condition_variable wake;  // a new run or the end, for the workers
    std::condition_variable done;  // a worker is through with the run, for the caller
    unsigned generation = 0;       // counts runs, so that a worker takes each one once
    void (*job)(void*, int) = nullptr;
    void* arg = nullptr;
    int count = 0;
    int next = 0;     // the next job index to hand out
    int busy = 0;     // workers not yet through with this run
    bool quit = false;
    std::fenv_t env{};  // the caller's, for the jobs
    std::thread threads[codec_workers_max - 1];
    int n_threads = 0;
};

namespace {

// Hands out job indices until none is left; -1 then. Under the lock.
int claim(CodecWorkers& w) { return w.next < w.count ? w.next++ : -1; }

void work(CodecWorkers* w) {
    std::unique_lock<std::mutex> hold(w->lock);
    // Runs start only after every thread was made: none has been counted yet,
    // however late this thread gets here.
    unsigned seen = 0;
    for (;;) {
        w->wake.wait(hold, [&] { return w->quit || w->generation != seen; });
        if (w->quit) return;
        seen = w->generation;
        // Bit-exact results on every thread: the same rounding and precision as the caller's.
        std::fesetenv(&w->env);
        void (*job)(void*, int) = w->job;
        void* arg = w->arg;
        for (int i = claim(*w); i >= 0; i = claim(*w)) {
            hold.unlock();
            job(arg, i);
            hold.lock();
        }
        if (--w->busy == 0) w->done.notify_one();
    }
}

}  // namespace

CodecWorkers* codec_workers_start(int threads) {
    if (threads <= 1) return nullptr;
    if (threads > codec_workers_max) threads = codec_workers_max;
    auto* w = new (std::nothrow) CodecWorkers;
    if (!w) return nullptr;
    for (int k = 0; k < threads - 1; ++k) {
        try {
            w->threads[k] = std::thread(work, w);
        } catch (const std::system_error&) {
            break;
        }
        ++w->n_threads;
    }
    if (!w->n_threads) {
        delete w;
        return nullptr;
    }
    return w;
}

void codec_workers_run(CodecWorkers* w, int count, void (*job)(void*, int), void* arg) {
    if (!w || count <= 1) {
        for (int i = 0; i < count; ++i) job(arg, i);
        return;
    }
    std::unique_lock<std::mutex> hold(w->lock);
    std::fegetenv(&w->env);
    w->job = job;
    w->arg = arg;
    w->count = count;
    w->next = 0;
    w->busy = w->n_threads;
    ++w->generation;
    w->wake.notify_all();
    for (int i = claim(*w); i >= 0; i = claim(*w)) {
        hold.unlock();
        job(arg, i);
        hold.lock();
    }
    // Every worker must have seen this run before the next one starts.
    w->done.wait(hold, [w] { return w->busy == 0; });
    w->job = nullptr;
    w->arg = nullptr;
}

void codec_workers_stop(CodecWorkers* w) {
    if (!w) return;
    {
        std::lock_guard<std::mutex> hold(w->lock);
        w->quit = true;
        w->wake.notify_all();
    }
    for (int k = 0; k < w->n_threads; ++k) w->threads[k].join();
    delete w;
}
