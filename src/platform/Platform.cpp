#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace tovrik::platform {

namespace {
std::unique_ptr<Platform>& slot()
{
    static std::unique_ptr<Platform> s;
    return s;
}
} // namespace

Platform& Platform::get()
{
    if (!slot()) {
        std::fprintf(stderr, "tovrik: the platform layer was used before it was installed\n");
        std::abort();
    }
    return *slot();
}

bool Platform::isInstalled() { return bool(slot()); }

void Platform::install(std::unique_ptr<Platform> backend) { slot() = std::move(backend); }

void Platform::uninstall() { slot().reset(); }

bool tapWants(uint32_t events, RawInputEvent::Type type)
{
    using T = RawInputEvent::Type;
    switch (type) {
    case T::KeyDown:
    case T::KeyUp:
    case T::FlagsChanged:
        return events & TapKeys;
    case T::MouseDown:
    case T::MouseUp:
    case T::Scroll:
        return events & TapButtons;
    case T::MouseMoved:
    case T::MouseDragged:
        return events & TapMotion;
    case T::TapDisabled:
        break;
    }
    return true;
}

} // namespace tovrik::platform
