// "Check for updates": the busy guard, the order of calls into the update
// service, the install question and every status text of the update row.

#include "model/TovrikAppModel.h"

#include "common/Constants.h"
#include "updater/MacUpdateService.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTextBoundaryFinder>
#include <QThread>
#include <cmath>

namespace tovrik {

namespace {

bool askWithMessageBox(const QString& message, const QString& informativeText)
{
    // The versions come from the manifest: shown as the characters they
    // are, never as markup.
    QMessageBox box(QMessageBox::Information, constants::appDisplayName, message);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(informativeText);
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    QPushButton* install = box.addButton(QStringLiteral("Install and restart"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Not now"), QMessageBox::RejectRole);
    box.setDefaultButton(install);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return box.clickedButton() == install;
}

QString downloadPercentText(double fraction)
{
    const long percent = fraction <= 0 ? 0 : std::lround(std::min(fraction, 1.0) * 100);
    return QStringLiteral("Downloading update... ") + QString::number(percent) + QStringLiteral("%");
}

} // namespace

QString TovrikAppModel::shortUpdateErrorDescription(std::exception_ptr error)
{
    const QString text = errorDescription(error).trimmed();
    if (text.isEmpty())
        return QStringLiteral("see update log.");
    // Count what a reader sees as characters (grapheme clusters).
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    int cut = -1;
    while (finder.toNextBoundary() != -1) {
        ++count;
        if (count == 92)
            cut = finder.position();
    }
    if (count >= 96)
        return text.left(cut) + QStringLiteral("...");
    return text;
}

void TovrikAppModel::checkForUpdates()
{
    if (m_isUpdateCheckBusy)
        return;
    QPointer<TovrikAppModel> self(this);
    QMetaObject::invokeMethod(
        this, [self] {
            if (isAlive(self))
                startTask([self](CancellationToken) { return self->checkForUpdatesAsync(); });
        },
        Qt::QueuedConnection);
}

QCoro::Task<void> TovrikAppModel::checkForUpdatesAsync()
{
    if (m_isUpdateCheckBusy)
        co_return;
    QPointer<TovrikAppModel> self(this);
    setUpdateCheckBusy(true);
    setUpdateStatusMessage(QStringLiteral("Checking latest version..."));
    MacUpdateService& service = *m_macUpdateService;
    const update::BundleInfo& bundle = service.installedBundle();
    const QString appVersion = bundle.value(QStringLiteral("CFBundleShortVersionString"))
                                   .value_or(constants::appDisplayVersion).trimmed();
    const QString build = bundle.value(QStringLiteral("CFBundleVersion")).value_or(QStringLiteral("0")).trimmed();

    // Each failure: logged under its stage, then shown with its prefix.
    const auto fail = [this](const QString& stage, const QString& prefix, std::exception_ptr error) {
        update::logFailure(stage, error);
        setUpdateStatusMessage(prefix + shortUpdateErrorDescription(error));
        setUpdateCheckBusy(false);
    };

    std::exception_ptr failure;
    MacUpdateCheckResult result;
    try {
        auto check = service.check(constants::macOSDesktopAssetVersion, appVersion, build);
        result = co_await std::move(check);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(self))
        co_return;
    if (failure)
        co_return fail(QStringLiteral("checking"), QStringLiteral("Update check failed: "), failure);
    if (!result.isUpdateAvailable) {
        setUpdateStatusMessage(QStringLiteral("Up to date: ") + result.currentVersion + QStringLiteral("."));
        setUpdateCheckBusy(false);
        co_return;
    }
    setUpdateStatusMessage(QStringLiteral("Update available: ") + result.manifest.version + QStringLiteral("."));
    // A build that cannot install says so now, before any question or download.
    if (const QString blocker = service.installBlocker(); !blocker.isEmpty()) {
        update::logFailure(QStringLiteral("installing"), std::make_exception_ptr(MacUpdateError(blocker)));
        setUpdateStatusMessage(QStringLiteral("Update available: ") + result.manifest.version + QStringLiteral(". ")
                               + blocker);
        setUpdateCheckBusy(false);
        co_return;
    }

    const QString message = constants::appDisplayName + " " + result.latestVersion + " is available.";
    const QString informative = "Current version: " + result.currentVersion + "\nLatest version: "
        + result.latestVersion + "\n\nInstall it now? " + constants::appDisplayName + " will restart.";
    const bool install = m_updateConfirmation ? m_updateConfirmation(message, informative)
                                              : askWithMessageBox(message, informative);
    if (!isAlive(self))
        co_return;
    if (!install) {
        setUpdateStatusMessage(QStringLiteral("Update available. Install skipped."));
        setUpdateCheckBusy(false);
        co_return;
    }

    setUpdateStatusMessage(QStringLiteral("Downloading update..."));
    MacUpdatePackage package;
    try {
        // Reports from another thread reach the model as queued calls; any
        // report is dropped once the model is gone.
        auto download = service.download(result.manifest, [self](double fraction) {
            if (!std::isfinite(fraction))
                return;
            if (isAlive(self) && QThread::currentThread() == self->thread()) {
                self->setUpdateStatusMessage(downloadPercentText(fraction));
                return;
            }
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [self, fraction] {
                    if (isAlive(self))
                        self->setUpdateStatusMessage(downloadPercentText(fraction));
                },
                Qt::QueuedConnection);
        });
        package = co_await std::move(download);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(self))
        co_return;
    if (failure)
        co_return fail(QStringLiteral("downloading"), QStringLiteral("Update download failed: "), failure);

    setUpdateStatusMessage(QStringLiteral("Installing update..."));
    try {
        service.startSelfUpdaterAndShutdown(package);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        co_return fail(QStringLiteral("installing"), QStringLiteral("Update install failed: "), failure);
    setUpdateCheckBusy(false);
}

} // namespace tovrik
