#pragma once

// Notices a UI Autopilot run that keeps repeating itself.
//
// Before each action the loop shows it the action's signature and a small
// sample of what the screens show; the verdict is 0 (go on), 1 (warn: the
// proposal is dropped; given once per run) or 2 (stop the run).
//  - Two samples are the same picture when they have the same non-zero
//    length and at most length/1000 bytes differ by more than 20.
//  - A proposal repeated back to back on an unchanged screen is warned at 6
//    earlier matches and stopped at 10; one that comes back after other
//    steps at 3 and 4 (matches among the last 64 observations).
//  - Waits are judged only by how long consecutive waits have looked at the
//    same picture: a warning at 120 s, a stop at 180 s.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace tovrik {

class AutopilotLoopWatchdog {
public:
    enum Verdict { proceed = 0, warn = 1, stop = 2 };
    static constexpr int maxObservations = 64;

    // `now`: monotonic seconds.
    int observe(const QString& action, const QByteArray& image, bool isWait, double now);
    static bool similar(const QByteArray& a, const QByteArray& b);

private:
    QList<QPair<QString, QByteArray>> m_observations;
    bool m_warned = false;
    std::optional<double> m_waitingSince;
};

} // namespace tovrik
