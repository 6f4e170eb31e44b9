#pragma once

// What the kernel tells about a process's connections to X servers on this
// machine (sock_diag, the netlink interface `ss` uses): how many bytes the
// server sent that the process has not read yet, and how many it sent that
// the server has not read yet.
//
// A connection to an X server is a Unix stream socket whose peer is named
// like a display's socket (`/tmp/.X11-unix/X<n>`, in the file system or the
// abstract namespace: the server's end of a connection carries the name of
// the socket it was accepted on). A process that holds a socket of such a
// name itself serves a display to other programs (a forwarder such as an
// `ssh -X` server side or socat), so the connections it holds to the server
// carry other programs' events.

#include <cstdint>
#include <optional>
#include <vector>

namespace tovrik::platform::x11 {

struct XConnections {
    std::vector<uint32_t> sockets; // the process's ends (inodes)
    bool servesDisplay = false;    // it accepts connections on a display's socket name
};

// The process's connections to X servers; nothing when its sockets or the
// kernel's socket table cannot be read.
std::optional<XConnections> xConnectionsOf(int64_t pid);

// The bytes waiting on these sockets, in either direction: received and not
// read, or sent and not read by the peer. Nothing when a socket is gone or
// cannot be asked about.
std::optional<uint64_t> bytesInFlight(const std::vector<uint32_t>& sockets);

} // namespace tovrik::platform::x11
