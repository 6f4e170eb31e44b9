#include "hosted/HostedBackendClient.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "hosted/HostedChatStreamOperation.h"
#include "hosted/ReplyWatch.h"
#include "hosted/MultipartBuilder.h"
#include "hosted/ServerSentEventParser.h"
#include "hosted/TrustedOrigins.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include "hosted/NoCookieJar.h"
#include <QNetworkAccessManager>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <qcoro/qcorosignal.h>

#include <memory>

namespace tovrik {

namespace {

const QString kUntrustedOriginMessage = QStringLiteral("The hosted backend URL is invalid.");

HTTPRequest makeRequest(const QByteArray& method, const QUrl& url, const QString& sessionToken,
                        const QByteArray& contentType, const QByteArray& accept, const QByteArray& body,
                        const QString& bodyFile = {}, const QByteArray& bodyTail = {})
{
    HTTPRequest request{method, url, {}, body, bodyFile, bodyTail};
    request.fields.append({"User-Agent", (constants::appDisplayName + QLatin1Char('/') + constants::appDisplayVersion
                                          + QStringLiteral(" (Linux)")).toUtf8()});
    const QString bearer = sessionToken.trimmed();
    if (!bearer.isEmpty())
        request.fields.append({"Authorization", "Bearer " + bearer.toUtf8()});
    if (!contentType.isEmpty())
        request.fields.append({"Content-Type", contentType});
    request.fields.append({"Accept", accept});
    return request;
}

QByteArray jsonBytes(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

QJsonObject parseJSONObject(const QByteArray& body)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject())
        throw HTTPError::invalidResponse(QStringLiteral("malformed JSON body"));
    return doc.object();
}

// A redirect keeps POST bodies only for 307 and 308.
bool keepsMethod(int status) { return status == 307 || status == 308; }

QByteArray mimeTypeOfImage(const QByteArray& data)
{
    if (data.startsWith("\x89PNG\r\n\x1a\n"))
        return "image/png";
    return "image/jpeg";
}

// The updater's network manager finds its proxy as the hosted client does.
class HostedProxyFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        QString error;
        const QNetworkProxy proxy = HTTPExchange::resolveProxy(query.url(), &error);
        if (!error.isEmpty()) // a proxy that cannot be used: fail, never go direct
            return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("unusable-proxy.invalid"), 1)};
        return {proxy};
    }
};

} // namespace

QUrl hostedEndpointURL(const QString& baseURL, const QString& path)
{
    const auto origin = normalizedTrustedHostedWorkerBaseURL(baseURL);
    if (!origin)
        throw TovrikError(QStringLiteral("TovrikHostedBackend"), -2, kUntrustedOriginMessage);
    return QUrl(*origin + path);
}

HTTPError hostedStatusError(int status, const QByteArray& body)
{
    // Decoded with replacement, so that a stray byte does not hide the message.
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromStdString(validUTF8(std::string_view(body.constData(), size_t(body.size())))), &pe);
    QString message;
    QString code;
    if (pe.error == QJsonParseError::NoError && doc.isObject()) {
        const QJsonObject o = doc.object();
        const QJsonValue m = o.value(QLatin1String("message"));
        const QJsonValue e = o.value(QLatin1String("error"));
        if (e.isString())
            code = e.toString();
        if (m.isString())
            message = m.toString();
        else if (e.isString())
            message = e.toString();
    }
    return HTTPError::failedStatus(status, message, code);
}

HostedBackendClient::HostedBackendClient(QObject* parent) : QObject(parent), m_connections(new HTTPConnectionPool(this))
{
    useSystemProxyUnlessChosen();
}

void HostedBackendClient::useSystemProxyUnlessChosen()
{
    // A desktop app honours the system's proxy settings, unless the
    // application chose a proxy of its own.
    if (QNetworkProxy::applicationProxy().type() == QNetworkProxy::NoProxy
        && !QNetworkProxyFactory::usesSystemConfiguration())
        QNetworkProxyFactory::setUseSystemConfiguration(true);
}

void HostedBackendClient::configureNetworkAccess(QNetworkAccessManager* network)
{
    network->setCookieJar(new NoCookieJar(network));
    network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    network->setAutoDeleteReplies(false);
    network->setStrictTransportSecurityEnabled(false);
    useSystemProxyUnlessChosen();
    network->setProxyFactory(new HostedProxyFactory);
}

HostedBackendClient::~HostedBackendClient() = default;

