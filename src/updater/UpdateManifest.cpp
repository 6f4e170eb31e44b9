#include "updater/UpdateManifest.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cxxabi.h>
#include <cstdlib>
#include <typeinfo>

#include "common/Constants.h"

namespace tovrik {

MacUpdateError::MacUpdateError(const QString& message) : TovrikError(QStringLiteral("TovrikUpdate"), 1, message) {}
DecodingError::DecodingError(const QString& message) : TovrikError(QStringLiteral("TovrikUpdate"), 2, message) {}

namespace {

enum class Kind { text, integer, boolean };
struct Key {
    const char* name;
    Kind kind;
};
constexpr Key kKeys[] = {
    {"platform", Kind::text},        {"version", Kind::text},     {"appVersion", Kind::text},
    {"bundleBuild", Kind::text},     {"bundleIdentifier", Kind::text}, {"teamIdentifier", Kind::text},
    {"fileName", Kind::text},        {"storedFileName", Kind::text}, {"downloadUrl", Kind::text},
    {"assetUrl", Kind::text},        {"sizeBytes", Kind::integer}, {"sha256", Kind::text},
    {"publishedAt", Kind::text},     {"mandatory", Kind::boolean},
};

QString trimmed(const QString& s) { return s.trimmed(); }

bool matches(const char* pattern, const QString& text)
{
    return QRegularExpression(QString::fromLatin1(pattern)).match(text).hasMatch();
}

} // namespace

MacUpdateManifest MacUpdateManifest::decode(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("The update manifest is not valid JSON: ") + error.errorString() + ".");
    if (!doc.isObject())
        throw DecodingError(QStringLiteral("The update manifest is not a JSON object."));
    return fromJSON(doc.object());
}

MacUpdateManifest MacUpdateManifest::fromJSON(const QJsonObject& o)
{
    for (const Key& key : kKeys) {
        const QString name = QString::fromLatin1(key.name);
        const auto it = o.constFind(name);
        if (it == o.constEnd())
            throw DecodingError(QStringLiteral("The update manifest has no value for \"%1\".").arg(name));
        const QJsonValue v = *it;
        bool ok = false;
        switch (key.kind) {
        case Kind::text:
            ok = v.isString();
            break;
        case Kind::boolean:
            ok = v.isBool();
            break;
        case Kind::integer:
            // Qt keeps JSON integers exactly as 64-bit values; a fraction or
            // a number beyond 64 bits does not round-trip.
            ok = v.isDouble() && QJsonValue(v.toInteger()) == v;
            break;
        }
        if (!ok)
            throw DecodingError(QStringLiteral("The update manifest's \"%1\" has the wrong type.").arg(name));
    }
    MacUpdateManifest m;
    m.platform = o.value("platform").toString();
    m.version = o.value("version").toString();
    m.appVersion = o.value("appVersion").toString();
    m.bundleBuild = o.value("bundleBuild").toString();
    m.bundleIdentifier = o.value("bundleIdentifier").toString();
    m.teamIdentifier = o.value("teamIdentifier").toString();
    m.fileName = o.value("fileName").toString();
    m.storedFileName = o.value("storedFileName").toString();
    m.downloadUrl = o.value("downloadUrl").toString();
    m.assetUrl = o.value("assetUrl").toString();
    m.sizeBytes = o.value("sizeBytes").toInteger();
    m.sha256 = o.value("sha256").toString();
    m.publishedAt = o.value("publishedAt").toString();
    m.mandatory = o.value("mandatory").toBool();
    return m;
}

QJsonObject MacUpdateManifest::toJSON() const
{
    return QJsonObject{{"platform", platform},
                       {"version", version},
                       {"appVersion", appVersion},
                       {"bundleBuild", bundleBuild},
                       {"bundleIdentifier", bundleIdentifier},
                       {"teamIdentifier", teamIdentifier},
                       {"fileName", fileName},
                       {"storedFileName", storedFileName},
                       {"downloadUrl", downloadUrl},
                       {"assetUrl", assetUrl},
                       {"sizeBytes", sizeBytes},
                       {"sha256", sha256},
                       {"publishedAt", publishedAt},
                       {"mandatory", mandatory}};
}

void MacUpdateManifest::normalize()
{
    for (QString* s : {&platform, &version, &appVersion, &bundleBuild, &bundleIdentifier, &teamIdentifier,
                       &fileName, &storedFileName, &downloadUrl, &assetUrl, &sha256, &publishedAt})
        *s = trimmed(*s);
}

bool MacUpdateManifest::isUsable() const
{
    return !platform.isEmpty() && !version.isEmpty() && !appVersion.isEmpty()
        && matches("^[0-9]+$", bundleBuild) && !bundleIdentifier.isEmpty() && !teamIdentifier.isEmpty()
        && (!assetUrl.isEmpty() || !downloadUrl.isEmpty()) && sizeBytes >= 1
        && matches("^[0-9a-fA-F]{64}$", sha256);
}

