#include "platform/x11/SecretServiceKeychain.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QEventLoop>
#include <QLibrary>
#include <QMap>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace tovrik::platform::x11 {

namespace {

// Long enough for the user to answer the keyring's unlock prompt.
constexpr int defaultTimeoutMs = 60000;
constexpr int probeTimeoutMs = 5000;

const QString secretsService = QStringLiteral("org.freedesktop.secrets");
const QString secretsPath = QStringLiteral("/org/freedesktop/secrets");
const QString serviceInterface = QStringLiteral("org.freedesktop.Secret.Service");

struct JobOutcome {
    bool finished = false;
    QKeychain::Error error = QKeychain::NoError;
    QString message;
    QByteArray data;
};

// Starts `job` and waits for it. The job deletes itself when it finishes,
// also after a time-out (when this function has long returned).
JobOutcome runJob(QKeychain::Job* job, int timeoutMs)
{
    JobOutcome outcome;
    job->setAutoDelete(true);
    QTimer timer;
    timer.setSingleShot(true);
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
        outcome.finished = true;
        outcome.error = done->error();
        outcome.message = done->errorString();
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
            outcome.data = read->binaryData();
        loop.quit();
    });
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    job->start();
    if (!outcome.finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!outcome.finished) {
        outcome.error = QKeychain::OtherError;
        outcome.message = QStringLiteral("the keyring did not answer in time");
    }
    return outcome;
}

KeychainResult failure(const QString& message)
{
    KeychainResult r;
    r.status = KeychainStatus::Failure;
    r.message = message;
    r.locked = message.endsWith(QLatin1String("the keyring is locked"))
        || message.endsWith(QLatin1String("the item is in a locked keyring"));
    return r;
}

QString describe(const QString& what, const JobOutcome& outcome)
{
    return QStringLiteral("%1: %2").arg(what, outcome.message.isEmpty() ? QStringLiteral("keyring error") : outcome.message);
}

bool isKdeSessionWithWallet(QDBusConnection& bus)
{
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP") + qgetenv("DESKTOP_SESSION");
    if (!desktop.toLower().contains("kde") || !bus.interface())
        return false;
    return bus.interface()->isServiceRegistered(QStringLiteral("org.kde.kwalletd6")).value()
        || bus.interface()->isServiceRegistered(QStringLiteral("org.kde.kwalletd5")).value();
}

QDBusMessage callSecrets(QDBusConnection& bus, const QString& path, const QString& interface, const QString& method,
                         const QVariantList& args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(secretsService, path, interface, method);
    call.setArguments(args);
    return bus.call(call, QDBus::Block, probeTimeoutMs);
}

// The items filed for an account of a service, in unlocked and locked
// collections. qtkeychain files its items under the attributes "user" (the
// account) and "server" (the service).
QDBusMessage searchItems(QDBusConnection& bus, const QString& service, const QString& account)
{
    static const bool registered = [] {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        return true;
    }();
    Q_UNUSED(registered);
    QMap<QString, QString> attributes;
    attributes.insert(QStringLiteral("user"), account);
    attributes.insert(QStringLiteral("server"), service);
    return callSecrets(bus, secretsPath, serviceInterface, QStringLiteral("SearchItems"),
                       {QVariant::fromValue(attributes)});
}

} // namespace

SecretServiceKeychain::SecretServiceKeychain() : SecretServiceKeychain(defaultTimeoutMs) {}

SecretServiceKeychain::SecretServiceKeychain(int timeoutMs) : m_timeoutMs(timeoutMs) {}

