// POST /chat over TLS: the request body, the event stream read to the whole
// reply, its timers, errors, cancellation and truncation.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"
#include "hosted/HostedChatStreamOperation.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class ChatStreamTest : public HostedServiceTest {
protected:
    void SetUp() override
    {
        HostedServiceTest::SetUp();
        fake.addAccount(QStringLiteral("ada@example.com"), QStringLiteral("pw"), 50);
        token = fake.createSession(QStringLiteral("ada@example.com"));
    }
    QCoro::Task<QString> ask(std::optional<double> timeout = std::nullopt, CancellationToken cancel = {})
    {
        return client.respond(origin, token, "claude-fable-5", {}, "hi", {}, "be brief", timeout, "voice", cancel);
    }
    void script(FakeResponse response)
    {
        fake.setHandler("POST", QStringLiteral("/chat"), [response](const FakeRequest&) { return response; });
    }
    HostedBackendClient client;
    QString token;
};

} // namespace

TEST_F(ChatStreamTest, SendsTheDocumentedBodyAndReturnsTheWholeReplyAlsoWhenItArrivesOneByteAtATime)
{
    fake.setChatReply(QString::fromUtf8("Hello there, \xC3\xA9t\xC3\xA9 friend. [POINT:10,20:button:screen1]"), 5);
    const QByteArray jpeg = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(300, 'j');
    const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, 'p');
    const ConversationHistory history = {{QStringLiteral("first q"), QStringLiteral("first a")}};
    auto out = runToEnd(client.respond(origin, token, QStringLiteral("claude-fable-5"),
                                       {{jpeg, QStringLiteral("screen 1 of 2")}, {png, QStringLiteral("DETAIL of screen 1")}},
                                       "what is this?", history, "system text", 70.0, "autopilot"));
    EXPECT_EQ(out->value, QString::fromUtf8("Hello there, \xC3\xA9t\xC3\xA9 friend. [POINT:10,20:button:screen1]"))
        << describe(out->error).toStdString();

    const auto r = fake.requestsTo(QStringLiteral("/chat"));
    ASSERT_EQ(r.size(), 1);
    EXPECT_EQ(r.first().bearerToken(), token);
    EXPECT_EQ(r.first().header("Accept"), QByteArray("text/event-stream"));
    const auto image = [](const QByteArray& data, const char* type, const char* label) {
        return QJsonObject{{"imageData", QString::fromLatin1(data.toBase64())}, {"mimeType", type}, {"imageLabel", label}};
    };
    EXPECT_EQ(r.first().json(),
              (QJsonObject{{"model", "claude-fable-5"}, {"transcript", "what is this?"}, {"systemPrompt", "system text"},
                           {"workload", "autopilot"},
                           {"history", QJsonArray{QJsonObject{{"userTranscript", "first q"}, {"assistantResponse", "first a"}}}},
                           {"imageAttachments", QJsonArray{image(jpeg, "image/jpeg", "screen 1 of 2"),
                                                           image(png, "image/png", "DETAIL of screen 1")}}}));
    // The same reply whole when the stream arrives one byte at a time.
    QByteArray stream;
    stream += ": keep-alive\r\n";
    stream += FakeResponse::sseEvent("delta", R"({"text":"Gr\u00fc\u00dfe, "})");
    stream += "event: delta\r\ndata: {\"text\":\r\ndata: \"\xE2\x82\xAC 5\"}\r\n\r\n"; // multi-line data, CRLF
    stream += "event: ping\rdata: {}\r\r";                                                  // lone CRs, ignored type
    stream += "event: delta\ndata: {\"text\":\"!\"}\n\n";
    // Invalid UTF-8 is replaced, not fatal: one U+FFFD each for a lone
    // continuation byte, a lead byte without its continuation, a sequence cut short.
    stream += "event: delta\ndata: {\"text\":\" caf\xE9 \x80!\"}\n\n";
    stream += "event: delta\ndata: {\"text\":\" \xF0\x9F\x98\"}\n\n";
    stream += FakeResponse::sseEvent("done", "{}");
    FakeResponse bytewise = FakeResponse::eventStream({});
    for (char c : stream)
        bytewise.chunks << QByteArray(1, c);
    bytewise.chunkIntervalMs = 0;
    script(bytewise);
    auto bytes = runToEnd(ask());
    EXPECT_EQ(bytes->value, QString::fromUtf8("Gr\xC3\xBC\xC3\x9F" "e, \xE2\x82\xAC 5! caf\uFFFD \uFFFD! \uFFFD"))
        << describe(bytes->error).toStdString();
}