namespace update {

const QSet<QString>& trustedUpdateHosts()
{
    static const QSet<QString> hosts = constants::trustedHostedWorkerHosts();
    return hosts;
}

bool isTrustedHTTPSURL(const QUrl& url)
{
    if (!url.isValid() || url.scheme().toLower() != QLatin1String("https"))
        return false;
    if (!url.userName().isEmpty() || !url.password().isEmpty())
        return false;
    if (url.port() != -1 && url.port() != 443)
        return false;
    const QString host = url.host().toLower();
    return !host.isEmpty() && trustedUpdateHosts().contains(host);
}

QList<QUrl> createManifestURLs(const QString& workerBaseURL, const QStringList& manifestPaths)
{
    QString base = workerBaseURL.trimmed();
    while (base.startsWith('/'))
        base.remove(0, 1);
    while (base.endsWith('/'))
        base.chop(1);
    QList<QUrl> urls;
    for (const QString& path : manifestPaths) {
        const QUrl url(base + path, QUrl::StrictMode);
        if (isTrustedHTTPSURL(url))
            urls.append(url);
    }
    return urls;
}

void validateHTTPResponse(const HTTPResponseInfo& response, const QUrl& sourceURL, const QString& stage)
{
    const QString source = sourceURL.toString(QUrl::FullyEncoded);
    if (!response.isHTTP)
        throw MacUpdateError(stage + " failed at " + source + ".");
    if (response.status < 200 || response.status > 299)
        throw MacUpdateError(stage + " failed at " + source + " (" + QString::number(response.status) + ").");
    if (!response.finalURL.isValid() || !isTrustedHTTPSURL(response.finalURL))
        throw MacUpdateError(stage + " was redirected to an untrusted location.");
}

std::optional<QString> updatesDirectoryPath()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return std::nullopt;
    return data + "/" + constants::appDisplayName + "/Updates";
}

QString updatesDirectoryURL()
{
    if (const auto path = updatesDirectoryPath())
        return *path;
    throw MacUpdateError(QStringLiteral("Could not locate Application Support."));
}

QString updateLogURL()
{
    const QString folder = updatesDirectoryPath().value_or(
        QDir::homePath() + "/.local/share/" + constants::appDisplayName + "/Updates");
    return folder + "/tovrik-update.log";
}

QString escapeControlCharacters(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString errorTypeName(std::exception_ptr error)
{
    const std::type_info* type = nullptr;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        type = &typeid(e);
    } catch (...) {
        return QStringLiteral("Error");
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    QString name = status == 0 && demangled ? QString::fromLatin1(demangled) : QString::fromLatin1(type->name());
    std::free(demangled);
    const int colon = name.lastIndexOf(QLatin1String("::"));
    return colon >= 0 ? name.mid(colon + 2) : name;
}

void logFailure(const QString& stage, std::exception_ptr error)
{
    const QString path = updateLogURL();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return;
    const QString line = "[" + QDateTime::currentDateTimeUtc().toString(Qt::ISODate) + "] "
        + escapeControlCharacters(stage) + ": " + errorTypeName(error) + ": "
        + escapeControlCharacters(describeException(error)) + "\n";
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8());
}

std::optional<std::array<qint64, 3>> semanticVersionComponents(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("(?:^|[^0-9])v?([0-9]+)\\.([0-9]+)\\.([0-9]+)(?:[^0-9]|$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    std::array<qint64, 3> parts{};
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const qint64 v = m.captured(i + 1).toLongLong(&ok);
        parts[size_t(i)] = ok ? v : 0;
    }
    return parts;
}

std::optional<QString> canonicalBuild(const QString& text)
{
    QString digits = text.startsWith('+') ? text.mid(1) : text;
    if (!matches("^[0-9]+$", digits))
        return std::nullopt;
    int first = 0;
    while (first < digits.size() - 1 && digits[first] == '0')
        ++first;
    return digits.mid(first);
}

int compareBuilds(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

bool buildFitsComparison(const QString& canonical)
{
    return compareBuilds(canonical, QStringLiteral("18446744073709551615")) <= 0;
}

QString makeSafeFileName(const QString& version)
{
    QString safe = version.trimmed();
    if (safe.isEmpty())
        safe = QStringLiteral("latest");
    for (QChar& c : safe) {
        const ushort u = c.unicode();
        if (QStringLiteral("/\\?%*|\"<>: ").contains(c) || u < 0x20 || u == 0x7f)
            c = '-';
    }
    return safe;
}

bool isUUIDText(const QString& text)
{
    return matches("^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$", text);
}

} // namespace update
} // namespace tovrik
