#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace tovrik {

// The result of every sign-in (email, sign-up, Google).
struct HostedAuthSessionPayload {
    QString sessionToken;
    QString email;
    qint64 creditsBalance = 0;
    QString displayName; // empty when the service sends none
    QString pictureUrl;  // empty when the service sends none
    bool operator==(const HostedAuthSessionPayload&) const = default;

    // Reads the JSON of docs/hosted-api.md; throws HTTPError::invalidResponse
    // when a required field is missing, empty or of the wrong type.
    static HostedAuthSessionPayload fromJson(const QJsonObject& object);
};

// GET /auth/me.
struct HostedAccountSummaryPayload {
    QString email;
    qint64 creditsBalance = 0;
    QString displayName;
    QString pictureUrl;
    bool operator==(const HostedAccountSummaryPayload&) const = default;

    static HostedAccountSummaryPayload fromJson(const QJsonObject& object);
};

// One image sent with a chat request, in order.
struct HostedChatImageAttachment {
    QByteArray imageData; // JPEG or PNG bytes
    QString imageLabel;
    bool operator==(const HostedChatImageAttachment&) const = default;
};

} // namespace tovrik
