#pragma once

// The layer that stands in for the desktop frameworks. Services reach it
// through Platform::get(), installed once at process entry (the x11 backend)
// or by the test main (the sim backend), so that services keep their plain
// no-argument constructors.

#include "platform/Audio.h"
#include "platform/Capture.h"
#include "platform/Displays.h"
#include "platform/Input.h"
#include "platform/Keychain.h"
#include "platform/Permissions.h"
#include "platform/Workspace.h"

#include <cstdint>
#include <memory>

namespace tovrik::platform {

class Platform {
public:
    virtual ~Platform() = default;

    virtual Displays& displays() = 0;
    virtual SyntheticInput& input() = 0;
    virtual EventTap& eventTap() = 0;
    virtual DisplayCapture& capture() = 0;
    virtual Permissions& permissions() = 0;
    virtual Keychain& keychain() = 0;
    virtual Workspace& workspace() = 0;
    virtual AudioInput& audioInput() = 0;
    virtual AudioOutput& audioOutput() = 0;
    virtual SpeechSynthesizer& speech() = 0;
    // Whether a compositing manager runs (translucent windows blend with
    // what is below them; without one they must clip to what they draw).
    virtual bool compositorActive() = 0;

    // The installed backend. Calling it before install() is a programming error.
    static Platform& get();
    static bool isInstalled();
    // Takes ownership; replaces (and destroys) the previous backend.
    static void install(std::unique_ptr<Platform> backend);
    static void uninstall();
};

} // namespace tovrik::platform
