#include "updater/MacUpdateService.h"

#include "common/Clock.h"
#include "hosted/HTTPError.h"
#include "hosted/HostedBackendClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

#include <openssl/evp.h>
#include <memory>
#include <unistd.h>

namespace tovrik {

namespace {

constexpr double manifestTimeout = 30;
constexpr double packageTimeout = 600;
constexpr int maximumRedirects = 10;
constexpr qint64 maximumManifestBytes = 1 << 20;
// The largest package this updater downloads, whatever a manifest declares:
// many times any bundle this application has shipped as.
constexpr qint64 maximumPackageBytes = qint64(256) << 20;

// One GET, its redirects followed by hand while they stay trusted. The body
// goes to `sink` (when given) or memory, never past `maxBody` bytes of a 2xx
// answer: `overflowed` then says so and the transfer stops at once.
class Transfer : public QObject {
    Q_OBJECT
public:
    Transfer(QNetworkReply* reply, double timeout, qint64 maxBody, QIODevice* sink)
        : m_reply(reply), m_maxBody(maxBody), m_sink(sink)
    {
        reply->setParent(this);
        connect(reply, &QNetworkReply::readyRead, this, &Transfer::drain);
        connect(reply, &QNetworkReply::finished, this, &Transfer::finish);
        m_timer = Clock::instance().schedule(std::max(timeout, 0.0), this, [this] {
            m_timer = 0;
            timedOut = true;
            m_reply->abort();
        });
    }
    ~Transfer() override
    {
        if (m_timer)
            Clock::instance().cancel(m_timer);
        m_reply->disconnect(this);
        if (m_reply->isRunning())
            m_reply->abort();
    }
    QNetworkReply* reply() const { return m_reply; }
    bool done = false;
    bool timedOut = false;
    bool overflowed = false;
    bool writeFailed = false;
    qint64 received = 0;
    QByteArray body;

signals:
    void finished();

private:
    bool isSuccess() const
    {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status >= 200 && status <= 299;
    }
    void drain()
    {
        if (overflowed || writeFailed)
            return;
        const QByteArray chunk = m_reply->readAll();
        if (!isSuccess()) {
            if (body.size() < maximumManifestBytes)
                body += chunk.left(maximumManifestBytes - body.size());
            return;
        }
        received += chunk.size();
        if (received > m_maxBody) {
            overflowed = true;
            m_reply->abort();
            return;
        }
        if (m_sink) {
            if (m_sink->write(chunk) != chunk.size()) {
                writeFailed = true;
                m_reply->abort();
            }
        } else {
            body += chunk;
        }
    }
    void finish()
    {
        if (done)
            return;
        drain();
        done = true;
        if (m_timer)
            Clock::instance().cancel(m_timer);
        m_timer = 0;
        emit finished();
    }
    QNetworkReply* m_reply;
    qint64 m_maxBody;
    QIODevice* m_sink;
    quint64 m_timer = 0;
};

struct Fetched {
    update::HTTPResponseInfo info;
    QByteArray body;
    bool overflowed = false;
};

QNetworkRequest makeRequest(const QUrl& url, const QByteArray& userAgent, bool acceptJSON, double timeout)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(int(timeout * 1000));
    request.setRawHeader("User-Agent", userAgent);
    if (acceptJSON)
        request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Cache-Control", "no-cache");
    return request;
}

// Follows redirects only to trusted update URLs; a refused one is returned
// as the answer (its 3xx then fails the status check).
QCoro::Task<Fetched> fetchURL(QNetworkAccessManager* network, QUrl url, QByteArray userAgent, bool acceptJSON,
                              double timeout, qint64 maxBody, QFile* sink)
{
    const double deadline = Clock::instance().now() + timeout;
    for (int redirects = 0;; ++redirects) {
        if (sink) {
            sink->resize(0);
            sink->seek(0);
        }
        auto transfer = std::make_unique<Transfer>(network->get(makeRequest(url, userAgent, acceptJSON, timeout)),
                                                   deadline - Clock::instance().now(), maxBody, sink);
        if (!transfer->done) {
            auto wait = qCoro(transfer.get(), &Transfer::finished);
            co_await std::move(wait);
        }
        QNetworkReply* reply = transfer->reply();
        Fetched result;
        result.overflowed = transfer->overflowed;
        if (transfer->overflowed)
            co_return result;
        if (transfer->timedOut)
            throw HTTPError::timedOut();
        if (transfer->writeFailed)
            throw TovrikError(QStringLiteral("TovrikUpdate"), 3,
                              QStringLiteral("Could not write the update package: ") + sink->errorString());
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid())
            throw HTTPError::transport(reply->errorString(), int(reply->error()));
        result.info = {true, status.toInt(), url};
        result.body = transfer->body;
        if (result.info.status >= 300 && result.info.status < 400) {
            const QUrl target = url.resolved(QUrl::fromEncoded(reply->rawHeader("Location").trimmed()));
            if (redirects < maximumRedirects && target.isValid() && update::isTrustedHTTPSURL(target)) {
                url = target;
                continue;
            }
            co_return result;
        }
        if (reply->error() != QNetworkReply::NoError && result.info.status >= 200 && result.info.status <= 299)
            throw HTTPError::transport(reply->errorString(), int(reply->error()));
        co_return result;
    }
}