TEST_F(ChatStreamTest, ASlowUploadIsActivityAnIdleStreamEndlessHeadersAndAStreamThatKeepsTalkingTimeOut)
{
    // Screenshots of ~32 MB, read slowly by the service for a minute of
    // virtual time (longer than the idle limit), then at full speed.
    fake.setReadSlice(16 * 1024, 5);
    const QByteArray jpeg = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(24 << 20, 'j');
    auto out = launch(client.respond(origin, token, QStringLiteral("claude-fable-5"), {{jpeg, QStringLiteral("screen")}},
                                     QStringLiteral("hi"), {}, QStringLiteral("s"), 600.0, QStringLiteral("voice")));
    for (int i = 0; i < 60 && !out->done; ++i) {
        spinUntil([] { return false; }, 20);
        advance(1, 1); // Qt reports progress at most every 100 ms of real time
    }
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/chat")).isEmpty()) << "the upload was too quick to matter";
    fake.setReadSlice(0, 0);
    ASSERT_TRUE(spinUntil([&]() { return out->done; }, 20000));
    EXPECT_EQ(out->value, QStringLiteral("Hello from the fake service.")) << describe(out->error).toStdString();
    // An idle stream times out; endless headers are an invalid response.
    FakeResponse idle = FakeResponse::eventStream({FakeResponse::sseEvent("delta", R"({"text":"Hel"})")});
    idle.holdOpen = true;
    fake.clearRecords();
    script(idle);
    expectTimesOutAfter(launch(ask(600.0)), HostedBackendClient::chatIdleTimeout);
    const QByteArray fields = QByteArray("X-Flood: b\r\n").repeated(300);
    script(headerFlood("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", fields));
    EXPECT_EQ(describe(runToEnd(ask(600.0))->error), QStringLiteral("invalid api response"));
    // A service that thinks for a minute before its headers, within the
    // request's limit of 70 s (past the idle limit): the reply comes.
    FakeResponse thinking = FakeResponse::eventStream(FakeResponse::chatReplyEvents(QStringLiteral("Thought it over.")));
    thinking.holdSeconds = 60;
    fake.clearRecords();
    script(thinking);
    auto late = launch(ask(70.0));
    ASSERT_TRUE(fake.waitForRequests(1));
    advance(60.5, 0.5);
    ASSERT_TRUE(spinUntil([&]() { return late->done; }));
    EXPECT_EQ(late->value, QStringLiteral("Thought it over.")) << describe(late->error).toStdString();
    // Bytes keep arriving (so the idle timer never fires), but the whole
    // request may take only timeoutInterval seconds.
    FakeResponse r = FakeResponse::eventStream({});
    for (int i = 0; i < 400; ++i)
        r.chunks << QByteArray(": tick\n");
    r.chunkIntervalMs = 2;
    r.holdOpen = true;
    script(r);
    fake.clearRecords();
    auto talking = launch(ask(70.0));
    ASSERT_TRUE(fake.waitForRequests(1));
    for (int i = 0; i < 80 && !talking->done; ++i) {
        spinUntil([] { return false; }, 5);
        advance(1, 1);
    }
    ASSERT_TRUE(spinUntil([&]() { return talking->done; }));
    EXPECT_EQ(describe(talking->error), QStringLiteral("request timed out"));
}

TEST_F(ChatStreamTest, FailuresBeforeAndInsideTheStream)
{
    const auto stream = [](const QByteArray& delta) {
        return FakeResponse::eventStream({FakeResponse::sseEvent("delta", delta), FakeResponse::sseEvent("done", "{}")});
    };
    struct Case {
        FakeResponse response;
        int status;
        const char* text;
        QByteArray errorEvent; // the data of an "error" event after a partial reply
    };
    const Case cases[] = {
        {FakeResponse::error(402, "insufficient_credits", " Add credits to keep chatting. "), 402, "Add credits to keep chatting.", {}},
        {FakeResponse::raw(500, "text/plain", "upstream exploded"), 500, "request failed", {}},
        {FakeResponse::json(200, QJsonObject{{"text", "Hello"}}), 0, "invalid api response", {}}, // not a stream
        {stream("{\"text\":5}"), 0, "invalid api response", {}},
        {stream("not json"), 0, "invalid api response", {}},
        {stream("[\"text\"]"), 0, "invalid api response", {}},
        {{}, 402, "Out of credits mid-reply.", R"({"error":"insufficient_credits","message":"Out of credits mid-reply."})"},
        {{}, 503, "Try again.", R"({"error":"model_overloaded","message":"Try again.","status":503})"},
        {{}, 500, "model_overloaded", R"({"error":"model_overloaded"})"},
        {{}, 500, "request failed", "not json"},
    };
    for (const Case& c : cases) {
        script(c.errorEvent.isEmpty() ? c.response
                                      : FakeResponse::eventStream({FakeResponse::sseEvent("delta", R"({"text":"partial"})"),
                                                                   FakeResponse::sseEvent("error", c.errorEvent)}));
        auto out = runToEnd(ask());
        const auto e = out->errorAs<HTTPError>();
        ASSERT_TRUE(e) << c.text;
        EXPECT_EQ(std::make_tuple(e->statusCode(), e->isOutOfCredits(), e->localizedDescription()),
                  std::make_tuple(c.status, c.status == 402, QString::fromUtf8(c.text)));
    }
}

