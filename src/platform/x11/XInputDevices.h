#pragma once

// XInput2 device hierarchy helpers shared by synthetic input and the tap.
//
// XTest requests carry no user data; the server injects each one through
// the XTEST slave device attached to the master the posting client uses (its
// client pointer and the keyboard paired with it). Raw events name their
// source slave, so only events from the XTEST slaves of our masters can be
// ours; which of those are is the ledger's business (SyntheticLedger.h).

#include <xcb/xcb.h>

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace tovrik::platform::x11 {

struct XIDevice {
    uint16_t id = 0;
    uint16_t type = 0;       // xcb_input_device_type_t
    uint16_t attachment = 0; // master of a slave, paired master of a master
    QByteArray name;
    bool isXTest() const;    // an XTEST slave ("... XTEST pointer/keyboard")
};

// Announces XInput 2.2 on `conn`; false when the server lacks it.
bool initXInput2(xcb_connection_t* conn);
std::vector<XIDevice> queryXIDevices(xcb_connection_t* conn);

// The masters that XTest input sent on `conn` goes through: the client
// pointer and its paired keyboard. {0, 0} on failure.
struct PostingMasters {
    uint16_t pointer = 0;
    uint16_t keyboard = 0;
};
PostingMasters postingMasters(xcb_connection_t* conn);

// The XTEST slaves attached to `masters` (all XTEST slaves when the
// masters are unknown).
std::vector<uint16_t> xtestSlavesOf(const std::vector<XIDevice>& devices, PostingMasters masters);

} // namespace tovrik::platform::x11
