#include "platform/x11/X11Input.h"

#include "platform/x11/ProcessRecords.h"
#include "platform/x11/X11Displays.h"

#define XK_MISCELLANY
#include <X11/keysymdef.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <xcb/xtest.h>

namespace tovrik::platform::x11 {

namespace {

uint8_t buttonNumber(MouseButton b)
{
    switch (b) {
    case MouseButton::Left:
        return 1;
    case MouseButton::Middle:
        return 2;
    case MouseButton::Right:
        return 3;
    case MouseButton::Other:
        return 8;
    }
    return 1;
}

struct ModifierKeys {
    uint32_t flag;
    uint32_t left;
    uint32_t right;
};
constexpr ModifierKeys kModifierKeys[] = {
    {ModControl, XK_Control_L, XK_Control_R},
    {ModShift, XK_Shift_L, XK_Shift_R},
    {ModOption, XK_Alt_L, XK_Alt_R},
    {ModCommand, XK_Super_L, XK_Super_R},
};

// With Control and Alt down these end the X session (BackSpace), switch to
// another console (F1-F12) or ask the desktop to log out (Delete).
bool isSessionKey(uint32_t sym)
{
    return sym == XK_BackSpace || sym == XK_Delete || (sym >= XK_F1 && sym <= XK_F12);
}

} // namespace

int scrollNotches(int delta, bool pixelUnits)
{
    if (delta == 0)
        return 0;
    const double magnitude = std::abs(double(delta));
    const int notches = pixelUnits ? std::max(1, int(std::lround(magnitude / 80.0))) : int(magnitude);
    return std::min(notches, 200);
}

X11Input::X11Input(X11Displays& displays)
    : m_displays(displays), m_conn(nullptr), m_lentRecord(qEnvironmentVariable("DISPLAY")),
      m_heldRecord(qEnvironmentVariable("DISPLAY"))
{
    if (!m_conn.ok())
        return;
    const QByteArray server = serverMark(m_conn);
    m_lentRecord.setServer(server);
    m_heldRecord.setServer(server);
    const auto* ext = xcb_get_extension_data(m_conn, &xcb_test_id);
    m_hasXTest = ext && ext->present;
    if (initXInput2(m_conn))
        m_masters = postingMasters(m_conn);
    if (m_hasXTest)
        m_guard = TypingGuard::start(m_conn, m_masters, [this] { return keyWindow(); });
    m_hasXkb = useXkb(m_conn);
    m_map.load(m_conn);
    // Before anything else touches input: what a run that ended without
    // cleaning up left held is let go, then what it left lent is given back.
    releaseLeftHeldInput();
    giveBackLeftovers();
    if (QCoreApplication::instance()) {
        m_timerContext = std::make_unique<QObject>();
        m_restoreThread.setObjectName(QStringLiteral("tovrik-keys-back"));
        m_restoreThread.start();
        m_timerContext->moveToThread(&m_restoreThread);
    }
}

X11Input::~X11Input()
{
    if (m_timerContext) {
        // A give-back in progress ends its wait; one still to come is done
        // below.
        ++m_othersWaiting;
        m_restoreThread.quit();
        m_restoreThread.wait();
        --m_othersWaiting;
        m_timerContext.reset();
    }
    // Nothing we pressed stays down when the process lets go of its input.
    std::lock_guard lock(m_mutex);
    if (!m_conn.ok() || !m_hasXTest)
        return;
    for (int kc = 0; kc < 256; ++kc)
        while (m_heldKeys[size_t(kc)] > 0)
            keycodeEvent(uint8_t(kc), false);
    for (size_t b = 1; b < m_heldButtons.size(); ++b)
        if (m_heldButtons[b])
            fake(XCB_BUTTON_RELEASE, uint8_t(b));
    // Nothing stays lent either: the receiver gets a second more.
    if (!restoreLent(true, std::chrono::milliseconds(1000)))
        restoreLent(false, {});
}

std::unique_lock<std::recursive_mutex> X11Input::lockInput() const
{
    ++m_othersWaiting;
    std::unique_lock lock(m_mutex);
    --m_othersWaiting;
    return lock;
}

bool X11Input::interrupted() const
{
    return (m_stop && m_stop->load()) || m_othersWaiting.load() > 0;
}

bool X11Input::fake(uint8_t type, uint8_t detail, int16_t x, int16_t y)
{
    if (!m_hasXTest || !m_conn.ok())
        return false;
    // Keys and buttons go into the ledger first, so that the taps know the
    // raw event that follows for ours.
    if (type != XCB_MOTION_NOTIFY)
        SyntheticLedger::instance().record(type, detail);
    // On disk as held before the press, as let go after the release.
    const bool press = type == XCB_KEY_PRESS || type == XCB_BUTTON_PRESS;
    const auto note = [&](bool down) {
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE)
            m_heldRecord.setKey(detail, down);
        else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE)
            m_heldRecord.setButton(detail, down);
    };
    if (press)
        note(true);
    const auto cookie = xcb_test_fake_input_checked(m_conn, type, detail, XCB_CURRENT_TIME, m_conn.root(), x, y, 0);
    XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
    const bool ok = !error && m_conn.ok();
    if (press != ok)
        note(false);
    return ok;
}

