#pragma once

#include <QByteArray>
#include <QString>

namespace tovrik::platform {

// Generic-password items, addressed by service and account.
enum class KeychainStatus { Success, NotFound, Failure };

struct KeychainResult {
    KeychainStatus status = KeychainStatus::Success;
    QByteArray data;   // read only
    QString message;   // Failure only
    bool locked = false; // Failure only: the keyring is locked
    bool ok() const { return status == KeychainStatus::Success; }
};

class Keychain {
public:
    virtual ~Keychain() = default;
    // NotFound only when the item really is absent: a locked or missing
    // keyring is a Failure, never "not found".
    virtual KeychainResult read(const QString& service, const QString& account) = 0;
    virtual KeychainResult write(const QString& service, const QString& account, const QByteArray& data) = 0;
    // Deleting an absent item succeeds.
    virtual KeychainResult remove(const QString& service, const QString& account) = 0;
    // Whether an operation that finds the keyring locked may ask the user to
    // unlock it. Off by default: such an operation then fails at once. While
    // on, only the first operation that needs it asks; the rest fail at once
    // if the keyring stayed locked.
    virtual void setUnlockPromptAllowed(bool allowed) { (void)allowed; }
};

} // namespace tovrik::platform
