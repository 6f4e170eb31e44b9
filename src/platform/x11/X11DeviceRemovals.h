#pragma once

namespace tovrik::platform::x11 {

// Qt 6.4's GStreamer device monitor releases every removed device it does
// not list (a sound card, a sink and its monitor) once too often, which frees
// the device while the message still holds it (a use after free, logged as
// "g_object_unref: assertion 'G_IS_OBJECT (object)' failed"). Each such
// removal is given the reference the monitor takes away (through a hook on
// the devices' "removed" signal, which is emitted just before the removal
// is posted). Idempotent.
void guardDeviceRemovals();

} // namespace tovrik::platform::x11