bool X11Input::keycodeEvent(uint8_t keycode, bool down)
{
    if (!fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode))
        return false;
    auto& held = m_heldKeys[keycode];
    held = down ? held + 1 : std::max(0, held - 1);
    return true;
}

uint8_t X11Input::firstKeycode(uint32_t keysym)
{
    auto codes = m_map.keycodesFor(keysym);
    if (codes.empty()) {
        // The layout may have changed since we read it.
        m_map.load(m_conn);
        codes = m_map.keycodesFor(keysym);
    }
    return codes.empty() ? 0 : codes.front();
}

bool X11Input::postMouse(MouseEventKind kind, MouseButton button, QPointF point, int)
{
    if (!std::isfinite(point.x()) || !std::isfinite(point.y()))
        return false;
    const auto lock = lockInput();
    const QPoint px = m_displays.toRootPixels(point);
    const auto x = int16_t(std::clamp(px.x(), -32768, 32767));
    const auto y = int16_t(std::clamp(px.y(), -32768, 32767));
    if (!fake(XCB_MOTION_NOTIFY, 0, x, y))
        return false;
    const uint8_t b = buttonNumber(button);
    switch (kind) {
    case MouseEventKind::Move:
    case MouseEventKind::Drag:
        return true;
    case MouseEventKind::Down:
        if (!fake(XCB_BUTTON_PRESS, b))
            return false;
        m_heldButtons[b] = true;
        return true;
    case MouseEventKind::Up:
        if (!fake(XCB_BUTTON_RELEASE, b))
            return false;
        m_heldButtons[b] = false;
        return true;
    }
    return false;
}

bool X11Input::heldByAnyone(uint32_t keysym) const
{
    const auto keymap = queryKeymap();
    for (uint8_t kc : m_map.keycodesFor(keysym))
        if (m_heldKeys[kc] > 0 || (keymap[kc / 8] & (1 << (kc % 8))))
            return true;
    return false;
}

bool X11Input::postKey(uint16_t keyCode, bool down, uint32_t modifiers)
{
    const auto lock = lockInput();
    // The layout may have changed since the last post (a cheap round trip).
    m_map.load(m_conn);
    const uint32_t sym = keysymForMacKeyCode(keyCode);
    const uint8_t keycode = sym ? firstKeycode(sym) : 0;
    if (!keycode)
        return false;
    if (!down)
        return keycodeEvent(keycode, false);
    // The service above refuses such chords; this is the last line before
    // the server, and it counts keys held by anyone.
    if (isSessionKey(sym) && ((modifiers & ModControl) || heldByAnyone(XK_Control_L) || heldByAnyone(XK_Control_R))
        && ((modifiers & ModOption) || heldByAnyone(XK_Alt_L) || heldByAnyone(XK_Alt_R)))
        return false;
    // X events carry no flags of their own: a modifier the event asks for is
    // pressed around the key unless someone already holds it.
    std::vector<uint8_t> temporary;
    for (const auto& m : kModifierKeys) {
        if (!(modifiers & m.flag) || sym == m.left || sym == m.right)
            continue;
        if (heldByAnyone(m.left) || heldByAnyone(m.right))
            continue;
        const uint8_t mk = firstKeycode(m.left);
        if (!mk || !keycodeEvent(mk, true)) {
            for (auto it = temporary.rbegin(); it != temporary.rend(); ++it)
                keycodeEvent(*it, false);
            return false;
        }
        temporary.push_back(mk);
    }
    const bool ok = keycodeEvent(keycode, true);
    for (auto it = temporary.rbegin(); it != temporary.rend(); ++it)
        keycodeEvent(*it, false);
    return ok;
}

