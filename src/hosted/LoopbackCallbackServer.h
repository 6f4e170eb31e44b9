#pragma once

// The sign-in redirect listener: a TCP server bound to 127.0.0.1 (never any
// other address) on a port the system picks, alive only for one attempt.
// It answers every request with a small HTML page and closes that connection:
//  - GET <callbackPath>?code=...&state=... with the expected state: the
//    attempt ends with the code, and the browser waits for the sign-in's
//    outcome (answerBrowser: the success page or a short failure page); when
//    the outcome is not known within connectionTimeout of its connection, it
//    gets a page saying the sign-in is being finished;
//  - the same path with error=... (e.g. access_denied), a wrong or missing
//    state, or no code: an error page, and the attempt fails;
//  - any other path or method: 404, and it keeps waiting.
// Requests are read with caps (header bytes, time per connection); a
// malformed request gets 400 and does not end the attempt.

#include "common/Task.h"
#include "hosted/LoopbackHTTPRequest.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QUrlQuery>
#include <exception>
#include <optional>

class QTcpSocket;

namespace tovrik {

class LoopbackCallbackServer : public QObject {
    Q_OBJECT
public:
    static constexpr int maximumHeadBytes = loopbackMaximumHeadBytes;
    static constexpr double connectionTimeout = 10;

    explicit LoopbackCallbackServer(QObject* parent = nullptr);
    ~LoopbackCallbackServer() override;

    // Binds 127.0.0.1 on a system-picked port. Throws GoogleSignInError
    // (listenerFailed) when it cannot.
    void start(const QString& callbackPath = QStringLiteral("/oauth2redirect/"));
    bool isListening() const;
    quint16 port() const;
    QHostAddress address() const;
    // "http://127.0.0.1:" + port + callbackPath
    QString redirectURI() const;

    // Waits for the one matching callback and returns its code. Throws
    // GoogleSignInError (accessDenied, stateMismatch, invalidCallback,
    // timedOut) or CancellationError; closes the listener in every case.
    QCoro::Task<QString> waitForCode(QString expectedState, double timeoutSeconds, CancellationToken token = {});

    void close();

    // Answers the browser that brought the code, once the sign-in it started
    // succeeded or failed (`failureReason` is shown). Also when the listener
    // is already closed; a no-op when that browser was answered.
    void answerBrowser(bool signedIn, const QString& failureReason = {});

    // The page texts.
    static QByteArray successPage();
    static QByteArray pendingPage();
    static QByteArray failurePage(const QString& reason);

signals:
    void settled();

private:
    void onNewConnection();
    void onReadable(QTcpSocket* socket);
    void respond(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& html);
    void settle(std::optional<QString> code, std::exception_ptr error);

    QTcpServer* m_server = nullptr;
    QPointer<QTcpSocket> m_heldBrowser;
    QString m_callbackPath;
    QString m_expectedState;
    bool m_waiting = false;
    bool m_settled = false;
    std::optional<QString> m_code;
    std::exception_ptr m_error;
};

} // namespace tovrik
