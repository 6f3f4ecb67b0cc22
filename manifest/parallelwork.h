#ifndef PARALLELWORK_H
#define PARALLELWORK_H

#include <cstddef>
#include <functional>

// Runs independent pieces of work (hashing files, mostly) on several
// threads at once, the caller's included, and returns once all are done.
class ParallelWork
{
public:
    // More threads than this buy nothing on any disk or page cache.
    static constexpr int kMaxThreads = 64;

    // The threads to use when `requested` are asked for: 0 means one per
    // processor core; at most kMaxThreads.
    static int threadCount(int requested);

    // Calls work(i) once for every i from 0 to count - 1, on up to
    // threadCount(threads) threads, in increasing order of i as threads
    // become free (put the largest pieces first). work must be safe to run
    // on several threads at once. A thread that cannot be started leaves
    // its share to the others.
    static void run(size_t count, int threads, const std::function<void(size_t)> &work);
};

#endif // PARALLELWORK_H
