#pragma once

#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Work from many clients shared fairly by a pool of workers. Each source (a client address as
// PeerAddress::source() counts it) has a queue of its own, and the workers serve the sources in
// turn, one job each, so that however many jobs one source has waiting, another's waits for at
// most one job of each source before it. A source that had nothing waiting or running, such as a
// client that sends one request at a time, comes before the sources that keep jobs waiting: its
// job waits only for the first worker that frees. No source has more than `maxRunning` jobs
// running at once, so one source never holds every worker. Thread-safe.
template <typename Job> class FairQueue {
public:
    struct Taken {
        std::string source;
        Job job;
    };

    explicit FairQueue(size_t maxRunningPerSource)
        : maxRunning(maxRunningPerSource > 0 ? maxRunningPerSource : 1)
    {
    }

    void push(const std::string& source, Job job)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed)
                return;
            Source& queue = sources[source];
            if (queue.jobs.empty())
                (queue.running == 0 ? fresh : turns).push_back(source);
            queue.jobs.push_back(std::move(job));
        }
        available.notify_one();
    }

    // The next job whose source may run one more, waiting for one; nothing once closed.
    std::optional<Taken> take()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (closed)
                return std::nullopt;
            for (std::list<std::string>* order : {&fresh, &turns}) {
                for (auto turn = order->begin(); turn != order->end(); ++turn) {
                    Source& queue = sources[*turn];
                    if (queue.running >= maxRunning)
                        continue;
                    Taken taken{*turn, std::move(queue.jobs.front())};
                    queue.jobs.pop_front();
                    ++queue.running;
                    // The source's next job, if any, waits for every other source's turn.
                    if (queue.jobs.empty())
                        order->erase(turn);
                    else
                        turns.splice(turns.end(), *order, turn);
                    return taken;
                }
            }
            available.wait(lock);
        }
    }

    // A job that take() gave for `source` has finished.
    void finished(const std::string& source)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = sources.find(source);
            if (found == sources.end())
                return;
            if (--found->second.running == 0 && found->second.jobs.empty())
                sources.erase(found);
        }
        available.notify_one();
    }

    // Ends every take(), now and later, and hands back the jobs that were waiting, so that the
    // caller destroys them on its own thread.
    std::vector<Job> close()
    {
        std::vector<Job> left;
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
            for (auto& entry : sources) {
                for (Job& job : entry.second.jobs)
                    left.push_back(std::move(job));
            }
            sources.clear();
            fresh.clear();
            turns.clear();
        }
        available.notify_all();
        return left;
    }

private:
    struct Source {
        std::deque<Job> jobs;
        size_t running = 0;
    };

    const size_t maxRunning;
    std::mutex mutex;
    std::condition_variable available;
    std::map<std::string, Source> sources;
    // The sources with jobs waiting, whose turn comes first first: those that were idle, then the rest.
    std::list<std::string> fresh;
    std::list<std::string> turns;
    bool closed = false;
};
