#pragma once

// Qt's HTTP channel leaves Nagle's algorithm on its sockets and offers no
// way to reach them. A request goes out as its headers and then its body in
// pieces; with Nagle on, a piece smaller than a segment waits for the ACK of
// the previous one, which the receiver delays (40 ms on Linux), so a turn's
// uploads stall. This sets the low-delay option (TCP_NODELAY) on every TCP
// socket of the process: all of them carry our HTTP requests, and for
// request/response traffic the option is what every HTTP client uses.

class QNetworkReply;

namespace tovrik::network {

// Sets TCP_NODELAY on each open TCP socket; returns how many it set.
int setLowDelayOnTcpSockets();

// For a request on a new connection (call setLowDelayOnTcpSockets() before
// sending, for one that reuses a connection): sets the option when the
// reply's socket starts connecting and again once it is encrypted.
void keepLowDelay(QNetworkReply* reply);

} // namespace tovrik::network
