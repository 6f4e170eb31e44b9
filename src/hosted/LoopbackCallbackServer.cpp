#include "hosted/LoopbackCallbackServer.h"

#include "common/Clock.h"
#include "common/TextLines.h"
#include "hosted/GoogleDesktopAuthService.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <qcoro/qcorosignal.h>

namespace tovrik {

namespace {
QByteArray htmlEscape(const QString& s) { return s.toHtmlEscaped().toUtf8(); }
} // namespace

LoopbackCallbackServer::LoopbackCallbackServer(QObject* parent) : QObject(parent) {}

LoopbackCallbackServer::~LoopbackCallbackServer()
{
    answerBrowser(false, QStringLiteral("This sign-in attempt has ended."));
    close();
}

void LoopbackCallbackServer::answerBrowser(bool signedIn, const QString& failureReason)
{
    QTcpSocket* socket = m_heldBrowser;
    m_heldBrowser = nullptr;
    if (socket)
        respond(socket, 200, "OK", signedIn ? successPage() : failurePage(failureReason));
}

void LoopbackCallbackServer::start(const QString& callbackPath)
{
    close();
    m_callbackPath = callbackPath;
    m_settled = false;
    m_code.reset();
    m_error = nullptr;
    m_server = new QTcpServer(this);
    // The listener is local: never through an application proxy.
    m_server->setProxy(QNetworkProxy::NoProxy);
    connect(m_server, &QTcpServer::newConnection, this, &LoopbackCallbackServer::onNewConnection);
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        const QString why = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        throw GoogleSignInError(GoogleSignInError::listenerFailed,
                                QStringLiteral("Google sign-in could not listen on 127.0.0.1: %1").arg(why));
    }
}

bool LoopbackCallbackServer::isListening() const { return m_server && m_server->isListening(); }

quint16 LoopbackCallbackServer::port() const { return m_server ? m_server->serverPort() : 0; }

QHostAddress LoopbackCallbackServer::address() const { return m_server ? m_server->serverAddress() : QHostAddress(); }

QString LoopbackCallbackServer::redirectURI() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(port()) + m_callbackPath;
}

void LoopbackCallbackServer::close()
{
    if (!m_server)
        return;
    QTcpServer* server = m_server;
    m_server = nullptr;
    server->close();
    // Open connections are children of the server; answered ones close
    // themselves after their reply is written.
    server->deleteLater();
}

QByteArray LoopbackCallbackServer::successPage()
{
    return QByteArrayLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><title>Tovrik</title></head>"
                             "<body style=\"font-family:sans-serif;text-align:center;margin-top:4em\">"
                             "<h2>You're signed in to Tovrik.</h2><p>You can close this tab.</p></body></html>");
}

QByteArray LoopbackCallbackServer::pendingPage()
{
    return QByteArrayLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><title>Tovrik</title></head>"
                             "<body style=\"font-family:sans-serif;text-align:center;margin-top:4em\">"
                             "<h2>Tovrik is finishing the sign-in.</h2><p>Its panel shows when you are signed in. "
                             "You can close this tab.</p></body></html>");
}

QByteArray LoopbackCallbackServer::failurePage(const QString& reason)
{
    return QByteArrayLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><title>Tovrik</title></head>"
                             "<body style=\"font-family:sans-serif;text-align:center;margin-top:4em\">"
                             "<h2>Tovrik sign-in did not finish.</h2><p>")
        + htmlEscape(reason) + QByteArrayLiteral("</p><p>You can close this tab.</p></body></html>");
}

void LoopbackCallbackServer::onNewConnection()
{
    if (!m_server)
        return;
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        socket->setProperty("tovrikBuffer", QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A connection that never completes its request is dropped; the
        // browser waiting for the outcome is answered in time.
        QPointer<QTcpSocket> guard(socket);
        QPointer<LoopbackCallbackServer> self(this);
        Clock::instance().schedule(connectionTimeout, socket, [guard, self]() {
            if (!guard)
                return;
            if (self && self->m_heldBrowser == guard) {
                self->m_heldBrowser = nullptr;
                self->respond(guard, 200, "OK", pendingPage());
            } else if (guard->parent() == self.data()) {
                guard->abort();
            }
        });
        if (socket->bytesAvailable() > 0)
            onReadable(socket);
    }
}

