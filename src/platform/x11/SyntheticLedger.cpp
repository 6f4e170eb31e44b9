#include "platform/x11/SyntheticLedger.h"

#include <chrono>

namespace tovrik::platform::x11 {

namespace {
double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
} // namespace

SyntheticLedger& SyntheticLedger::instance()
{
    static SyntheticLedger ledger;
    return ledger;
}

void SyntheticLedger::expire(double now)
{
    while (!m_entries.empty() && now - m_entries.front().at > kLifetimeSeconds)
        m_entries.pop_front();
}

void SyntheticLedger::record(uint8_t type, uint8_t detail)
{
    std::lock_guard lock(m_mutex);
    const double now = steadySeconds();
    expire(now);
    m_entries.push_back({m_nextSeq++, type, detail, now});
}

uint64_t SyntheticLedger::latest() const
{
    std::lock_guard lock(m_mutex);
    return m_nextSeq - 1;
}

bool SyntheticLedger::consume(uint64_t& cursor, uint8_t type, uint8_t detail)
{
    std::lock_guard lock(m_mutex);
    expire(steadySeconds());
    for (const Entry& e : m_entries) {
        if (e.seq <= cursor || e.type != type || e.detail != detail)
            continue;
        cursor = e.seq;
        return true;
    }
    return false;
}

size_t SyntheticLedger::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

void PhysicalKeys::tapStarted(const std::array<bool, 256>& seed)
{
    std::lock_guard lock(m_mutex);
    if (m_taps++ > 0)
        return;
    m_down.clear();
    for (size_t kc = 0; kc < seed.size(); ++kc)
        if (seed[kc])
            m_down.insert({0, uint8_t(kc)});
}

void PhysicalKeys::tapStopped()
{
    std::lock_guard lock(m_mutex);
    if (m_taps > 0 && --m_taps == 0)
        m_down.clear();
}

void PhysicalKeys::press(uint16_t source, uint8_t keycode)
{
    std::lock_guard lock(m_mutex);
    m_down.insert({source, keycode});
}

void PhysicalKeys::release(uint16_t source, uint8_t keycode)
{
    std::lock_guard lock(m_mutex);
    m_down.erase({source, keycode});
    m_down.erase({0, keycode}); // a seeded key, its device unknown
}

std::optional<std::array<bool, 256>> PhysicalKeys::snapshot() const
{
    std::lock_guard lock(m_mutex);
    if (m_taps == 0)
        return std::nullopt;
    std::array<bool, 256> keys{};
    for (const auto& [source, keycode] : m_down)
        keys[keycode] = true;
    return keys;
}

} // namespace tovrik::platform::x11
