#pragma once

// The updater's one service: the update check (the manifest from the first
// trusted endpoint that answers well, then the version rule), the verified
// download into the Updates folder, the hand-off to the swap script, and the
// launch-health handshake of a freshly installed build.
//
// Network: an ephemeral session of its own (no cookies, no cache), redirects
// followed only to trusted update URLs (a refused redirect fails with its own
// status); 30 s per manifest request, 600 s for the package. The package is
// streamed to a temporary file and never allowed past the manifest's size,
// nor past 256 MiB whatever the manifest says.
// Progress is reported exactly three times: 0.0, 0.72 and 1.0.

#include "updater/BundleInfo.h"
#include "updater/UpdateManifest.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

namespace tovrik {

struct MacUpdateCheckResult {
    QString currentVersion;
    QString latestVersion;
    bool isUpdateAvailable = false;
    MacUpdateManifest manifest;
};

struct MacUpdatePackage {
    MacUpdateManifest manifest;
    QString fileURL; // path of the verified package
};

class MacUpdateService : public QObject {
    Q_OBJECT
public:
    MacUpdateService(QString appName, QString workerBaseURL, QStringList manifestPaths, QString expectedPlatform,
                     QString expectedBundleIdentifier, QString expectedTeamIdentifier, QObject* parent = nullptr);
    ~MacUpdateService() override;

    const QString& appName() const { return m_appName; }
    const QString& workerBaseURL() const { return m_workerBaseURL; }
    const QStringList& manifestPaths() const { return m_manifestPaths; }
    QList<QUrl> createManifestURLs() const;

    QCoro::Task<MacUpdateCheckResult> check(QString currentVersion, QString currentAppVersion,
                                            QString currentBundleBuild);
    // `progress` may be called after the caller is gone: it must guard itself.
    QCoro::Task<MacUpdatePackage> download(MacUpdateManifest manifest, std::function<void(double)> progress);

    // Writes and starts the swap script, then quits 0.4 s later. Throws.
    void startSelfUpdaterAndShutdown(const MacUpdatePackage& package);
    // At a start that is not the swap script's health launch: when a swap
    // run for this bundle was stopped outright after it may have swapped
    // (its journal in the Updates folder says so and no run holds its
    // lock), starts the swap script again with that run's arguments (this
    // process, a fresh marker and token), and quits 0.4 s later. The run
    // puts the previous build back first, then installs and verifies the
    // update again or leaves the previous build. True when it started it;
    // never throws (failures go to the update log).
    bool resumeInterruptedUpdate(const QStringList& arguments);
    // In a build the swap script started for its health check: `delay` s
    // after launch, and every 30 s after while the script runs, looks
    // whether this build's install is still recorded as unverified; when
    // the script was stopped outright meanwhile, notes in the update log
    // that the next start takes it up (this build never quits on its own).
    // Nothing for any other start. A journal that no longer matches the
    // install folder, disagrees with root's record of a system install, or
    // holds arguments the script refuses is dropped (logged), not taken up;
    // a journal of a stopped run with nothing to repair (it never swapped,
    // verified, or had begun its ending) is dropped silently. A dropped
    // journal goes with the script, marker and working folders it names.
    static constexpr double healthCheckFirst = 45, healthCheckRepeat = 30;
    void watchHealthCheck(const QStringList& arguments, double delay = healthCheckFirst);
    // The running bundle (its Info.plist values); empty outside a bundle.
    const update::BundleInfo& installedBundle() const;
    // The bundle to replace; empty when this process runs outside a bundle.
    QString installedTargetAppURL() const;

    // 1.0 s after launch: writes the health marker when the two options ask
    // for one. Never throws; failures go to the update log.
    static void signalUpdateLaunchHealthIfRequested();
    static void signalUpdateLaunchHealth(const QStringList& arguments, const update::BundleInfo& bundle);

    // SHA-256 in 128 KiB reads, lower-case hex; throws on a read error.
    static QString computeSHA256(const QString& path);
    static QString makeSafeFileName(const QString& version) { return update::makeSafeFileName(version); }

    // The swap script as written to disk: the template with the privileged
    // runner and the team's public key filled in.
    static QString swapScriptText(const QString& privilegedRunner, const QString& teamPublicKey);
    // The team's public key that updates must be signed with: the PEM file
    // the build put into the installed bundle
    // (Contents/Resources/update-signing-key.pem), empty when there is none.
    QString pinnedPublicKey() const;
    // Why this build cannot install an update (outside an installed bundle,
    // no pinned key); empty when it can. Asked before anything is downloaded.
    QString installBlocker() const;
    // One single-quoted shell word (' written as '\'').
    static QString shellQuote(const QString& text);

    // Seams: the running bundle, the privileged runner, the pinned key, the
    // launch of the swap script's shell (program and arguments; true when
    // it exited with 0) and what "quit" does (the application's quit by
    // default).
    void setBundle(update::BundleInfo bundle) { m_bundle = std::move(bundle); m_hasBundleOverride = true; }
    void setPrivilegedRunner(QString path) { m_privilegedRunner = std::move(path); }
    void setTeamPublicKey(QString pem) { m_teamPublicKey = std::move(pem); }
    using Launcher = std::function<bool(const QString& program, const QStringList& arguments)>;
    void setLauncher(Launcher launch) { m_launch = std::move(launch); }
    void setQuitHandler(std::function<void()> quit) { m_quit = std::move(quit); }
    // The process the swap script waits for (this one by default).
    void setProcessIdentifier(qint64 pid) { m_processIdentifier = pid; }

private:
    // The arguments of a swap run for this bundle that may have swapped
    // without verifying; `runAlive` says whether a run holds the lock.
    std::optional<QStringList> interruptedRun(bool* runAlive) const;
    bool takeUpInterruptedRun(QStringList scriptArguments);
    void lookAtHealthCheckIn(double delay);
    QString writeSwapScript() const;
    void launchSwapScript(const QString& scriptPath, const QStringList& scriptArguments);
    QString ownProcessIdentifier() const;
    static std::pair<QString, QString> freshHealthMarker();
    QCoro::Task<MacUpdateManifest> fetchLatestManifest();
    QCoro::Task<MacUpdateManifest> fetchManifest(QUrl url);
    bool matchesExpectedIdentity(const MacUpdateManifest& manifest) const;

    QString m_appName;
    QString m_workerBaseURL;
    QStringList m_manifestPaths;
    QString m_expectedPlatform;
    QString m_expectedBundleIdentifier;
    QString m_expectedTeamIdentifier;
    QNetworkAccessManager* m_network;
    update::BundleInfo m_bundle;
    bool m_hasBundleOverride = false;
    QString m_privilegedRunner = QStringLiteral("/usr/bin/pkexec");
    std::optional<QString> m_teamPublicKey;
    Launcher m_launch;
    std::function<void()> m_quit;
    qint64 m_processIdentifier = 0;
};

} // namespace tovrik