void HostedBackendClient::prepareConnection(const QString& baseURL)
{
    const auto origin = normalizedTrustedHostedWorkerBaseURL(baseURL);
    if (!origin)
        return;
    const QUrl url(*origin + QLatin1Char('/'));
    if (isTrustedHostedWorkerURL(url))
        m_connections->prepare(url);
}

QCoro::Task<HostedBackendClient::Response> HostedBackendClient::send(QByteArray method, QUrl url, QString sessionToken,
                                                                     QByteArray contentType, QByteArray body,
                                                                     double timeout, qint64 maxBody,
                                                                     CancellationToken token, QString bodyFile,
                                                                     QByteArray bodyTail)
{
    token.throwIfCancelled();
    if (!isTrustedHostedWorkerURL(url))
        throw TovrikError(QStringLiteral("TovrikHostedBackend"), -2, kUntrustedOriginMessage);
    const double deadline = Clock::instance().now() + timeout;
    const QByteArray accept = maxBody == maximumAudioBodyBytes ? QByteArrayLiteral("audio/mpeg")
                                                               : QByteArrayLiteral("application/json");
    for (int redirects = 0;; ++redirects) {
        auto* exchange = new HTTPExchange(
            m_connections, makeRequest(method, url, sessionToken, contentType, accept, body, bodyFile, bodyTail));
        auto watch = std::make_unique<ReplyWatch>(exchange, deadline - Clock::instance().now(), maxBody, token);
        if (!watch->done)
        {
            auto wait = qCoro(watch.get(), &ReplyWatch::finished);
            co_await std::move(wait);
        }
        switch (watch->stopped) {
        case ReplyWatch::Stop::cancelled:
            throw CancellationError();
        case ReplyWatch::Stop::timedOut:
            throw HTTPError::timedOut();
        case ReplyWatch::Stop::tooLarge:
            throw HTTPError::invalidResponse(QStringLiteral("body too large"));
        case ReplyWatch::Stop::none:
            break;
        }
        token.throwIfCancelled();
        if (exchange->failure() == HTTPExchange::Failure::invalidResponse)
            throw HTTPError::invalidResponse(exchange->errorString());
        if (exchange->failure() == HTTPExchange::Failure::transport)
            throw HTTPError::transport(exchange->errorString(), exchange->networkError());
        const int status = exchange->status();
        const QByteArray responseBody = exchange->readAll();
        if (status >= 300 && status < 400) {
            const QByteArray location = exchange->field("Location").trimmed();
            const QUrl target = url.resolved(QUrl::fromEncoded(location));
            if (location.isEmpty() || redirects >= maximumRedirects || !isSameTrustedHostedHTTPSOrigin(url, target))
                throw hostedStatusError(status, responseBody);
            url = target;
            if (!keepsMethod(status) && method != "GET" && method != "HEAD") {
                method = "GET";
                body.clear();
                bodyFile.clear();
                bodyTail.clear();
                contentType.clear();
            }
            continue;
        }
        if (status < 200 || status >= 300)
            throw hostedStatusError(status, responseBody);
        Response r;
        r.status = status;
        r.body = responseBody;
        r.contentType = exchange->field("Content-Type");
        r.url = url;
        co_return r;
    }
}

QCoro::Task<QJsonObject> HostedBackendClient::sendJSON(QByteArray method, QString baseURL, QString path,
                                                       QString sessionToken, std::optional<QJsonObject> body,
                                                       double timeout, CancellationToken token)
{
    const QUrl url = hostedEndpointURL(baseURL, path);
    const QByteArray contentType = body ? QByteArrayLiteral("application/json") : QByteArray();
    const QByteArray bytes = body ? jsonBytes(*body) : QByteArray();
    auto task = send(method, url, sessionToken, contentType, bytes, timeout, maximumJSONBodyBytes, token);
    const Response r = co_await std::move(task);
    co_return parseJSONObject(r.body);
}

