// A few threads kept for the life of a coder, so that the parts of one
// picture run beside the caller's thread without a thread made per picture.
#pragma once

#pragma GCC visibility push(hidden)

struct CodecWorkers;

// threads in all, the caller's included (at most codec_workers_max). Null for
// one thread or when no thread can be made: the caller then works alone.
CodecWorkers* codec_workers_start(int threads);
constexpr int codec_workers_max = 16;

// Runs job(arg, i) for every i in 0..count-1, each once, spread over the
// workers and the calling thread, and returns when all have finished. The
// jobs see the caller's floating-point environment. With null w all run on
// the calling thread, in order. One run at a time per pool.
void codec_workers_run(CodecWorkers* w, int count, void (*job)(void*, int), void* arg);

// Ends the threads and frees the pool. Safe with null.
void codec_workers_stop(CodecWorkers* w);

#pragma GCC visibility pop
