#pragma once

// The updater's vocabulary: the manifest the hosted service publishes for the
// newest build, the updater's own error, the trusted update URLs, the checks
// applied to every HTTP response, the version rule and the update log.
//
// Rules:
//  - The manifest decodes strictly: each of its 14 keys must be present, not
//    null and of its JSON type (sizeBytes an exact 64-bit integer); unknown
//    keys are ignored. normalize() trims the 12 texts; isUsable is the
//    completeness rule (callers normalize first).
//  - A trusted update URL is https (any case), has no user or password, no
//    port other than 443, and one of the three trusted hosts.
//  - Builds are digit strings compared by value; the update check orders
//    only those that fit an unsigned 64-bit integer. Marketing versions are
//    the first "major.minor.patch" triple.
//  - The update log gets one line per failure:
//    "[2026-09-11T10:00:00Z] stage: TypeName: description\n", with control
//    characters of the stage and description escaped, never raw.

#include "common/Error.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <array>
#include <exception>
#include <optional>

namespace tovrik {

class MacUpdateError : public TovrikError {
public:
    explicit MacUpdateError(const QString& message);
};

// A manifest body that is not the 14-key object.
class DecodingError : public TovrikError {
public:
    explicit DecodingError(const QString& message);
};

struct MacUpdateManifest {
    QString platform;
    QString version;
    QString appVersion;
    QString bundleBuild;
    QString bundleIdentifier;
    QString teamIdentifier;
    QString fileName;
    QString storedFileName;
    QString downloadUrl;
    QString assetUrl;
    qint64 sizeBytes = 0;
    QString sha256;
    QString publishedAt;
    bool mandatory = false;

    // Throws DecodingError (missing key, null, wrong type, not an object).
    static MacUpdateManifest decode(const QByteArray& json);
    static MacUpdateManifest fromJSON(const QJsonObject& object);
    QJsonObject toJSON() const; // the same 14 keys
    void normalize();
    bool isUsable() const;
    bool operator==(const MacUpdateManifest&) const = default;
};

namespace update {

const QSet<QString>& trustedUpdateHosts();
bool isTrustedHTTPSURL(const QUrl& url);
// base (trimmed, then "/" trimmed from both ends) + each path, kept when trusted.
QList<QUrl> createManifestURLs(const QString& workerBaseURL, const QStringList& manifestPaths);

// What the updater needs of one HTTP response: whether it was one at all,
// its status and the URL it finally came from.
struct HTTPResponseInfo {
    bool isHTTP = false;
    int status = 0;
    QUrl finalURL;
};
// Throws MacUpdateError with the stage's messages; accepts a 2xx from a
// trusted final URL.
void validateHTTPResponse(const HTTPResponseInfo& response, const QUrl& sourceURL, const QString& stage);

// "<data>/Tovrik/Updates"; none when the system reports no data folder.
std::optional<QString> updatesDirectoryPath();
// Throws MacUpdateError("Could not locate Application Support.").
QString updatesDirectoryURL();
// The log file; falls back to ~/.local/share when no data folder is reported.
QString updateLogURL();
void logFailure(const QString& stage, std::exception_ptr error);
// The unqualified name of the exception's dynamic type ("MacUpdateError").
QString errorTypeName(std::exception_ptr error);
// Control characters as visible escapes ("\n", "\t", "\x1b").
QString escapeControlCharacters(const QString& text);

// The triple of the first "v?major.minor.patch" (not inside a longer number).
std::optional<std::array<qint64, 3>> semanticVersionComponents(const QString& text);
// A build: an optional "+" then ASCII digits; the digits without leading zeros
// ("0" for zero). None for anything else.
std::optional<QString> canonicalBuild(const QString& text);
// Compares two canonical builds by value: <0, 0, >0.
int compareBuilds(const QString& a, const QString& b);
// Whether a canonical build fits the update check's comparison (an unsigned
// 64-bit integer, at most 18446744073709551615).
bool buildFitsComparison(const QString& canonical);
// The package file name part: the trimmed version ("latest" when empty) with
// / \ ? % * | " < > : space and control characters made "-".
QString makeSafeFileName(const QString& version);
// "^[0-9a-fA-F]{8}-...-[0-9a-fA-F]{12}$"
bool isUUIDText(const QString& text);

} // namespace update
} // namespace tovrik
