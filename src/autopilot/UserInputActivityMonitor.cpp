#include "autopilot/UserInputActivityMonitor.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "platform/Platform.h"

#include <chrono>
#include <condition_variable>
#include <limits>
#include <thread>

namespace tovrik {

using platform::RawInputEvent;

namespace {
constexpr double kDistantPast = -std::numeric_limits<double>::infinity();
}

// What the tap, the installer thread and the monitor share. The installer
// may finish after start() gave up, or after the monitor is gone.
struct UserInputActivityMonitor::Shared {
    std::mutex mutex;
    UserInputActivityMonitor* monitor = nullptr; // null once the monitor is gone
    quint64 generation = 0;                       // of the latest start()
    OwnerToken owner = 0;                         // generation of the running tap
    std::unique_ptr<platform::EventTapSession> session;
    // Flag state, under the monitor's stateLock.
    double lastUserInputAt = kDistantPast;
    bool userHasTakenOver = false;
};

UserInputActivityMonitor::UserInputActivityMonitor() : m_shared(std::make_shared<Shared>())
{
    m_shared->monitor = this;
}

UserInputActivityMonitor::~UserInputActivityMonitor()
{
    std::unique_ptr<platform::EventTapSession> session;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->monitor = nullptr;
        ++m_shared->generation;
        m_shared->owner = 0;
        session = std::move(m_shared->session);
    }
    if (session)
        session->stop();
}

UserInputActivityMonitor::OwnerToken UserInputActivityMonitor::start()
{
    stop();
    if (!platform::Platform::isInstalled())
        return 0;
    platform::EventTap& tap = platform::Platform::get().eventTap();

    quint64 generation = 0;
    {
        std::lock_guard lock(m_shared->mutex);
        generation = ++m_shared->generation;
    }
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool installed = false;
    };
    auto wait = std::make_shared<Wait>();
    std::thread([shared = m_shared, wait, generation, &tap]() {
        auto session = tap.start(threadName, [shared](const RawInputEvent& event) {
            std::lock_guard lock(shared->mutex);
            if (shared->monitor)
                shared->monitor->handle(event);
        });
        bool kept = false;
        {
            std::lock_guard lock(shared->mutex);
            // Kept only for the start() that is still waiting for it.
            if (session && shared->monitor && shared->generation == generation) {
                shared->session = std::move(session);
                shared->owner = generation;
                kept = true;
            }
        }
        if (session)
            session->stop();
        std::lock_guard lock(wait->mutex);
        wait->finished = true;
        wait->installed = kept;
        wait->done.notify_all();
    }).detach();

    std::unique_lock lock(wait->mutex);
    wait->done.wait_for(lock, std::chrono::duration<double>(kStartTimeoutSeconds), [&] { return wait->finished; });
    if (wait->finished && wait->installed)
        return generation;
    lock.unlock();
    {
        // A tap that still comes up is dropped by the generation check.
        std::lock_guard sharedLock(m_shared->mutex);
        if (m_shared->generation == generation)
            ++m_shared->generation;
    }
    stop();
    return 0;
}

void UserInputActivityMonitor::stop(OwnerToken token)
{
    std::unique_ptr<platform::EventTapSession> session;
    {
        std::lock_guard lock(m_shared->mutex);
        if (token == 0 || token != m_shared->owner)
            return;
        m_shared->owner = 0;
        session = std::move(m_shared->session);
    }
    if (session)
        session->stop();
}

void UserInputActivityMonitor::stop()
{
    std::unique_ptr<platform::EventTapSession> session;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->owner = 0;
        session = std::move(m_shared->session);
    }
    if (session)
        session->stop();
}

bool UserInputActivityMonitor::isRunning() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->session != nullptr;
}

UserInputActivityMonitor::OwnerToken UserInputActivityMonitor::owner() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->owner;
}

void UserInputActivityMonitor::reset()
{
    std::lock_guard lock(stateLock);
    m_shared->lastUserInputAt = kDistantPast;
    m_shared->userHasTakenOver = false;
}

bool UserInputActivityMonitor::hasUserTakenOverSinceReset() const
{
    std::lock_guard lock(stateLock);
    return m_shared->userHasTakenOver;
}

bool UserInputActivityMonitor::hasRecentUserInput(double seconds) const
{
    std::lock_guard lock(stateLock);
    return Clock::instance().now() - m_shared->lastUserInputAt <= seconds;
}

void UserInputActivityMonitor::handle(const RawInputEvent& event)
{
    if (event.type != RawInputEvent::Type::TapDisabled) {
        // Only a press of Esc that is not ours counts.
        if (event.type != RawInputEvent::Type::KeyDown || event.keyCode != platform::KeyCode::Escape)
            return;
        if (event.isSynthetic || (event.sourceUserData != 0
                                  && event.sourceUserData == constants::syntheticInputEventSourceUserData()))
            return;
    }
    recordTakeover();
}

void UserInputActivityMonitor::recordTakeover()
{
    std::unique_lock lock(stateLock);
    m_shared->lastUserInputAt = Clock::instance().now();
    if (m_shared->userHasTakenOver)
        return;
    m_shared->userHasTakenOver = true;
    lock.unlock();
    if (onPhysicalUserInput)
        onPhysicalUserInput();
}

} // namespace tovrik
