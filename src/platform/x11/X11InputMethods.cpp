#include "platform/x11/X11InputMethods.h"

#include "platform/x11/ProcessActivity.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <algorithm>

namespace tovrik::platform::x11 {

namespace {

const QString kIbus = QStringLiteral("org.freedesktop.IBus");
const QString kFcitx = QStringLiteral("org.fcitx.Fcitx5");

enum class Toolkit { Qt5, Qt6, Gtk3, Gtk4 };

struct Module {
    Toolkit toolkit;
    const char* file;      // the module's file, as the process maps it
    const char* name;      // as GTK_IM_MODULE names it (GTK 4 picks by it)
    const QString* server; // its input method's bus name
    bool reorders;         // handles keys out of order without sync mode
    bool ibusSync;         // IBUS_ENABLE_SYNC_MODE=1 makes it wait for each answer
};

// As measured typing fast into programs that are stalled now and then, on
// a loaded machine: Qt 6's ibus module, which asks like Qt 5's, swaps
// neighbours less often, but does.
const Module kModules[] = {
    {Toolkit::Qt5, "libibusplatforminputcontextplugin.so", "ibus", &kIbus, true, true},
    {Toolkit::Qt6, "libibusplatforminputcontextplugin.so", "ibus", &kIbus, true, true},
    {Toolkit::Gtk3, "im-ibus.so", "ibus", &kIbus, false, true},
    {Toolkit::Gtk4, "libim-ibus.so", "ibus", &kIbus, true, true},
    {Toolkit::Qt5, "libfcitx5platforminputcontextplugin.so", "fcitx", &kFcitx, false, false},
    {Toolkit::Qt6, "libfcitx5platforminputcontextplugin.so", "fcitx", &kFcitx, false, false},
    {Toolkit::Gtk3, "im-fcitx5.so", "fcitx", &kFcitx, false, false},
    {Toolkit::Gtk4, "libim-fcitx5.so", "fcitx", &kFcitx, false, false},
};

// The toolkit libraries, by the start of their file names.
const std::pair<Toolkit, const char*> kToolkits[] = {
    {Toolkit::Qt5, "libQt5Gui.so"},
    {Toolkit::Qt6, "libQt6Gui.so"},
    {Toolkit::Gtk3, "libgtk-3.so"},
    {Toolkit::Gtk4, "libgtk-4.so"},
};

bool maps(const ProcessModules& modules, const char* start, bool exact)
{
    const QLatin1String name(start);
    return std::any_of(modules.files.begin(), modules.files.end(),
                       [&](const QString& file) { return exact ? file == name : file.startsWith(name); });
}

// Whether GTK 4 picks the module called `name`: GTK_IM_MODULE names the
// modules to try in order (the first it has wins); without it the desktop's
// setting or the modules' own priorities pick, which the process does not
// show, so any module it maps may be the one.
bool gtk4Picks(const ProcessModules& modules, const char* name)
{
    if (modules.gtkImModule.isEmpty())
        return true;
    for (const QString& wanted : modules.gtkImModule.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString w = wanted.trimmed();
        if (w == QLatin1String(name) || (QLatin1String(name) == QLatin1String("fcitx") && w == QLatin1String("fcitx5")))
            return true;
        // A module GTK has (its own simple one and the X input method
        // module are built in or shipped with it): that one wins.
        if (w == QLatin1String("gtk-im-context-simple") || w == QLatin1String("simple") || w == QLatin1String("xim")
            || w == QLatin1String("ibus") || w == QLatin1String("fcitx") || w == QLatin1String("fcitx5")
            || w == QLatin1String("wayland") || w == QLatin1String("broadway"))
            return false;
    }
    return true; // none it has: it picks as without
}

} // namespace

std::optional<ProcessModules> readProcessModules(int64_t pid, const QString& procRoot)
{
    const QString dir = QStringLiteral("%1/%2/").arg(procRoot).arg(pid);
    QFile maps(dir + QStringLiteral("maps"));
    QFile environ(dir + QStringLiteral("environ"));
    if (!maps.open(QIODevice::ReadOnly) || !environ.open(QIODevice::ReadOnly))
        return std::nullopt;
    ProcessModules modules;
    // A file shows once for each of its mappings, in order.
    QByteArray last;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const qsizetype slash = line.lastIndexOf('/');
        const QByteArray file = slash < 0 ? QByteArray() : line.mid(slash + 1).trimmed();
        if (!file.isEmpty() && file != last)
            modules.files.push_back(QString::fromUtf8(file));
        last = file;
    }
    for (const QByteArray& entry : environ.readAll().split('\0')) {
        if (entry.startsWith("GTK_IM_MODULE="))
            modules.gtkImModule = QString::fromUtf8(entry.mid(14));
        else if (entry == "IBUS_ENABLE_SYNC_MODE=1")
            modules.ibusSyncMode = true;
    }
    return modules;
}

std::vector<QString> reorderingInputMethods(const ProcessModules& modules)
{
    std::vector<QString> servers;
    for (const auto& [toolkit, library] : kToolkits) {
        if (!maps(modules, library, false))
            continue;
        for (const Module& m : kModules) {
            // Qt and GTK 3 load only the module they use; GTK 4 loads all.
            if (m.toolkit != toolkit || !maps(modules, m.file, true)
                || (toolkit == Toolkit::Gtk4 && !gtk4Picks(modules, m.name)))
                continue;
            if (m.reorders && !(m.ibusSync && modules.ibusSyncMode)
                && std::find(servers.begin(), servers.end(), *m.server) == servers.end())
                servers.push_back(*m.server);
        }
    }
    return servers;
}

bool mayUseXim(const ProcessModules& modules)
{
    auto toolkit = [&](Toolkit which) {
        for (const auto& [t, library] : kToolkits)
            if (t == which && maps(modules, library, false))
                return true;
        return false;
    };
    // GTK 3 first: a Qt program may show GTK 3 dialogs of its own.
    if (toolkit(Toolkit::Gtk3)) {
        if (maps(modules, "im-xim.so", true))
            return true;
        // The module GTK_IM_MODULE names first, where GTK has it: its own
        // simple one, or one it has loaded.
        const QString first = modules.gtkImModule.section(QLatin1Char(':'), 0, 0).trimmed();
        const bool simple = first == QLatin1String("gtk-im-context-simple") || first == QLatin1String("simple");
        const bool loaded = !first.isEmpty() && first != QLatin1String("xim")
            && (maps(modules, QStringLiteral("im-%1.so").arg(first).toLatin1().constData(), true)
                || (first == QLatin1String("fcitx") && maps(modules, "im-fcitx5.so", true)));
        if (!simple && !loaded)
            return true;
    }
    return !(toolkit(Toolkit::Gtk3) || toolkit(Toolkit::Qt5) || toolkit(Toolkit::Qt6) || toolkit(Toolkit::Gtk4));
}

ReceiverInputMethods receiverInputMethods(xcb_connection_t* conn, xcb_window_t window)
{
    const std::optional<int64_t> pid = window ? clientProcessId(conn, window) : std::nullopt;
    const std::optional<ProcessModules> modules = pid ? readProcessModules(*pid) : std::nullopt;
    if (!modules)
        return {};
    return {reorderingInputMethods(*modules), mayUseXim(*modules)};
}

bool ownedOnSessionBus(const QString& busName)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return true;
    QDBusMessage ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << busName;
    const QDBusMessage reply = bus.call(ask, QDBus::Block, 500);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return true;
    return reply.arguments().first().toBool();
}

} // namespace tovrik::platform::x11