void X11Input::releaseLeftHeldInput()
{
    const auto left = m_heldRecord.leftovers();
    if (left.files.isEmpty() || !m_conn.ok() || !m_hasXTest)
        return;
    // Only what the dead run held and the server still shows down: a key
    // the user holds now on a keyboard of their own stays down, as the
    // release goes to the synthetic device alone.
    const auto keymap = queryKeymap();
    for (unsigned kc = 8; kc < 256; ++kc)
        if (HeldInputRecord::isSet(left.keys, kc) && (keymap[kc / 8] & (1u << (kc % 8))))
            fake(XCB_KEY_RELEASE, uint8_t(kc));
    XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(m_conn, xcb_query_pointer(m_conn, m_conn.root()), nullptr));
    for (unsigned b = 1; b <= 5 && pointer; ++b)
        if (HeldInputRecord::isSet(left.buttons, b) && (pointer->mask & (XCB_BUTTON_MASK_1 << (b - 1))))
            fake(XCB_BUTTON_RELEASE, uint8_t(b));
    HeldInputRecord::forget(left.files);
}

bool X11Input::postScroll(int deltaY, int deltaX, bool pixelUnits)
{
    const auto lock = lockInput();
    if (!m_hasXTest)
        return false;
    // Buttons 4/5 scroll up/down, 6/7 left/right.
    auto notch = [this](uint8_t button, int count) {
        for (int i = 0; i < count; ++i)
            if (!fake(XCB_BUTTON_PRESS, button) || !fake(XCB_BUTTON_RELEASE, button))
                return false;
        return true;
    };
    const bool y = notch(deltaY > 0 ? 4 : 5, scrollNotches(deltaY, pixelUnits));
    const bool x = notch(deltaX > 0 ? 7 : 6, scrollNotches(deltaX, pixelUnits));
    return y && x;
}

std::array<uint8_t, 32> X11Input::queryKeymap() const
{
    std::array<uint8_t, 32> keys{};
    if (!m_conn.ok())
        return keys;
    XcbReply<xcb_query_keymap_reply_t> reply(xcb_query_keymap_reply(m_conn, xcb_query_keymap(m_conn), nullptr));
    if (reply)
        std::copy(std::begin(reply->keys), std::end(reply->keys), keys.begin());
    return keys;
}

void X11Input::setPhysicalKeys(std::shared_ptr<PhysicalKeys> keys)
{
    const auto lock = lockInput();
    m_physical = std::move(keys);
}

std::array<bool, 256> X11Input::coreKeysNotOurs() const
{
    const auto lock = lockInput();
    const auto keymap = queryKeymap();
    std::array<bool, 256> keys{};
    for (size_t kc = 0; kc < keys.size(); ++kc)
        keys[kc] = (keymap[kc / 8] & (1 << (kc % 8))) && m_heldKeys[kc] == 0;
    return keys;
}

// What devices other than ours hold: the taps' record while one runs (it
// covers every master); else the core keyboard minus our own keys.
std::array<bool, 256> X11Input::physicalKeycodes() const
{
    if (m_physical)
        if (auto keys = m_physical->snapshot())
            return *keys;
    return coreKeysNotOurs();
}

bool X11Input::isKeyPhysicallyDown(uint16_t keyCode) const
{
    const auto lock = lockInput();
    const uint32_t sym = keysymForMacKeyCode(keyCode);
    if (!sym)
        return false;
    const auto keys = physicalKeycodes();
    for (uint8_t kc : m_map.keycodesFor(sym))
        if (keys[kc])
            return true;
    return false;
}

uint32_t X11Input::physicalModifiers() const
{
    const auto lock = lockInput();
    const auto keys = physicalKeycodes();
    uint32_t flags = 0;
    for (int kc = m_map.minKeycode(); kc <= m_map.maxKeycode() && kc < 256; ++kc) {
        if (!keys[size_t(kc)])
            continue;
        if (const auto mac = m_map.macKeyCode(uint8_t(kc)); mac && *mac != KeyCode::CapsLock)
            flags |= modifierFlagForMacKeyCode(*mac);
    }
    return flags;
}

} // namespace tovrik::platform::x11
