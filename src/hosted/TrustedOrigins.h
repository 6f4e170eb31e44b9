#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace tovrik {

// The normalized hosted origin ("https://" + lowercased host, no port, no
// path, no trailing "/") when `text`, trimmed of whitespace and line breaks,
// is an https URL (any letter case) whose host is one of the trusted hosts,
// with no user, password, query or fragment (an empty "?" or "#" counts) and
// no port other than 443. Any path is dropped. Otherwise none. No side effect.
std::optional<QString> normalizedTrustedHostedWorkerBaseURL(const std::optional<QString>& text);

// A request URL may be used: https, trusted host, no user info, port absent
// or 443. (Paths and queries are allowed.)
bool isTrustedHostedWorkerURL(const QUrl& url);

// Both URLs are trusted (as above) and name the same https origin (host
// compared without case, port 443 implied). The redirect policy follows a
// redirect only when this holds for the current URL and the target.
bool isSameTrustedHostedHTTPSOrigin(const QUrl& a, const QUrl& b);

} // namespace tovrik
