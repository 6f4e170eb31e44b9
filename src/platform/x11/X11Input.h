#pragma once

// Synthetic input over XTest on a connection of its own. Every request is
// checked (a round trip), so when a post returns the server has processed
// it: a pointer query on any connection afterwards sees the new position.

#include "platform/Input.h"
#include "platform/x11/HeldInputRecord.h"
#include "platform/x11/LentKeycodes.h"
#include "platform/x11/SyntheticLedger.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/XInputDevices.h"
#include "platform/x11/Xcb.h"

#include <QObject>
#include <array>
#include <map>
#include <memory>
#include <mutex>

namespace tovrik::platform::x11 {

class X11Displays;

// Wheel notches for one scroll delta: lines are notches; precise (pixel)
// deltas are approximated at 80 pixels a notch, at least one for a non-zero
// delta, at most 200.
int scrollNotches(int delta, bool pixelUnits);

class X11Input : public SyntheticInput {
public:
    explicit X11Input(X11Displays& displays);
    ~X11Input() override;

    bool isAvailable() const { return m_hasXTest; }
    bool postMouse(MouseEventKind kind, MouseButton button, QPointF point, int clickCount) override;
    bool postKey(uint16_t keyCode, bool down, uint32_t modifiers) override;
    bool postText(const QString& text) override;
    bool postScroll(int deltaY, int deltaX, bool pixelUnits) override;
    bool isKeyPhysicallyDown(uint16_t keyCode) const override;
    uint32_t physicalModifiers() const override;

    // The masters our XTest events go through (see XInputDevices.h).
    PostingMasters masters() const { return m_masters; }
    // Where physical key state comes from while an event tap runs (the keys
    // that devices other than ours hold, see SyntheticLedger.h).
    void setPhysicalKeys(std::shared_ptr<PhysicalKeys> keys);
    // The keycodes down on the core keyboard that we do not hold.
    std::array<bool, 256> coreKeysNotOurs() const;

private:
    bool fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0);
    bool keycodeEvent(uint8_t keycode, bool down);
    bool typeKeysym(uint32_t keysym);
    uint8_t lend(uint32_t keysym);
    bool setKeysym(uint8_t keycode, uint32_t keysym);
    void restoreLent();
    void giveBackLeftovers();
    void releaseLeftHeldInput();
    void scheduleRestore();
    bool heldByAnyone(uint32_t keysym) const;
    std::array<uint8_t, 32> queryKeymap() const;
    std::array<bool, 256> physicalKeycodes() const;
    uint8_t firstKeycode(uint32_t keysym);

    X11Displays& m_displays;
    XcbConnection m_conn;
    bool m_hasXTest = false;
    PostingMasters m_masters;
    std::shared_ptr<PhysicalKeys> m_physical;
    mutable std::recursive_mutex m_mutex;
    KeyboardMapping m_map;
    std::array<int, 256> m_heldKeys{};   // presses minus releases per keycode
    std::array<bool, 16> m_heldButtons{};
    // Spare keycodes lent a symbol for typing text, kept until typing has
    // been quiet for a second: a client reads the new keyboard map when it
    // handles the change notification, which may be after we posted keys.
    // The list is on disk as long as anything is lent, so that the next
    // start gives back what a killed run could not.
    std::map<uint32_t, uint8_t> m_lent; // keysym -> keycode
    LentKeycodeRecord m_lentRecord;
    // The keys and buttons held now, on disk for the next start to let go of
    // after a run that could not (see HeldInputRecord.h).
    HeldInputRecord m_heldRecord;
    std::unique_ptr<QObject> m_timerContext;
    quint64 m_textGeneration = 0;
};

} // namespace tovrik::platform::x11
