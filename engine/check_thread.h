// A second thread for the verifier's work on frame n (its decode and block
// scan, or its restart on a key frame) while the caller's thread compresses
// frame n + 1. One job at a time; the thread that posts also waits.
#pragma once

struct CheckThread;

// Starts the thread; null when none can be made (the caller then works alone).
CheckThread* check_thread_start();
// Runs job(arg) on the thread. The previous job must have been waited for.
void check_thread_post(CheckThread* t, void (*job)(void*), void* arg);
// Returns once the last job posted has finished; at once when none is running.
void check_thread_wait(CheckThread* t);
// Waits for the last job, ends the thread and frees it. Safe with null.
void check_thread_stop(CheckThread* t);