QString SecretServiceKeychain::probeAbsence(const QString& service, const QString& account)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return QStringLiteral("there is no D-Bus session bus, so no keyring can be reached");
    // In a KDE session qtkeychain talks to KWallet, which reports a closed
    // or missing wallet as an error of its own: "not found" is then real.
    if (isKdeSessionWithWallet(bus))
        return {};

    const QDBusMessage alias = callSecrets(bus, secretsPath, serviceInterface, QStringLiteral("ReadAlias"),
                                           {QStringLiteral("default")});
    if (alias.type() != QDBusMessage::ReplyMessage)
        return QStringLiteral("the Secret Service is not available (%1)").arg(alias.errorMessage());
    const QString collection = alias.arguments().value(0).value<QDBusObjectPath>().path();
    // A keyring without a default collection (a new user's, before anything
    // was stored) holds nothing of ours unless the search below finds it
    // elsewhere; the first write creates the collection.
    if (!collection.isEmpty() && collection != QLatin1String("/")) {
        const QDBusMessage locked =
            callSecrets(bus, collection, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                        {QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked")});
        if (locked.type() != QDBusMessage::ReplyMessage)
            return QStringLiteral("the keyring's state could not be read (%1)").arg(locked.errorMessage());
        if (locked.arguments().value(0).value<QDBusVariant>().variant().toBool())
            return QStringLiteral("the keyring is locked");
    }

    const QDBusMessage search = searchItems(bus, service, account);
    if (search.type() != QDBusMessage::ReplyMessage || search.arguments().size() < 2)
        return QStringLiteral("the keyring could not be searched (%1)").arg(search.errorMessage());
    const auto unlockedItems = qdbus_cast<QList<QDBusObjectPath>>(search.arguments().at(0));
    const auto lockedItems = qdbus_cast<QList<QDBusObjectPath>>(search.arguments().at(1));
    if (!lockedItems.isEmpty())
        return QStringLiteral("the item is in a locked keyring");
    if (!unlockedItems.isEmpty())
        return QStringLiteral("the item exists but could not be read");
    return {};
}

QString SecretServiceKeychain::unlockNeededFor(const QString& service, const QString& account, bool writing)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || isKdeSessionWithWallet(bus))
        return {};
    const QDBusMessage search = searchItems(bus, service, account);
    if (search.type() != QDBusMessage::ReplyMessage || search.arguments().size() < 2)
        return {};
    if (!qdbus_cast<QList<QDBusObjectPath>>(search.arguments().at(1)).isEmpty())
        return QStringLiteral("the keyring is locked");
    if (!writing || !qdbus_cast<QList<QDBusObjectPath>>(search.arguments().at(0)).isEmpty())
        return {};
    // A new item goes into the default collection.
    const QDBusMessage alias = callSecrets(bus, secretsPath, serviceInterface, QStringLiteral("ReadAlias"),
                                           {QStringLiteral("default")});
    const QString collection = alias.arguments().value(0).value<QDBusObjectPath>().path();
    if (alias.type() != QDBusMessage::ReplyMessage || collection.isEmpty() || collection == QLatin1String("/"))
        return {};
    const QDBusMessage locked =
        callSecrets(bus, collection, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                    {QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked")});
    if (locked.type() == QDBusMessage::ReplyMessage && locked.arguments().value(0).value<QDBusVariant>().variant().toBool())
        return QStringLiteral("the keyring is locked");
    return {};
}

void SecretServiceKeychain::forgetStaleService()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return;
    const QString owner = bus.interface()->serviceOwner(secretsService).value();
    if (owner.isEmpty() || owner == m_serviceOwner)
        return;
    // libsecret keeps its connection and session to the Secret Service for
    // the life of the process; once the service restarted, every call on
    // that session fails ("the session does not exist"). Dropping it makes
    // the next call open a new one. (qtkeychain loads libsecret at run time;
    // loading it here reaches that same instance.)
    if (!m_serviceOwner.isEmpty()) {
        using Disconnect = void (*)();
        if (auto disconnect = reinterpret_cast<Disconnect>(QLibrary::resolve(QStringLiteral("secret-1"), 0,
                                                                             "secret_service_disconnect")))
            disconnect();
    }
    m_serviceOwner = owner;
}

QString SecretServiceKeychain::refusal(const QString& what, const QString& service, const QString& account, bool writing)
{
    forgetStaleService();
    const QString locked = unlockNeededFor(service, account, writing);
    if (locked.isEmpty())
        return {};
    if (m_promptAllowed) {
        // This operation may ask; whatever the answer, the next ones of the
        // same action do not ask again.
        m_promptAllowed = false;
        return {};
    }
    return QStringLiteral("%1 of %2 failed: %3").arg(what, account, locked);
}

KeychainResult SecretServiceKeychain::read(const QString& service, const QString& account)
{
    if (const QString refused = refusal(QStringLiteral("Keychain read"), service, account, false); !refused.isEmpty())
        return failure(refused);
    auto* job = new QKeychain::ReadPasswordJob(service);
    job->setKey(account);
    const JobOutcome outcome = runJob(job, m_timeoutMs);
    if (outcome.finished && outcome.error == QKeychain::NoError)
        return {KeychainStatus::Success, outcome.data, {}};
    if (outcome.finished && outcome.error == QKeychain::EntryNotFound) {
        const QString problem = probeAbsence(service, account);
        if (problem.isEmpty())
            return {KeychainStatus::NotFound, {}, {}};
        return failure(QStringLiteral("Keychain read of %1 failed: %2").arg(account, problem));
    }
    return failure(describe(QStringLiteral("Keychain read of %1 failed").arg(account), outcome));
}

KeychainResult SecretServiceKeychain::write(const QString& service, const QString& account, const QByteArray& data)
{
    if (const QString refused = refusal(QStringLiteral("Keychain write"), service, account, true); !refused.isEmpty())
        return failure(refused);
    auto* job = new QKeychain::WritePasswordJob(service);
    job->setKey(account);
    job->setBinaryData(data);
    const JobOutcome outcome = runJob(job, m_timeoutMs);
    if (outcome.finished && outcome.error == QKeychain::NoError)
        return {};
    return failure(describe(QStringLiteral("Keychain write of %1 failed").arg(account), outcome));
}

KeychainResult SecretServiceKeychain::remove(const QString& service, const QString& account)
{
    if (const QString refused = refusal(QStringLiteral("Keychain delete"), service, account, false); !refused.isEmpty())
        return failure(refused);
    auto* job = new QKeychain::DeletePasswordJob(service);
    job->setKey(account);
    const JobOutcome outcome = runJob(job, m_timeoutMs);
    if (!outcome.finished || (outcome.error != QKeychain::NoError && outcome.error != QKeychain::EntryNotFound))
        return failure(describe(QStringLiteral("Keychain delete of %1 failed").arg(account), outcome));
    // A locked keyring can answer a delete without deleting anything: only
    // an item confirmed absent counts as deleted.
    const QString problem = probeAbsence(service, account);
    if (!problem.isEmpty())
        return failure(QStringLiteral("Keychain delete of %1 failed: %2").arg(account, problem));
    return {};
}

} // namespace tovrik::platform::x11
