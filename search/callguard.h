#pragma once
// Used by the folder walker only: runs its calls into the file system, on a helper thread
// where the walking thread must never block in the kernel.

#include "walker.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace fotarik::search::detail {

// Runs the walk's calls into the file system. Unguarded they run on the walking thread.
// Guarded they run on a helper thread while the walking thread waits, serving events at
// screen pace: a cancel ends the wait at once, and a call that has not returned within
// budget::HungFolderWait (a folder on a mount that does not answer) is given up. A call
// given up is left to its thread, which is let go; it holds only its own copies and
// shares of what the call needs, so nothing the walk goes on with waits for it.
class CallGuard
{
public:
    // hook, when set, is called before each call, on the thread that makes it, with the
    // path the call concerns.
    CallGuard(WalkSink& sink, bool guarded, std::function<void(std::string_view)> hook);
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

    // The call's result; none when it was given up. what names the path concerned.
    template <class R, class F> std::optional<R> run(F&& call, std::string_view what)
    {
        if (!m_guarded) {
            if (m_hook)
                m_hook(what);
            return std::optional<R>(call());
        }
        auto result = std::make_shared<std::optional<R>>();
        if (!runGuarded([result, call = std::forward<F>(call)]() mutable { result->emplace(call()); }, what))
            return std::nullopt;
        return std::move(*result);
    }

private:
    struct Channel
    {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable done;
        std::function<void()> job;
        bool hasJob = false;
        bool finished = false;
        bool stop = false;
    };

    // Runs job on the helper thread and waits for it; false when it was given up.
    bool runGuarded(std::function<void()> job, std::string_view what);
    static void serve(Channel& channel);

    WalkSink& m_sink;
    const bool m_guarded;
    const std::function<void(std::string_view)> m_hook;
    std::shared_ptr<Channel> m_channel;
    std::thread m_thread;
};

} // namespace fotarik::search::detail
