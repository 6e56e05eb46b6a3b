#pragma once

#include "analysis/analysiserror.h"

#include <QtGlobal>

#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// Runs work(task, worker) for the tasks [0, count) on up to threads threads, and hands each
// result to merge(task, result) on the calling thread in task order, so that sums made in
// merge come out the same, bit for bit, whatever the number of threads. Few results wait
// at a time. The first exception of a task or of merge ends the run and is rethrown.
template <class Result, class Work, class Merge>
void runInOrder(size_t count, int threads, Work work, Merge merge)
{
    if (threads <= 1 || count <= 1) {
        for (size_t task = 0; task < count; ++task) {
            merge(task, work(task, 0));
        }
        return;
    }
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    size_t merged = 0;
    bool stop = false;
    std::exception_ptr error;
    std::map<size_t, Result> ready;
    const size_t window = size_t(threads) * 2;
    const auto failWith = [&](std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) {
            error = e;
        }
        stop = true;
        changed.notify_all();
    };
    const auto worker = [&](int index) {
        for (;;) {
            size_t task = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop || next >= count || next < merged + window; });
                if (stop || next >= count) {
                    return;
                }
                task = next++;
            }
            try {
                Result result = work(task, index);
                std::lock_guard<std::mutex> lock(mutex);
                ready.emplace(task, std::move(result));
                changed.notify_all();
            } catch (...) {
                failWith(std::current_exception());
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back(worker, i);
    }
    try {
        while (merged < count) {
            Result result;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop || ready.count(merged) > 0; });
                if (stop) {
                    break;
                }
                auto it = ready.find(merged);
                result = std::move(it->second);
                ready.erase(it);
            }
            merge(merged, std::move(result));
            std::lock_guard<std::mutex> lock(mutex);
            ++merged;
            changed.notify_all();
        }
    } catch (...) {
        failWith(std::current_exception());
    }
    for (std::thread& t : pool) {
        t.join();
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

// How far an in-order merge has come: the rows whose bands are added up, for another thread
// to wait on.
class MergedRows {
public:
    void advance(qint64 rows)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_rows = rows;
        }
        m_changed.notify_all();
    }
    void fail()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_failed = true;
        }
        m_changed.notify_all();
    }
    // Waits until the bands of rows [0, rows) are added and returns how many are; ends the
    // writing (AnalysisError) when the count failed, which says why.
    qint64 waitFor(qint64 rows)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_failed || m_rows >= rows; });
        if (m_rows < rows) {
            throw AnalysisError{};
        }
        return m_rows;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_rows = 0;
    bool m_failed = false;
};
