#pragma once

// Held by the model for the life of the process next to the other services.
// It has no operation yet: it only carries the time limit that an agent
// task of its own will get.

namespace tovrik {

class TovrikAgentRunner {
public:
    static constexpr double codexTimeout = 1200; // seconds
};

} // namespace tovrik
