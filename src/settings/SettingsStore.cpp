#include "settings/SettingsStore.h"

#include "common/Constants.h"
#include "common/PrivateFiles.h"
#include "platform/Platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <syslog.h>
#include <vector>

namespace tovrik {

const QString SettingsStore::keychainService = QStringLiteral("ai.tovrik.mac.credentials");
const QString SettingsStore::settingsFileName = QStringLiteral("tovrik.settings.json");

namespace {

const QString tokenField = QStringLiteral("hostedAccountSessionToken");
const QString pendingField = QStringLiteral("pendingHostedSignOutTokens");

// The item value of a secret field; nullopt = no item.
std::optional<QByteArray> encodeSecret(const TovrikSettings& s, const QString& field)
{
    if (field == tokenField) {
        if (s.hostedAccountSessionToken.isEmpty())
            return std::nullopt;
        return s.hostedAccountSessionToken.toUtf8();
    }
    if (s.pendingHostedSignOutTokens.isEmpty())
        return std::nullopt;
    return QJsonDocument(QJsonArray::fromStringList(s.pendingHostedSignOutTokens)).toJson(QJsonDocument::Compact);
}

// Puts an item value into its field; false when the value cannot be decoded.
bool decodeSecret(TovrikSettings& s, const QString& field, const std::optional<QByteArray>& value)
{
    if (field == tokenField) {
        s.hostedAccountSessionToken = value ? QString::fromUtf8(*value) : QString();
        return true;
    }
    s.pendingHostedSignOutTokens.clear();
    if (!value)
        return true;
    const QJsonDocument doc = QJsonDocument::fromJson(*value);
    if (!doc.isArray())
        return false;
    QStringList tokens;
    for (const QJsonValue& v : doc.array()) {
        if (!v.isString())
            return false;
        tokens << v.toString();
    }
    s.pendingHostedSignOutTokens = tokens;
    return true;
}

QString defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/')
        + constants::appDisplayName;
}

} // namespace

SettingsStore::SettingsStore() : m_keychain(nullptr), m_directory(defaultDirectory()) {}

SettingsStore::SettingsStore(platform::Keychain& keychain, QString directory)
    : m_keychain(&keychain), m_directory(std::move(directory))
{
}

QString SettingsStore::settingsFilePath() const
{
    return m_directory + QLatin1Char('/') + settingsFileName;
}

bool SettingsStore::isSecretUnread(const QString& fieldName) const
{
    return !m_items.value(fieldName).known;
}

void SettingsStore::log(const QString& line) const
{
    const QString full = QStringLiteral("Tovrik settings: ") + QString(line).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray bytes = full.toUtf8();
    syslog(LOG_USER | LOG_WARNING, "%s", bytes.constData());
    qWarning("%s", bytes.constData());
    if (m_logSink)
        m_logSink(full);
}

std::optional<QByteArray> SettingsStore::readItemInto(const QString& account, ItemState& state, QString* error,
                                                     bool* locked)
{
    const auto result = keychain().read(keychainService, account);
    switch (result.status) {
    case platform::KeychainStatus::Success:
        state.known = state.wasKnown = true;
        state.value = result.data;
        return result.data;
    case platform::KeychainStatus::NotFound:
        state.known = state.wasKnown = true;
        state.value.reset();
        return std::nullopt;
    case platform::KeychainStatus::Failure:
        break;
    }
    state.known = false;
    state.value.reset();
    if (error)
        *error = result.message.isEmpty() ? QStringLiteral("the Keychain could not be read") : result.message;
    if (locked)
        *locked = result.locked;
    return std::nullopt;
}

namespace {
// Marks the store busy for one load or save.
struct BusyScope {
    bool& flag;
    explicit BusyScope(bool& f) : flag(f) { flag = true; }
    ~BusyScope() { flag = false; }
};
// Lets the keyring ask the user to unlock it during one load or save.
struct PromptScope {
    platform::Keychain& keychain;
    PromptScope(platform::Keychain& k, bool allowed) : keychain(k) { keychain.setUnlockPromptAllowed(allowed); }
    ~PromptScope() { keychain.setUnlockPromptAllowed(false); }
};
} // namespace