bool matchesRegex(const char* pattern, const QString& text)
{
    return QRegularExpression(QString::fromLatin1(pattern)).match(text).hasMatch();
}

QString uuidText() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

} // namespace

MacUpdateService::MacUpdateService(QString appName, QString workerBaseURL, QStringList manifestPaths,
                                   QString expectedPlatform, QString expectedBundleIdentifier,
                                   QString expectedTeamIdentifier, QObject* parent)
    : QObject(parent), m_appName(std::move(appName)), m_workerBaseURL(std::move(workerBaseURL)),
      m_manifestPaths(std::move(manifestPaths)), m_expectedPlatform(std::move(expectedPlatform)),
      m_expectedBundleIdentifier(std::move(expectedBundleIdentifier)),
      m_expectedTeamIdentifier(std::move(expectedTeamIdentifier)), m_network(new QNetworkAccessManager(this))
{
    HostedBackendClient::configureNetworkAccess(m_network);
    m_quit = [] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    };
}

MacUpdateService::~MacUpdateService() = default;

QList<QUrl> MacUpdateService::createManifestURLs() const
{
    return update::createManifestURLs(m_workerBaseURL, m_manifestPaths);
}

bool MacUpdateService::matchesExpectedIdentity(const MacUpdateManifest& m) const
{
    return m.isUsable() && m.platform.compare(m_expectedPlatform, Qt::CaseInsensitive) == 0
        && m.bundleIdentifier == m_expectedBundleIdentifier && m.teamIdentifier == m_expectedTeamIdentifier;
}

const update::BundleInfo& MacUpdateService::installedBundle() const
{
    return m_hasBundleOverride ? m_bundle : update::mainBundle();
}

QCoro::Task<MacUpdateManifest> MacUpdateService::fetchManifest(QUrl url)
{
    auto fetch = fetchURL(m_network, url, "Tovrik.Mac.UpdateCheck/1.0", true, manifestTimeout, maximumManifestBytes,
                          nullptr);
    const Fetched fetched = co_await std::move(fetch);
    if (fetched.overflowed)
        throw HTTPError::invalidResponse(QStringLiteral("update manifest too large"));
    update::validateHTTPResponse(fetched.info, url, QStringLiteral("Update manifest"));
    MacUpdateManifest manifest = MacUpdateManifest::decode(fetched.body);
    manifest.normalize();
    if (!manifest.isUsable())
        throw MacUpdateError(QStringLiteral("Update manifest is incomplete."));
    if (manifest.platform.compare(m_expectedPlatform, Qt::CaseInsensitive) != 0)
        throw MacUpdateError(QStringLiteral("Update manifest is for a different release channel."));
    if (manifest.bundleIdentifier != m_expectedBundleIdentifier || manifest.teamIdentifier != m_expectedTeamIdentifier)
        throw MacUpdateError(QStringLiteral("Update manifest identity does not match this application."));
    co_return manifest;
}