TEST_F(ChatStreamTest, AStreamEndingBeforeDoneDroppedOrTooLongIsNotAReply)
{
    // Closed cleanly, but the last event was never terminated and no "done"
    // came: the partial text is not presented as the reply.
    script(FakeResponse::eventStream({FakeResponse::sseEvent("delta", R"({"text":"Hel"})"),
                                      QByteArray("event: delta\ndata: {\"text\":\"lo\"}\n")}));
    EXPECT_EQ(describe(runToEnd(ask())->error), QStringLiteral("invalid api response"));
    // The connection drops in the middle of the chunked body.
    FakeResponse cut = FakeResponse::eventStream({FakeResponse::sseEvent("delta", R"({"text":"Hel"})")});
    cut.truncate = true;
    script(cut);
    auto dropped = runToEnd(ask());
    const auto e = dropped->errorAs<HTTPError>();
    ASSERT_TRUE(e) << describe(dropped->error).toStdString();
    EXPECT_TRUE(e->kind() == HTTPError::Kind::transport || e->kind() == HTTPError::Kind::invalidResponse);
    // A stream beyond the size limit.
    FakeResponse r = FakeResponse::eventStream({});
    const QByteArray block = ": " + QByteArray(256 * 1024, 'x') + "\n";
    for (qint64 sent = 0; sent <= HostedChatStreamOperation::maximumStreamBytes; sent += block.size())
        r.chunks << block;
    r.holdOpen = true;
    script(r);
    EXPECT_EQ(describe(runToEnd(ask(), 30000)->error), QStringLiteral("invalid api response"));
}

TEST_F(ChatStreamTest, CancelMidStreamIsACancellationAndClosesTheStream)
{
    FakeResponse r = FakeResponse::eventStream({FakeResponse::sseEvent("delta", R"({"text":"Hel"})")});
    r.holdOpen = true;
    script(r);
    CancellationSource source;
    auto out = launch(ask(std::nullopt, source.token()));
    ASSERT_TRUE(fake.waitForRequests(1));
    spinUntil([] { return false; }, 50);
    EXPECT_FALSE(out->done);
    source.cancel();
    drainEvents();
    EXPECT_TRUE(out->done && out->cancelled());
    EXPECT_FALSE(out->errorAs<HTTPError>());
}

TEST_F(ChatStreamTest, SameOriginRedirectFollowedOffOriginRefused)
{
    fake.setHandler("POST", "/chat", [](const FakeRequest&) { return FakeResponse::redirect(308, "/v2/chat"); });
    fake.setHandler("POST", QStringLiteral("/v2/chat"), [](const FakeRequest& r) {
        return FakeResponse::eventStream(FakeResponse::chatReplyEvents(r.json().value("transcript").toString() + " back"));
    });
    auto out = runToEnd(ask());
    EXPECT_EQ(out->value, QStringLiteral("hi back")) << describe(out->error).toStdString();
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/v2/chat")).first().bearerToken(), token);

    fake.clearRecords();
    fake.setHandler("POST", QStringLiteral("/chat"), [](const FakeRequest&) {
        return FakeResponse::redirect(307, QStringLiteral("https://untrusted.example/chat"));
    });
    auto refused = runToEnd(ask());
    EXPECT_EQ(refused->errorAs<HTTPError>()->statusCode(), 307);
    EXPECT_EQ(fake.requests().size(), 1);
    for (const QString& target : fake.connectTargets())
        EXPECT_FALSE(target.startsWith(QStringLiteral("untrusted.example")));
}

TEST_F(ChatStreamTest, AfterDoneTheStreamsEndIsReadAloneSoItsConnectionCarriesTheNextTurnWithinBounds)
{
    // Turns one after another share one connection.
    fake.setChatReply(QStringLiteral("One."));
    EXPECT_EQ(runToEnd(ask())->value, QStringLiteral("One."));
    EXPECT_EQ(runToEnd(ask())->value, QStringLiteral("One."));
    EXPECT_EQ(fake.connectTargets().size(), 1);

    // A stream whose end never comes: the reply is whole at "done" all the
    // same; its connection serves nothing more.
    FakeResponse silent = FakeResponse::eventStream(
        {FakeResponse::sseEvent("delta", R"({"text":"Four."})"), FakeResponse::sseEvent("done", "{}")});
    silent.holdOpen = true;
    script(silent);
    EXPECT_EQ(runToEnd(ask())->value, QStringLiteral("Four."));
    fake.clearHandlers();
    advance(2.5, 0.5);
    EXPECT_EQ(runToEnd(ask())->value, QStringLiteral("One."));
    EXPECT_EQ(fake.connectTargets().size(), 2);
}