void LoopbackCallbackServer::respond(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& html)
{
    socket->disconnect(this);
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    response += "Content-Type: text/html; charset=utf-8\r\n";
    response += "Content-Length: " + QByteArray::number(html.size()) + "\r\n";
    response += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    response += html;
    socket->write(response);
    // The answered connection outlives the listener until the page is out:
    // it deletes itself once closed (or after a grace period).
    socket->setParent(nullptr);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater, Qt::UniqueConnection);
    QTimer::singleShot(10000, socket, [socket]() {
        socket->abort();
        socket->deleteLater();
    });
    socket->disconnectFromHost();
}

void LoopbackCallbackServer::onReadable(QTcpSocket* socket)
{
    QByteArray buffer = socket->property("tovrikBuffer").toByteArray();
    buffer += socket->read(maximumHeadBytes + 1 - buffer.size() > 0 ? maximumHeadBytes + 1 - buffer.size() : 1);
    socket->setProperty("tovrikBuffer", buffer);
    LoopbackHTTPRequest request;
    const LoopbackParseStatus status = parseLoopbackHTTPRequest(buffer, &request);
    if (status == LoopbackParseStatus::incomplete)
        return;
    if (status == LoopbackParseStatus::malformed) {
        respond(socket, 400, "Bad Request", failurePage(QStringLiteral("The request could not be read.")));
        return;
    }
    if (request.method != "GET" || request.path != m_callbackPath) {
        respond(socket, 404, "Not Found", failurePage(QStringLiteral("Nothing here.")));
        return;
    }
    if (m_settled || !m_server) {
        respond(socket, 410, "Gone", failurePage(QStringLiteral("This sign-in attempt has already ended.")));
        return;
    }
    const QString state = request.query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    const QString error = request.query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
    const QString code = request.query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    if (m_expectedState.isEmpty() || state != m_expectedState) {
        respond(socket, 400, "Bad Request", failurePage(QStringLiteral("The sign-in response did not match this attempt.")));
        settle(std::nullopt, std::make_exception_ptr(GoogleSignInError(
                                 GoogleSignInError::stateMismatch,
                                 QStringLiteral("Google sign-in returned an unexpected state. Please try again."))));
        return;
    }
    if (!error.isEmpty()) {
        respond(socket, 200, "OK", failurePage(QStringLiteral("Sign-in was cancelled.")));
        if (error == QLatin1String("access_denied"))
            settle(std::nullopt, std::make_exception_ptr(GoogleSignInError(GoogleSignInError::accessDenied,
                                                                           QStringLiteral("Google sign-in was cancelled."))));
        else
            settle(std::nullopt, std::make_exception_ptr(GoogleSignInError(
                                     GoogleSignInError::invalidCallback,
                                     QStringLiteral("Google sign-in failed: %1").arg(prefixCharacters(error, 120)))));
        return;
    }
    if (code.isEmpty()) {
        respond(socket, 400, "Bad Request", failurePage(QStringLiteral("The sign-in response carried no code.")));
        settle(std::nullopt, std::make_exception_ptr(GoogleSignInError(
                                 GoogleSignInError::invalidCallback, QStringLiteral("Google sign-in returned no code."))));
        return;
    }
    // The browser hears the outcome once it is known (answerBrowser).
    socket->disconnect(this);
    m_heldBrowser = socket;
    settle(code, nullptr);
}

void LoopbackCallbackServer::settle(std::optional<QString> code, std::exception_ptr error)
{
    if (m_settled)
        return;
    m_settled = true;
    m_code = std::move(code);
    m_error = std::move(error);
    // Single use: no further connection is accepted.
    if (m_server)
        m_server->pauseAccepting();
    emit settled();
}

QCoro::Task<QString> LoopbackCallbackServer::waitForCode(QString expectedState, double timeoutSeconds,
                                                         CancellationToken token)
{
    m_expectedState = expectedState;
    if (!m_server) {
        throw GoogleSignInError(GoogleSignInError::listenerFailed, QStringLiteral("Google sign-in is not listening."));
    }
    QPointer<LoopbackCallbackServer> self(this);
    const quint64 timerId = Clock::instance().schedule(timeoutSeconds, this, [this]() {
        settle(std::nullopt, std::make_exception_ptr(GoogleSignInError(GoogleSignInError::timedOut,
                                                                       QStringLiteral("Google sign-in timed out."))));
    });
    const quint64 cancelId = token.onCancel([self]() {
        if (self)
            self->settle(std::nullopt, std::make_exception_ptr(CancellationError()));
    });
    if (!m_settled)
    {
        auto signal = qCoro(this, &LoopbackCallbackServer::settled);
        co_await std::move(signal);
    }
    Clock::instance().cancel(timerId);
    token.removeCallback(cancelId);
    close();
    if (m_error)
        std::rethrow_exception(m_error);
    co_return m_code.value_or(QString());
}

} // namespace tovrik
