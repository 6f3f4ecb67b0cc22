#include "parallelwork.h"

#include <QThread>
#include <QtGlobal>

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

int ParallelWork::threadCount(int requested)
{
    return requested > 0 ? qMin(requested, kMaxThreads) : qBound(1, QThread::idealThreadCount(), kMaxThreads);
}

void ParallelWork::run(size_t count, int threads, const std::function<void(size_t)> &work)
{
    std::atomic<size_t> next{0};
    auto drain = [&] {
        for (size_t i = next++; i < count; i = next++)
            work(i);
    };
    std::vector<std::thread> helpers;
    const size_t wanted = size_t(threadCount(threads));
    for (size_t t = 1; t < wanted && t < count; ++t) {
        try {
            helpers.emplace_back(drain);
        } catch (const std::system_error &) {
            break; // fewer threads, same result
        }
    }
    drain();
    for (std::thread &helper : helpers)
        helper.join();
}