QCoro::Task<HostedAuthSessionPayload> HostedBackendClient::signIn(QString baseURL, QString email, QString password,
                                                                  CancellationToken token)
{
    QJsonObject body{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
    auto task = sendJSON("POST", baseURL, QStringLiteral("/auth/signin"), {}, body, requestTimeout, token);
    const QJsonObject o = co_await std::move(task);
    co_return HostedAuthSessionPayload::fromJson(o);
}

QCoro::Task<HostedAuthSessionPayload> HostedBackendClient::signUp(QString baseURL, QString email, QString password,
                                                                  CancellationToken token)
{
    QJsonObject body{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
    auto task = sendJSON("POST", baseURL, QStringLiteral("/auth/signup"), {}, body, requestTimeout, token);
    const QJsonObject o = co_await std::move(task);
    co_return HostedAuthSessionPayload::fromJson(o);
}

QCoro::Task<HostedAuthSessionPayload> HostedBackendClient::signInWithGoogle(QString baseURL, QString idToken,
                                                                            QString accessToken, CancellationToken token)
{
    QJsonObject body{{QStringLiteral("idToken"), idToken}};
    if (!accessToken.isEmpty())
        body.insert(QStringLiteral("accessToken"), accessToken);
    auto task = sendJSON("POST", baseURL, QStringLiteral("/auth/google/native"), {}, body, requestTimeout, token);
    const QJsonObject o = co_await std::move(task);
    co_return HostedAuthSessionPayload::fromJson(o);
}

QCoro::Task<HostedAccountSummaryPayload> HostedBackendClient::fetchAccountSummary(QString baseURL, QString sessionToken,
                                                                                  CancellationToken token)
{
    auto task = sendJSON("GET", baseURL, QStringLiteral("/auth/me"), sessionToken, std::nullopt, requestTimeout, token);
    const QJsonObject o = co_await std::move(task);
    co_return HostedAccountSummaryPayload::fromJson(o);
}

QCoro::Task<void> HostedBackendClient::revokeSession(QString baseURL, QString sessionToken, CancellationToken token)
{
    const QUrl url = hostedEndpointURL(baseURL, QStringLiteral("/api/account/signout"));
    auto task = send("POST", url, sessionToken, QByteArrayLiteral("application/json"), QByteArrayLiteral("{}"),
                     requestTimeout, maximumJSONBodyBytes, token);
    co_await std::move(task);
}

QCoro::Task<QString> HostedBackendClient::transcribe(QString baseURL, QString sessionToken, QByteArray wavData,
                                                     QString fileName, CancellationToken token)
{
    const QUrl url = hostedEndpointURL(baseURL, QStringLiteral("/stt"));
    MultipartBuilder multipart;
    multipart.addFile(QStringLiteral("file"), fileName, QByteArrayLiteral("audio/wav"), wavData);
    auto task = send("POST", url, sessionToken, multipart.contentType(), multipart.build(), mediaRequestTimeout,
                     maximumJSONBodyBytes, token);
    const Response r = co_await std::move(task);
    const QJsonObject o = parseJSONObject(r.body);
    const QJsonValue text = o.value(QLatin1String("text"));
    if (!text.isString())
        throw HTTPError::invalidResponse(QStringLiteral("missing or invalid \"text\""));
    co_return text.toString().trimmed();
}

QCoro::Task<QString> HostedBackendClient::transcribeFile(QString baseURL, QString sessionToken, QString wavFilePath,
                                                         CancellationToken token)
{
    // The recording (up to tens of megabytes) is sent from the file as it
    // goes out, never read whole into memory.
    {
        QFile file(wavFilePath);
        if (!file.open(QIODevice::ReadOnly) || file.isSequential())
            throw TovrikError(QStringLiteral("TovrikHostedBackend"), -3,
                              QStringLiteral("The recording could not be read."));
    }
    const QString name = QFileInfo(wavFilePath).fileName();
    const QUrl url = hostedEndpointURL(baseURL, QStringLiteral("/stt"));
    MultipartBuilder multipart;
    const auto [head, tail] = multipart.filePart(QStringLiteral("file"), name.isEmpty() ? QStringLiteral("recording.wav") : name,
                                                 QByteArrayLiteral("audio/wav"));
    auto task = send("POST", url, sessionToken, multipart.contentType(), head, mediaRequestTimeout,
                     maximumJSONBodyBytes, token, wavFilePath, tail);
    const Response r = co_await std::move(task);
    const QJsonObject o = parseJSONObject(r.body);
    const QJsonValue text = o.value(QLatin1String("text"));
    if (!text.isString())
        throw HTTPError::invalidResponse(QStringLiteral("missing or invalid \"text\""));
    co_return text.toString().trimmed();
}

QCoro::Task<QByteArray> HostedBackendClient::synthesizeSpeech(QString baseURL, QString sessionToken, QString text,
                                                              QString voiceID, QString modelID, CancellationToken token)
{
    const QUrl url = hostedEndpointURL(baseURL, QStringLiteral("/tts"));
    const QJsonObject body{{QStringLiteral("text"), text},
                           {QStringLiteral("voiceId"), voiceID},
                           {QStringLiteral("modelId"), modelID}};
    auto task = send("POST", url, sessionToken, QByteArrayLiteral("application/json"), jsonBytes(body),
                     mediaRequestTimeout, maximumAudioBodyBytes, token);
    const Response r = co_await std::move(task);
    const QByteArray mime = r.contentType.split(';').value(0).trimmed().toLower();
    if (mime != "audio/mpeg" || r.body.isEmpty())
        throw HTTPError::invalidResponse(QStringLiteral("not MPEG audio"));
    co_return r.body;
}

QByteArray HostedBackendClient::chatRequestBody(const QString& model, const QList<HostedChatImageAttachment>& images,
                                                const QString& transcript, const ConversationHistory& history,
                                                const QString& systemPrompt, const QString& workload)
{
    // The images (megabytes of base64) are spliced into the serialised body
    // instead of going through QJsonDocument as text: their placeholders
    // "imageData":"" can only occur as those keys (quotes inside strings are
    // escaped), in the order of the array.
    QJsonArray imageArray;
    for (const auto& image : images) {
        imageArray.append(QJsonObject{{QStringLiteral("imageLabel"), image.imageLabel},
                                      {QStringLiteral("mimeType"), QString::fromLatin1(mimeTypeOfImage(image.imageData))},
                                      {QStringLiteral("imageData"), QString()}});
    }
    QJsonArray historyArray;
    for (const auto& turn : history) {
        historyArray.append(QJsonObject{{QStringLiteral("userTranscript"), turn.userTranscript},
                                        {QStringLiteral("assistantResponse"), turn.assistantResponse}});
    }
    const QJsonObject body{{QStringLiteral("model"), model},
                           {QStringLiteral("imageAttachments"), imageArray},
                           {QStringLiteral("transcript"), transcript},
                           {QStringLiteral("history"), historyArray},
                           {QStringLiteral("systemPrompt"), systemPrompt},
                           {QStringLiteral("workload"), workload}};
    const QByteArray skeleton = jsonBytes(body);
    if (images.isEmpty())
        return skeleton;
    static const QByteArray placeholder = QByteArrayLiteral("\"imageData\":\"\"");
    QList<QByteArray> encoded;
    qsizetype total = skeleton.size();
    for (const auto& image : images) {
        encoded << image.imageData.toBase64();
        total += encoded.last().size();
    }
    QByteArray out;
    out.reserve(total);
    qsizetype from = 0;
    for (const QByteArray& data : encoded) {
        const qsizetype at = skeleton.indexOf(placeholder, from);
        const qsizetype valueStart = at + placeholder.size() - 1; // before the closing quote
        out.append(skeleton.constData() + from, valueStart - from);
        out.append(data);
        from = valueStart;
    }
    out.append(skeleton.constData() + from, skeleton.size() - from);
    return out;
}

QCoro::Task<QString> HostedBackendClient::respond(QString baseURL, QString sessionToken, QString model,
                                                  QList<HostedChatImageAttachment> imageAttachments, QString transcript,
                                                  ConversationHistory history, QString systemPrompt,
                                                  std::optional<double> timeoutInterval, QString workload,
                                                  CancellationToken token)
{
    token.throwIfCancelled();
    QUrl url = hostedEndpointURL(baseURL, QStringLiteral("/chat"));
    QByteArray method = "POST";
    QByteArray body = chatRequestBody(model, imageAttachments, transcript, history, systemPrompt, workload);
    QByteArray contentType = "application/json";
    const double overall = timeoutInterval && *timeoutInterval > 0 ? *timeoutInterval : chatDefaultTimeout;
    const double deadline = Clock::instance().now() + overall;
    for (int redirects = 0;; ++redirects) {
        auto* exchange = new HTTPExchange(
            m_connections, makeRequest(method, url, sessionToken, contentType, QByteArrayLiteral("text/event-stream"), body));
        auto op = std::make_unique<HostedChatStreamOperation>(exchange, chatIdleTimeout,
                                                              deadline - Clock::instance().now(), token);
        auto resultTask = op->result();
        const std::optional<QString> text = co_await std::move(resultTask);
        if (text)
            co_return *text;
        const QUrl target = op->redirectTarget();
        const int status = op->redirectStatus();
        if (redirects >= maximumRedirects || !isSameTrustedHostedHTTPSOrigin(url, target))
            throw HTTPError::failedStatus(status, {});
        url = target;
        if (!keepsMethod(status)) {
            method = "GET";
            body.clear();
            contentType.clear();
        }
    }
}

} // namespace tovrik

