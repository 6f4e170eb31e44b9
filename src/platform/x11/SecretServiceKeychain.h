#pragma once

// Generic-password items in the Secret Service (gnome-keyring, KeePassXC,
// ...) through qtkeychain. An item is addressed by service and account, as
// qtkeychain stores them; values are stored as binary data.
//
// The calls are synchronous: each runs one qtkeychain job and waits for it
// in a local event loop (so other queued events of the calling thread may
// run meanwhile), with a time-out (60 s by default). Reading an item of a
// locked keyring makes the Secret Service show its unlock prompt; the call
// waits for the user's answer up to the time-out and then fails.
// Call from a thread that has a Qt event loop (the main thread).
//
// qtkeychain reports "entry not found" also when the keyring is locked or
// there is no keyring at all. A read therefore answers NotFound only after a
// probe over D-Bus confirms that the Secret Service is running, its default
// collection exists and is unlocked, and no item of that service and account
// exists in any collection; everything else is a Failure, so a broken keyring
// never reads as "no item".
//
// Unlock prompts: before each operation a D-Bus probe (which never prompts)
// tells whether it would need the keyring unlocked. Unless the caller allowed
// a prompt (setUnlockPromptAllowed), such an operation fails at once with
// "the keyring is locked"; when allowed, only the first such operation asks.

#include "platform/Keychain.h"

#include <QString>

namespace tovrik::platform::x11 {

class SecretServiceKeychain : public Keychain {
public:
    SecretServiceKeychain();
    // Milliseconds one operation may take before it counts as failed.
    explicit SecretServiceKeychain(int timeoutMs);

    KeychainResult read(const QString& service, const QString& account) override;
    KeychainResult write(const QString& service, const QString& account, const QByteArray& data) override;
    KeychainResult remove(const QString& service, const QString& account) override;
    void setUnlockPromptAllowed(bool allowed) override { m_promptAllowed = allowed; }

    // The probe alone: empty when the keyring is usable and holds no item of
    // this service and account, else why not (used by read on "not found").
    static QString probeAbsence(const QString& service, const QString& account);

    // Why the operation would make the keyring ask the user to unlock it
    // ("the keyring is locked"); empty when it would not (or when that
    // cannot be told: the operation then reports its own failure).
    static QString unlockNeededFor(const QString& service, const QString& account, bool writing);

private:
    // Empty when the operation may run now; else the failure to report.
    QString refusal(const QString& what, const QString& service, const QString& account, bool writing);

    // Drops libsecret's connection when the Secret Service was restarted.
    void forgetStaleService();

    int m_timeoutMs;
    bool m_promptAllowed = false;
    QString m_serviceOwner; // the service's unique bus name at the last call
};

} // namespace tovrik::platform::x11