platform::Keychain& SettingsStore::keychain() const
{
    return m_keychain ? *m_keychain : platform::Platform::get().keychain();
}

bool SettingsStore::refusedWhileBusy(SettingsLoadResult& result) const
{
    if (!m_busy)
        return false;
    log(QStringLiteral("a load was refused while another load or save was running"));
    result.keychainReadFailed = true;
    result.message = QStringLiteral("Settings are being saved right now; try again.");
    return true;
}

SettingsLoadResult SettingsStore::load(bool mayPrompt)
{
    SettingsLoadResult result;
    if (refusedWhileBusy(result))
        return result;
    BusyScope busy(m_busy);
    PromptScope prompt(keychain(), mayPrompt);
    QStringList problems;

    // The file.
    const QString path = settingsFilePath();
    QFile file(path);
    if (file.exists()) {
        QString reason;
        std::optional<TovrikSettings> parsed;
        QByteArray bytes;
        if (!file.open(QIODevice::ReadOnly)) {
            reason = file.errorString();
        } else {
            bytes = file.readAll();
            file.close();
            QJsonParseError parseError;
            const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
            if (parseError.error != QJsonParseError::NoError)
                reason = parseError.errorString();
            else if (!doc.isObject())
                reason = QStringLiteral("it does not hold a JSON object");
            else
                parsed = TovrikSettings::fromFileJson(doc.object(), &result.wronglyTypedFields);
        }
        const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
        QString backup = path + QStringLiteral(".corrupt-") + stamp;
        for (int n = 2; QFileInfo::exists(backup); ++n)
            backup = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
        if (parsed) {
            result.settings = *parsed;
            if (!result.wronglyTypedFields.isEmpty()) {
                // The good fields are used; the file as it was is kept aside.
                QString line = QStringLiteral("the settings file %1 has values of the wrong type (%2); they are "
                                              "at their defaults, ")
                                   .arg(path, result.wronglyTypedFields.join(QStringLiteral(", ")));
                QString copyError;
                if (writePrivateFileAtomically(backup, bytes, &copyError)) {
                    result.corruptFileBackupPath = backup;
                    line += QStringLiteral("a copy of the file was kept as %1").arg(backup);
                } else {
                    line += QStringLiteral("and no copy could be kept as %1 (%2)").arg(backup, copyError);
                }
                log(line);
                problems << QStringLiteral("Some values in the settings file were unreadable; their defaults are in use.");
            }
        } else {
            result.fileWasCorrupt = true;
            QString line = QStringLiteral("the settings file %1 could not be used (%2); starting from defaults, ").arg(path, reason);
            if (QFile::rename(path, backup)) {
                result.corruptFileBackupPath = backup;
                line += QStringLiteral("the file was kept as %1").arg(backup);
            } else {
                line += QStringLiteral("and it could not be moved aside to %1").arg(backup);
            }
            log(line);
            problems << QStringLiteral("The settings file was unreadable; defaults are in use.");
        }
    }

    m_items.clear();
    m_seenTokens.clear();
    readSecrets(result, problems);
    result.message = problems.join(QLatin1Char(' '));
    return result;
}

SettingsLoadResult SettingsStore::reloadSecrets(const TovrikSettings& current, bool mayPrompt)
{
    SettingsLoadResult result;
    result.settings = current;
    if (refusedWhileBusy(result))
        return result;
    BusyScope busy(m_busy);
    PromptScope prompt(keychain(), mayPrompt);
    QStringList problems;
    readSecrets(result, problems);
    result.message = problems.join(QLatin1Char(' '));
    return result;
}

