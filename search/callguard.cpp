#include "callguard.h"

#include "budgets.h"

#include <chrono>
#include <string>

namespace fotarik::search::detail {

CallGuard::CallGuard(WalkSink& sink, bool guarded, std::function<void(std::string_view)> hook)
    : m_sink(sink), m_guarded(guarded), m_hook(std::move(hook))
{
}

CallGuard::~CallGuard()
{
    if (!m_channel)
        return;
    {
        std::lock_guard lock(m_channel->mutex);
        m_channel->stop = true;
    }
    m_channel->wake.notify_all();
    m_thread.join(); // idle: its last call has returned
}

bool CallGuard::runGuarded(std::function<void()> job, std::string_view what)
{
    if (!m_channel) {
        m_channel = std::make_shared<Channel>();
        m_thread = std::thread([channel = m_channel] { serve(*channel); });
    }
    std::unique_lock lock(m_channel->mutex);
    m_channel->job = [job = std::move(job), hook = m_hook, path = std::string(what)]() mutable {
        if (hook)
            hook(path);
        job();
    };
    m_channel->finished = false;
    m_channel->hasJob = true;
    m_channel->wake.notify_one();
    const auto start = std::chrono::steady_clock::now();
    while (!m_channel->finished) {
        m_channel->done.wait_for(lock, budget::WalkEventInterval);
        if (m_channel->finished)
            break;
        lock.unlock();
        m_sink.serveEventsWhileListing();
        const bool cancel = m_sink.cancelRequested();
        lock.lock();
        if (m_channel->finished)
            break;
        if (cancel || std::chrono::steady_clock::now() - start >= budget::HungFolderWait) {
            m_channel->stop = true;
            lock.unlock();
            m_channel->wake.notify_all();
            m_thread.detach();
            m_channel.reset();
            return false;
        }
    }
    return true;
}

void CallGuard::serve(Channel& channel)
{
    std::unique_lock lock(channel.mutex);
    while (true) {
        channel.wake.wait(lock, [&] { return channel.stop || channel.hasJob; });
        if (!channel.hasJob)
            return;
        std::function<void()> job = std::move(channel.job);
        channel.hasJob = false;
        lock.unlock();
        job();
        job = nullptr; // what the call held goes now, outside the lock
        lock.lock();
        channel.finished = true;
        channel.done.notify_all();
        if (channel.stop)
            return;
    }
}

} // namespace fotarik::search::detail
