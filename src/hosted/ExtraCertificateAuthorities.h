#pragma once

// Extra certificate authorities for the hosted service's TLS, for trying the
// app against a local stand-in of the service without touching the system's
// trust store: TOVRIK_EXTRA_CA_FILE names a PEM file whose certificates are
// added to Qt's default TLS configuration, read once at start. Nothing else
// changes: every connection still checks the whole chain and the host name,
// and the system's authorities stay trusted.

#include <QString>

namespace tovrik::hosted {

inline constexpr const char* extraCertificateAuthoritiesVariable = "TOVRIK_EXTRA_CA_FILE";

// Adds the certificates of the PEM file at `path` to the default TLS
// configuration. Returns the one line to log: what was added, or why the
// file was ignored (unreadable, no certificate, or an expired one only).
// An empty path adds nothing and returns an empty line.
QString trustExtraCertificateAuthorities(const QString& path);

} // namespace tovrik::hosted