QCoro::Task<MacUpdateManifest> MacUpdateService::fetchLatestManifest()
{
    const QList<QUrl> urls = createManifestURLs();
    if (urls.isEmpty())
        throw MacUpdateError(QStringLiteral("No update manifest endpoint was available."));
    QString lastError;
    for (const QUrl& url : urls) {
        std::exception_ptr failure;
        try {
            auto task = fetchManifest(url);
            co_return co_await std::move(task);
        } catch (...) {
            failure = std::current_exception();
        }
        if (isCancellation(failure))
            std::rethrow_exception(failure);
        lastError = describeException(failure);
    }
    throw MacUpdateError(QStringLiteral("No update manifest endpoint was reachable. Last error: ") + lastError);
}

QCoro::Task<MacUpdateCheckResult> MacUpdateService::check(QString currentVersion, QString currentAppVersion,
                                                          QString currentBundleBuild)
{
    QPointer<MacUpdateService> self(this);
    auto fetch = fetchLatestManifest();
    MacUpdateManifest manifest = co_await std::move(fetch);
    if (!self)
        throw CancellationError();
    const auto installedBuild = update::canonicalBuild(currentBundleBuild.trimmed());
    const auto publishedBuild = update::canonicalBuild(manifest.bundleBuild);
    const auto published = update::semanticVersionComponents(manifest.appVersion);
    const auto installed = update::semanticVersionComponents(currentAppVersion.trimmed());
    if (!installedBuild || !publishedBuild || !update::buildFitsComparison(*installedBuild)
        || !update::buildFitsComparison(*publishedBuild) || !published || !installed)
        throw MacUpdateError(QStringLiteral("Installed or manifest application version cannot be ordered safely."));
    const bool notOlder = !(*published < *installed);
    MacUpdateCheckResult result;
    result.currentVersion = currentVersion.trimmed();
    result.latestVersion = manifest.version.trimmed();
    result.isUpdateAvailable = notOlder && update::compareBuilds(*installedBuild, *publishedBuild) < 0;
    result.manifest = manifest;
    co_return result;
}

