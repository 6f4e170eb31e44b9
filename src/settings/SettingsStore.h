#pragma once

// Loads and saves the settings record as one transaction over the settings
// file and the Keychain items that hold its secrets.
//
//  * File: "tovrik.settings.json" in QStandardPaths::GenericDataLocation +
//    "/Tovrik" (~/.local/share/Tovrik), indented JSON with sorted keys,
//    written atomically (temporary file + rename, every write and the flush
//    to disk checked first): a crash or a full disk mid-save leaves the old
//    file or the new one, never a truncated one. It holds the account's
//    e-mail: the file is 0600 from its creation, its folder 0700.
//  * Secrets: generic-password items of service "ai.tovrik.mac.credentials",
//    one per secret field, account = field name; an empty secret means "no
//    item". The session token is stored as its UTF-8 text; the pending
//    sign-out tokens as a compact JSON array of strings.
//  * Load: a missing file gives the defaults. A corrupt file gives the
//    defaults too; the bad file is renamed beside it
//    ("tovrik.settings.json.corrupt-<UTC time>") and one line is logged. A
//    file with wrongly typed values gives their defaults and keeps every
//    other field; a copy of it is kept under the same kind of name, and the
//    file itself stays until the next save replaces it. A
//    Keychain read failure is reported in the result; from then on the store
//    never overwrites or deletes that item until a later read of it succeeds
//    (a save that needs to write it first re-reads it, and fails when the
//    read still fails). What such an item holds that the caller never saw is
//    merged, never overwritten: its queued sign-outs stay queued, and a
//    session token it held is queued for sign-out when a new one replaces it.
//    A token that is also queued for sign-out is dropped on load: the save
//    that signed out was cut short after it queued the token.
//  * A locked keyring is never asked to unlock during a load or save unless
//    the caller says it runs for a user's own action, and then only once.
//  * Save: writes the changed items first (the sign-out queue before the
//    token), then the file. On any failure
//    every item already written is put back to its previous value and the
//    file is left as it was; the result carries a message. Never throws.
//  * Failures are logged as plain lines "Tovrik settings: ..." to the system
//    log (syslog) and to stderr.
//
// Main thread only. A Keychain call may run a local event loop; a load or
// save started from inside it (re-entrantly) is refused: the load reports a
// read failure, the save returns a failure, and nothing is touched. The conversation history is neither read nor written.

#include "settings/TovrikSettings.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <functional>
#include <optional>

namespace tovrik {
namespace platform {
class Keychain;
}

struct SettingsSaveResult {
    bool ok = true;
    QString message; // empty when ok
};

struct SettingsLoadResult {
    TovrikSettings settings;
    // A secret item could not be read: the settings lack that secret (e.g.
    // the token reads as blank although the user may be signed in). Callers
    // must not treat this as signed out nor save back automatically.
    bool keychainReadFailed = false;
    // The file existed but was corrupt; it now lies at corruptFileBackupPath
    // (empty when even the rename failed).
    bool fileWasCorrupt = false;
    // Keys of the file whose values had the wrong type: those fields have
    // their defaults, and a copy of the file lies at corruptFileBackupPath
    // (empty when the copy failed).
    QStringList wronglyTypedFields;
    QString corruptFileBackupPath;
    // The session token was also queued for sign-out (a sign-out whose save
    // was cut short): it was dropped, and the settings read as signed out.
    bool finishedSignOut = false;
    // One line describing the problems above, empty when there were none.
    QString message;
};

class SettingsStore {
public:
    static const QString keychainService;   // "ai.tovrik.mac.credentials"
    static const QString settingsFileName;  // "tovrik.settings.json"

    // The platform's Keychain and the default folder.
    SettingsStore();
    // An explicit Keychain (it must outlive the store) and folder.
    SettingsStore(platform::Keychain& keychain, QString directory);

    QString directory() const { return m_directory; }
    QString settingsFilePath() const;

    // `mayPrompt`: the keyring may ask the user once to unlock it (a user's
    // own action); otherwise a locked keyring fails at once.
    SettingsLoadResult load(bool mayPrompt = false);
    SettingsSaveResult save(const TovrikSettings& settings, bool mayPrompt = false);
    // Reads the secret items again into `current` (the file is not read):
    // after a failed read, once the keyring may have become readable.
    SettingsLoadResult reloadSecrets(const TovrikSettings& current, bool mayPrompt = false);

    // Whether a secret item is currently unread (its last read failed).
    bool isSecretUnread(const QString& fieldName) const;

    // Receives every logged line as well (tests; nullptr to stop).
    using LogSink = std::function<void(const QString& line)>;
    void setLogSink(LogSink sink) { m_logSink = std::move(sink); }

private:
    // What the store knows of one item: its value (nullopt = absent) when it
    // was read or written successfully, or unread.
    struct ItemState {
        bool known = false;
        std::optional<QByteArray> value;
        // It was known once since the load: a change of it that failed left
        // it unknown. Such an item is read again before any save, so that a
        // removal the caller asked for is not skipped.
        bool wasKnown = false;
    };
    std::optional<QByteArray> readItemInto(const QString& account, ItemState& state, QString* error,
                                           bool* locked = nullptr);
    void readSecrets(SettingsLoadResult& result, QStringList& problems);
    // A load while another load or save runs is refused: true, with the
    // refusal in the result.
    bool refusedWhileBusy(SettingsLoadResult& result) const;
    platform::Keychain& keychain() const;
    void log(const QString& line) const;
    void rememberSeen(const TovrikSettings& settings);

    platform::Keychain* m_keychain;
    QString m_directory;
    QHash<QString, ItemState> m_items;
    // Every token the caller was given by load() or passed to save(): a
    // stored token outside this set was never seen and is never dropped.
    QSet<QString> m_seenTokens;
    LogSink m_logSink;
    bool m_busy = false;
};

} // namespace tovrik
