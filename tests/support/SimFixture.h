#pragma once

// Base fixture for tests on the sim backend: a fresh SimPlatform and a
// VirtualClock per test, and helpers to let queued main-thread work run.

#include "common/Clock.h"
#include "platform/sim/SimPlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <gtest/gtest.h>
#include <functional>

namespace tovrik::test {

// Runs queued events until `done` holds or `timeoutMs` of real time passed.
bool spinUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the events that are queued right now (a few rounds).
void drainEvents();

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Advances the virtual clock, draining queued events between steps so
    // that main-thread hops land in order.
    void advance(double seconds, double step = 0.01);

    platform::sim::SimPlatform* sim = nullptr;
    VirtualClock clock;
};

} // namespace tovrik::test