QString MacUpdateService::computeSHA256(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw TovrikError(QStringLiteral("TovrikUpdate"), 4, file.errorString());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        throw TovrikError(QStringLiteral("TovrikUpdate"), 4, QStringLiteral("SHA-256 is not available."));
    QByteArray buffer(131072, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            throw TovrikError(QStringLiteral("TovrikUpdate"), 4, file.errorString());
        if (n == 0)
            break;
        EVP_DigestUpdate(context.get(), buffer.constData(), size_t(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

QCoro::Task<MacUpdatePackage> MacUpdateService::download(MacUpdateManifest manifest,
                                                         std::function<void(double)> progress)
{
    const auto report = [&progress](double fraction) {
        if (progress)
            progress(fraction);
    };
    manifest.normalize();
    if (!matchesExpectedIdentity(manifest))
        throw MacUpdateError(QStringLiteral("Update manifest identity is invalid for this application."));
    const QString folder = update::updatesDirectoryURL();
    if (!QDir().mkpath(folder))
        throw TovrikError(QStringLiteral("TovrikUpdate"), 5, QStringLiteral("Could not create ") + folder + ".");
    const QString safe = update::makeSafeFileName(manifest.version);
    const QString finalPath = folder + "/Tovrik-update-" + safe + ".tar.gz";
    const QString temporaryPath = folder + "/Tovrik-update-" + safe + "-" + uuidText() + ".download";
    const QUrl packageURL(manifest.assetUrl.isEmpty() ? manifest.downloadUrl : manifest.assetUrl, QUrl::StrictMode);
    if (!packageURL.isValid() || !update::isTrustedHTTPSURL(packageURL))
        throw MacUpdateError(QStringLiteral("Update package URL is invalid."));
    if (manifest.sizeBytes > maximumPackageBytes)
        throw MacUpdateError(QStringLiteral("Update package is larger than %1 MiB.").arg(maximumPackageBytes >> 20));
    report(0.0);

    QPointer<MacUpdateService> self(this);
    auto file = std::make_unique<QFile>(temporaryPath);
    std::exception_ptr failure;
    try {
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw TovrikError(QStringLiteral("TovrikUpdate"), 5, file->errorString());
        auto fetch = fetchURL(m_network, packageURL, "Tovrik.Mac.UpdateDownload/1.0", false, packageTimeout,
                              manifest.sizeBytes, file.get());
        const Fetched fetched = co_await std::move(fetch);
        if (!file->flush())
            throw TovrikError(QStringLiteral("TovrikUpdate"), 5, file->errorString());
        file->close();
        if (!self)
            throw CancellationError();
        if (fetched.overflowed)
            throw MacUpdateError(QStringLiteral("Downloaded update size did not match the manifest."));
        update::validateHTTPResponse(fetched.info, packageURL, QStringLiteral("Update download"));
        report(0.72);
        if (QFileInfo(temporaryPath).size() != manifest.sizeBytes)
            throw MacUpdateError(QStringLiteral("Downloaded update size did not match the manifest."));
        // Hashing a large package must not stall the event loop.
        auto hashing = QtConcurrent::run([temporaryPath]() -> QString {
            try {
                return computeSHA256(temporaryPath);
            } catch (...) {
                return QString();
            }
        });
        const QString digest = co_await std::move(hashing);
        if (digest.isEmpty())
            throw TovrikError(QStringLiteral("TovrikUpdate"), 4, QStringLiteral("Could not read ") + temporaryPath + ".");
        if (digest.compare(manifest.sha256, Qt::CaseInsensitive) != 0)
            throw MacUpdateError(QStringLiteral("Downloaded update failed checksum verification."));
        QFile::remove(finalPath);
        if (!QFile::rename(temporaryPath, finalPath))
            throw TovrikError(QStringLiteral("TovrikUpdate"), 5, QStringLiteral("Could not move the update package into place."));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        file->close();
        QFile::remove(temporaryPath);
        std::rethrow_exception(failure);
    }
    report(1.0);
    co_return MacUpdatePackage{manifest, finalPath};
}

QString MacUpdateService::shellQuote(const QString& text)
{
    return "'" + QString(text).replace(QLatin1String("'"), QLatin1String("'\\''")) + "'";
}

QString MacUpdateService::installedTargetAppURL() const { return installedBundle().bundlePath; }

QString MacUpdateService::pinnedPublicKey() const
{
    if (m_teamPublicKey)
        return *m_teamPublicKey;
    const QString bundle = installedBundle().bundlePath;
    if (bundle.isEmpty())
        return {};
    QFile file(bundle + "/Contents/Resources/update-signing-key.pem");
    if (!file.open(QIODevice::ReadOnly) || file.size() > 65536)
        return {};
    const QString pem = QString::fromLatin1(file.readAll()).trimmed();
    // One PEM public key, nothing else (it is written into the script inside single quotes).
    static const QRegularExpression shape(QStringLiteral("^-----BEGIN PUBLIC KEY-----\\n[A-Za-z0-9+/=\\n]+\\n-----END PUBLIC KEY-----$"));
    return shape.match(pem).hasMatch() ? pem : QString();
}

QString MacUpdateService::installBlocker() const
{
    if (installedTargetAppURL().isEmpty())
        return QStringLiteral("This build cannot install updates (not an installed bundle).");
    if (pinnedPublicKey().isEmpty())
        return QStringLiteral("This build cannot install updates (no pinned update key).");
    return {};
}

void MacUpdateService::startSelfUpdaterAndShutdown(const MacUpdatePackage& package)
{
    if (!QFileInfo(package.fileURL).isFile())
        throw MacUpdateError(QStringLiteral("Downloaded update package is missing."));
    MacUpdateManifest manifest = package.manifest;
    manifest.normalize();
    if (!matchesExpectedIdentity(manifest))
        throw MacUpdateError(QStringLiteral("Downloaded update manifest identity is invalid."));
    if (const QString blocker = installBlocker(); !blocker.isEmpty())
        throw MacUpdateError(blocker);
    const QString scriptPath = writeSwapScript();
    const QString target = installedTargetAppURL();
    const QString build = installedBundle().value(QStringLiteral("CFBundleVersion")).value_or(QString()).trimmed();
    if (!matchesRegex("^[0-9]+$", build))
        throw MacUpdateError(QStringLiteral("The installed application bundle build is invalid."));
    const QString logPath = update::updateLogURL();
    const auto [marker, token] = freshHealthMarker();
    launchSwapScript(scriptPath, {ownProcessIdentifier(), package.fileURL, target, m_appName, logPath,
                                  m_expectedBundleIdentifier, m_expectedTeamIdentifier, build, manifest.appVersion,
                                  manifest.bundleBuild, QString::number(manifest.sizeBytes), manifest.sha256.toLower(),
                                  marker, token});
}

QString MacUpdateService::ownProcessIdentifier() const
{
    return QString::number(m_processIdentifier ? m_processIdentifier : QCoreApplication::applicationPid());
}

std::pair<QString, QString> MacUpdateService::freshHealthMarker()
{
    const QString marker = update::updatesDirectoryURL() + "/tovrik-health-" + uuidText() + ".ready";
    const QString token = QString(uuidText() + uuidText()).remove(QLatin1Char('-')).toLower();
    return {marker, token};
}

QString MacUpdateService::writeSwapScript() const
{
    const QString folder = update::updatesDirectoryURL();
    if (!QDir().mkpath(folder))
        throw TovrikError(QStringLiteral("TovrikUpdate"), 5, QStringLiteral("Could not create ") + folder + ".");
    const QString scriptPath = folder + "/apply-tovrik-update-" + uuidText() + ".zsh";
    QSaveFile script(scriptPath);
    if (!script.open(QIODevice::WriteOnly))
        throw TovrikError(QStringLiteral("TovrikUpdate"), 5, script.errorString());
    script.write(swapScriptText(m_privilegedRunner, pinnedPublicKey()).toUtf8());
    if (!script.commit())
        throw TovrikError(QStringLiteral("TovrikUpdate"), 5, script.errorString());
    if (!QFile::setPermissions(scriptPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                               | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                               | QFileDevice::ReadOther | QFileDevice::ExeOther))
        throw TovrikError(QStringLiteral("TovrikUpdate"), 5, QStringLiteral("Could not make the updater script executable."));
    return scriptPath;
}

void MacUpdateService::launchSwapScript(const QString& scriptPath, const QStringList& scriptArguments)
{
    const QStringList words = QStringList{QStringLiteral("/usr/bin/nohup"), QStringLiteral("/bin/zsh"), scriptPath}
        + scriptArguments;
    QStringList quoted;
    for (const QString& word : words)
        quoted << shellQuote(word);
    const QString command = quoted.join(' ') + " >> " + shellQuote(update::updateLogURL()) + " 2>&1 &";

    const QStringList launch{QStringLiteral("-lc"), command};
    if (m_launch) {
        if (!m_launch(QStringLiteral("/bin/zsh"), launch))
            throw MacUpdateError(QStringLiteral("Could not start the updater process."));
    } else {
        QProcess launcher;
        launcher.setStandardInputFile(QProcess::nullDevice());
        launcher.setStandardOutputFile(QProcess::nullDevice());
        launcher.setStandardErrorFile(QProcess::nullDevice());
        launcher.start(QStringLiteral("/bin/zsh"), launch);
        if (!launcher.waitForStarted(10000))
            throw TovrikError(QStringLiteral("TovrikUpdate"), 6, launcher.errorString());
        if (!launcher.waitForFinished(30000) || launcher.exitStatus() != QProcess::NormalExit || launcher.exitCode() != 0)
            throw MacUpdateError(QStringLiteral("Could not start the updater process."));
    }

    Clock::instance().schedule(0.4, this, [quit = m_quit] {
        if (quit)
            quit();
    });
}

} // namespace tovrik

#include "MacUpdateService.moc"
