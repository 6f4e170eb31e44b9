#include "autopilot/AutopilotLoopWatchdog.h"

#include <cstdlib>

namespace tovrik {

bool AutopilotLoopWatchdog::similar(const QByteArray& a, const QByteArray& b)
{
    if (a.isEmpty() || a.size() != b.size())
        return false;
    const auto* pa = reinterpret_cast<const unsigned char*>(a.constData());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.constData());
    const qsizetype allowed = a.size() / 1000;
    qsizetype differing = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differing += std::abs(int(pa[i]) - int(pb[i])) > 20;
    return differing <= allowed;
}

int AutopilotLoopWatchdog::observe(const QString& action, const QByteArray& image, bool isWait, double now)
{
    int repeats = 0;
    for (const auto& [key, sample] : m_observations)
        if (key == action && similar(sample, image))
            ++repeats;
    const bool straightRepeat = !m_observations.isEmpty() && m_observations.last().first == action
        && similar(m_observations.last().second, image);

    double waitingTime = 0;
    if (isWait && !m_observations.isEmpty() && similar(m_observations.last().second, image)) {
        if (!m_waitingSince)
            m_waitingSince = now;
        waitingTime = now - *m_waitingSince;
    } else {
        m_waitingSince.reset();
    }

    m_observations.append({action, image});
    if (m_observations.size() > maxObservations)
        m_observations.removeFirst();

    bool stopNow = false;
    bool warnNow = false;
    if (isWait) {
        stopNow = waitingTime >= 180.0;
        warnNow = waitingTime >= 120.0;
    } else if (straightRepeat) {
        stopNow = repeats >= 10;
        warnNow = repeats >= 6;
    } else {
        stopNow = repeats >= 4;
        warnNow = repeats >= 3;
    }
    if (stopNow)
        return stop;
    if (warnNow && !m_warned) {
        m_warned = true;
        return warn;
    }
    return proceed;
}

} // namespace tovrik
