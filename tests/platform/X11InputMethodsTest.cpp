// Which input method a program's keys may go through, from what its process
// maps and the environment it started with (read from /proc by the typing
// rows with real programs).

#include "platform/x11/X11InputMethods.h"

#include <gtest/gtest.h>

namespace tovrik::platform::x11 {
namespace {

struct ModulesRow {
    const char* what;
    ProcessModules modules;
    std::vector<QString> reordering; // bus names
    bool xim;                        // may use an XIM server
};

const QString kIbus = QStringLiteral("org.freedesktop.IBus");

ProcessModules mods(std::vector<QString> files, const char* gtkImModule = "", bool ibusSyncMode = false)
{
    return {std::move(files), QString::fromLatin1(gtkImModule), ibusSyncMode};
}

TEST(InputMethods, KeysMayGoOutOfOrderOnlyThroughTheModuleInUseWithoutSyncMode)
{
    const QString qt5 = "libQt5Gui.so.5.15.8", qt6 = "libQt6Gui.so.6.4.2", gtk3 = "libgtk-3.so.0.2406.32",
                  gtk4 = "libgtk-4.so.1.800.3", qtIbus = "libibusplatforminputcontextplugin.so";
    const ModulesRow rows[] = {
        {"Qt 5, ibus", mods({qt5, qtIbus}), {kIbus}, false},
        {"Qt 5, ibus in sync mode", mods({qt5, qtIbus}, "", true), {}, false},
        {"Qt 5 with GTK 3 for its dialogs", mods({qt5, gtk3, qtIbus}), {kIbus}, true},
        {"Qt 5 with GTK 3 told simple", mods({qt5, gtk3}, "gtk-im-context-simple"), {}, false},
        {"GTK 3, fcitx5 under its old name", mods({gtk3, "im-fcitx5.so"}, "fcitx"), {}, false},
        {"Qt 6, ibus", mods({qt6, qtIbus}), {kIbus}, false},
        {"Qt 6, fcitx", mods({qt6, "libfcitx5platforminputcontextplugin.so"}), {}, false},
        {"GTK 4 loads every module, picks by its setting", mods({gtk4, "libim-ibus.so", "libim-fcitx5.so"}), {kIbus}, false},
        {"GTK 4 told fcitx", mods({gtk4, "libim-ibus.so", "libim-fcitx5.so"}, "fcitx"), {}, false},
        {"GTK 4 told simple", mods({gtk4, "libim-ibus.so"}, "gtk-im-context-simple"), {}, false},
        {"GTK 4 told one it lacks, then ibus", mods({gtk4, "libim-ibus.so"}, "uim:ibus"), {kIbus}, false},
        {"GTK 3, ibus", mods({gtk3, "im-ibus.so"}, "ibus"), {}, false},
        {"GTK 3, xim", mods({gtk3, "im-xim.so"}, "xim"), {}, true},
        {"GTK 3, module not picked yet", mods({gtk3}), {}, true},
        {"Tk", mods({"libtk8.6.so"}), {}, true},
    };
    for (const ModulesRow& row : rows) {
        EXPECT_EQ(reorderingInputMethods(row.modules), row.reordering) << row.what;
        EXPECT_EQ(mayUseXim(row.modules), row.xim) << row.what;
    }
}

} // namespace
} // namespace tovrik::platform::x11