void SettingsStore::readSecrets(SettingsLoadResult& result, QStringList& problems)
{
    QString firstError;
    bool locked = false;
    for (const QString& field : TovrikSettings::secretFieldNames()) {
        ItemState& state = m_items[field];
        QString error;
        bool itemLocked = false;
        const auto value = readItemInto(field, state, &error, &itemLocked);
        locked = locked || itemLocked;
        if (!state.known) {
            result.keychainReadFailed = true;
            log(QStringLiteral("could not read the Keychain item %1 of %2 (%3); it is left untouched")
                    .arg(field, keychainService, error));
            if (firstError.isEmpty())
                firstError = error;
            decodeSecret(result.settings, field, std::nullopt);
            continue;
        }
        if (!decodeSecret(result.settings, field, value))
            log(QStringLiteral("the Keychain item %1 of %2 holds an unreadable value; it is ignored").arg(field, keychainService));
    }
    // The details are in the log; the caller gets a line it can show.
    if (locked)
        problems << QStringLiteral("The keyring is locked, so your sign-in could not be read.");
    else if (!firstError.isEmpty())
        problems << QStringLiteral("Your sign-in could not be read from the keyring.");
    // A save queues the session token for sign-out before it removes the
    // token: both present means a sign-out that a save could not finish.
    TovrikSettings& s = result.settings;
    if (!s.hostedAccountSessionToken.isEmpty() && s.pendingHostedSignOutTokens.contains(s.hostedAccountSessionToken)) {
        log(QStringLiteral("the session token is queued for sign-out: an unfinished sign-out, the session is not used"));
        s.hostedAccountSessionToken.clear();
        result.finishedSignOut = true;
    }
    rememberSeen(result.settings);
}

void SettingsStore::rememberSeen(const TovrikSettings& settings)
{
    if (!settings.hostedAccountSessionToken.isEmpty())
        m_seenTokens.insert(settings.hostedAccountSessionToken);
    for (const QString& token : settings.pendingHostedSignOutTokens)
        m_seenTokens.insert(token);
}

