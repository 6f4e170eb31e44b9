#pragma once

// Whether the program that receives typed keys sends them to an input method
// over D-Bus (ibus, fcitx) in a way that can put them out of order.
//
// A toolkit talks to such an input method through a module loaded into the
// program. The module sends each key, press and release, to the input method
// and handles it when the answer comes, while the program goes on reading
// keys. Some modules keep the order of the answers and of the keys they put
// back (GTK 3's ibus module, fcitx5's modules, which ask fcitx to keep it);
// others do not: Qt's ibus module (Qt 5 and Qt 6) handles a key whose answer
// is already there when it asks at once, ahead of earlier keys whose answers
// still wait in its queue (neighbours swap under load), and GTK 4's ibus
// module puts text in an order of its own (runs of text come out reversed). Nothing the X server or the
// input method shows tells when such a program has handled a key and put it
// where it belongs (the answer reaching the program is not the key handled),
// so keys cannot be paced to keep the order: typing into it is refused
// before the first key.
//
// The module in use is known from the program's process: the files it maps
// (/proc/<pid>/maps: the toolkit's library and the module's) and the
// environment it started with (GTK 4 loads every module it finds and picks
// by GTK_IM_MODULE; IBUS_ENABLE_SYNC_MODE=1 makes the ibus modules wait for
// each answer, which keeps the order). A module whose input method does not
// run sends nothing anywhere: the caller asks whether the input method's
// name is owned on the session bus.

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include <xcb/xcb.h>

namespace tovrik::platform::x11 {

// What one process shows of its input method modules.
struct ProcessModules {
    std::vector<QString> files; // names (no folder) of the files it maps, in order
    QString gtkImModule;        // GTK_IM_MODULE, empty when unset
    bool ibusSyncMode = false;  // IBUS_ENABLE_SYNC_MODE=1
};

// Nothing when the process is gone or cannot be read.
std::optional<ProcessModules> readProcessModules(int64_t pid, const QString& procRoot = QStringLiteral("/proc"));

// The session bus names of the input methods through which such a process
// may handle its keys out of order (empty when none).
std::vector<QString> reorderingInputMethods(const ProcessModules& modules);

// Whether such a process may send its keys to an input method server over
// X (XIM): Qt and GTK 4 have no client for one, GTK 3 only in its xim
// module (loaded when picked); other programs (Xlib, Xt, Tk, Java) may.
bool mayUseXim(const ProcessModules& modules);

// What the program owning `window` may do with its keys, from its process;
// a program whose process the server cannot name (on another machine) or
// that cannot be read is taken to use no input method over D-Bus and to
// possibly use an XIM server.
struct ReceiverInputMethods {
    std::vector<QString> reordering; // as reorderingInputMethods
    bool mayUseXim = true;
};
ReceiverInputMethods receiverInputMethods(xcb_connection_t* conn, xcb_window_t window);

// Whether `busName` is owned on the session bus; true when the bus cannot
// be asked (a module may be talking to it).
bool ownedOnSessionBus(const QString& busName);

} // namespace tovrik::platform::x11
