#include "platform/x11/X11DeviceRemovals.h"

#include <gst/gst.h>

#include <QByteArray>
#include <QtGlobal>

namespace tovrik::platform::x11 {

namespace {

// Runs as a device is removed, in the provider's thread, before the removal
// is posted to the monitor.
gboolean keepRemovedDevice(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    // The video sources are the devices the monitor lists and releases
    // rightly; every other removed device gets the reference it takes away.
    auto* device = count > 0 ? static_cast<GstDevice*>(g_value_get_object(&values[0])) : nullptr;
    if (device && !gst_device_has_classes(device, "Video/Source"))
        gst_object_ref(device);
    return TRUE;
}

} // namespace

void guardDeviceRemovals()
{
    static const bool guarded = [] {
        if (!QByteArray(qVersion()).startsWith("6.4.") || !gst_init_check(nullptr, nullptr, nullptr))
            return false;
        g_type_class_unref(g_type_class_ref(GST_TYPE_DEVICE));
        const guint removed = g_signal_lookup("removed", GST_TYPE_DEVICE);
        if (removed == 0)
            return false;
        g_signal_add_emission_hook(removed, 0, &keepRemovedDevice, nullptr, nullptr);
        return true;
    }();
    (void)guarded;
}

} // namespace tovrik::platform::x11