SettingsSaveResult SettingsStore::save(const TovrikSettings& settings, bool mayPrompt)
{
    if (m_busy) {
        log(QStringLiteral("save failed: another load or save was still running"));
        return {false, QStringLiteral("Could not save settings: another save was still running.")};
    }
    BusyScope busy(m_busy);
    platform::Keychain& keychain = this->keychain();
    PromptScope prompt(keychain, mayPrompt);

    struct Change {
        QString account;
        std::optional<QByteArray> previous;
        std::optional<QByteArray> desired;
    };

    // The log gets the details; the caller a short line it can show.
    auto fail = [this](const QString& shown, const QString& logDetail) {
        log(QStringLiteral("save failed: %1").arg(logDetail));
        return SettingsSaveResult{false, QStringLiteral("Could not save settings: %1").arg(shown)};
    };
    bool keyringLocked = false;

    // Apply one value to one item; on failure re-read it so that the store
    // knows what the item now holds (or that it does not know).
    auto apply = [this, &keychain, &keyringLocked](const QString& account, const std::optional<QByteArray>& value,
                                                   QString* error) {
        const auto r = value ? keychain.write(keychainService, account, *value) : keychain.remove(keychainService, account);
        ItemState& state = m_items[account];
        if (r.ok()) {
            state.known = state.wasKnown = true;
            state.value = value;
            return true;
        }
        keyringLocked = keyringLocked || r.locked;
        *error = r.message.isEmpty() ? QStringLiteral("the Keychain refused the change") : r.message;
        readItemInto(account, state, nullptr);
        return false;
    };

    auto rollback = [this, &apply](const std::vector<Change>& applied) {
        QStringList failures;
        for (auto it = applied.rbegin(); it != applied.rend(); ++it) {
            QString error;
            if (!apply(it->account, it->previous, &error)) {
                log(QStringLiteral("could not restore the Keychain item %1 of %2 (%3)").arg(it->account, keychainService, error));
                failures << it->account;
            }
        }
        return failures;
    };

    // 1. Work out the item changes; nothing is written yet. An item that
    // could not be read is read again before it is written (or, once known,
    // before anything is saved); what it holds
    // that the caller was never given is kept: queued sign-outs stay queued,
    // and a session token that would be replaced is queued for sign-out, so
    // that no session is left valid on the service without a way to end it.
    TovrikSettings target = settings;
    for (const QString& field : {tokenField, pendingField}) {
        ItemState& state = m_items[field];
        const bool addsSignOuts = field == pendingField && target.pendingHostedSignOutTokens != settings.pendingHostedSignOutTokens;
        if (!state.known && (encodeSecret(target, field) || addsSignOuts || state.wasKnown)) {
            QString error;
            bool locked = false;
            readItemInto(field, state, &error, &locked);
            if (!state.known)
                return fail(locked ? QStringLiteral("the keyring is locked.") : QStringLiteral("the keyring could not be read."),
                            QStringLiteral("the Keychain item %1 could not be read (%2)").arg(field, error));
        }
        if (!state.known || !state.value)
            continue;
        TovrikSettings stored;
        if (!decodeSecret(stored, field, state.value))
            continue;
        if (field == tokenField) {
            const QString old = stored.hostedAccountSessionToken;
            if (old != target.hostedAccountSessionToken && !m_seenTokens.contains(old)
                && !target.pendingHostedSignOutTokens.contains(old))
                target.pendingHostedSignOutTokens.append(old);
        } else {
            for (const QString& token : std::as_const(stored.pendingHostedSignOutTokens))
                if (!m_seenTokens.contains(token) && !target.pendingHostedSignOutTokens.contains(token))
                    target.pendingHostedSignOutTokens.append(token);
        }
    }
    rememberSeen(settings);
    // The sign-out queue is written before the token: a save cut short in
    // between leaves the token queued for sign-out, which a load reads as
    // the finished sign-out, never a session without its queued sign-out.
    std::vector<Change> changes;
    for (const QString& field : {pendingField, tokenField}) {
        const auto desired = encodeSecret(target, field);
        ItemState& state = m_items[field];
        // An item the store could not read is never deleted.
        if (!state.known || state.value == desired)
            continue;
        changes.push_back({field, state.value, desired});
    }

    // 2. The items.
    std::vector<Change> applied;
    for (const Change& change : changes) {
        QString error;
        if (!apply(change.account, change.desired, &error)) {
            const QStringList unrestored = rollback(applied);
            QString detail = error;
            if (!unrestored.isEmpty())
                detail += QStringLiteral(" (and %1 could not be restored)").arg(unrestored.join(QStringLiteral(", ")));
            return fail(keyringLocked ? QStringLiteral("the keyring is locked.")
                                      : QStringLiteral("the keyring refused the change."),
                        detail);
        }
        applied.push_back(change);
    }

    // 3. The file, atomically.
    const QByteArray bytes = QJsonDocument(settings.toFileJson()).toJson(QJsonDocument::Indented);
    QString fileError;
    if (makePrivateDirectory(m_directory, &fileError))
        writePrivateFileAtomically(settingsFilePath(), bytes, &fileError);
    if (!fileError.isEmpty()) {
        const QStringList unrestored = rollback(applied);
        QString suffix;
        if (!unrestored.isEmpty())
            suffix = QStringLiteral(" (and %1 could not be restored)").arg(unrestored.join(QStringLiteral(", ")));
        const bool full = fileError.endsWith(QString::fromLocal8Bit(std::strerror(ENOSPC)));
        return fail(full ? QStringLiteral("the disk is full.") : QStringLiteral("the settings file could not be written."),
                    QStringLiteral("%1 could not be written (%2)%3").arg(settingsFilePath(), fileError, suffix));
    }
    return {};
}

} // namespace tovrik
