#include "hosted/HTTPError.h"
#include "hosted/HostedBackendClient.h"
#include "hosted/HostedPayloads.h"
#include "hosted/MultipartBuilder.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace tovrik;

TEST(MultipartBuilder, ByteExactForAFixedBoundaryAndRandomBoundariesDiffer)
{
    MultipartBuilder b("XyZ");
    b.addField(QStringLiteral("language"), QStringLiteral("en"));
    b.addFile(QStringLiteral("file"), QStringLiteral("rec\"ording\r\n.wav"), "audio/wav", QByteArray("RIFF\0\r\n--XyZ", 12));
    const QByteArray expected = QByteArray("--XyZ\r\n"
                                           "Content-Disposition: form-data; name=\"language\"\r\n"
                                           "\r\n"
                                           "en\r\n"
                                           "--XyZ\r\n"
                                           "Content-Disposition: form-data; name=\"file\"; filename=\"rec%22ording%0D%0A.wav\"\r\n"
                                           "Content-Type: audio/wav\r\n"
                                           "\r\n")
        + QByteArray("RIFF\0\r\n--XyZ", 12) + QByteArray("\r\n--XyZ--\r\n");
    EXPECT_EQ(b.build(), expected);
    EXPECT_EQ(b.contentType(), QByteArray("multipart/form-data; boundary=XyZ"));
    // Random boundaries differ; a builder without parts closes at once.
    const QByteArray random = MultipartBuilder::randomBoundary();
    EXPECT_NE(random, MultipartBuilder::randomBoundary());
    EXPECT_TRUE(random.startsWith("TovrikBoundary-"));
    EXPECT_EQ(random.size(), 15 + 32);
    EXPECT_EQ(MultipartBuilder("B").build(), QByteArray("--B--\r\n"));
}

TEST(HTTPError, OutOfCreditsBy402OrCodeAStatusErrorReadsAnyBodyAndPayloadsNeedTheirFieldsAndTypes)
{
    EXPECT_TRUE(HTTPError::failedStatus(402, {}).isOutOfCredits());
    EXPECT_TRUE(HTTPError::failedStatus(403, QStringLiteral("no"), QStringLiteral("insufficient_credits")).isOutOfCredits());
    EXPECT_FALSE(HTTPError::failedStatus(403, QStringLiteral("credits"), QStringLiteral("forbidden")).isOutOfCredits());
    EXPECT_FALSE(HTTPError::timedOut().isOutOfCredits());
    EXPECT_TRUE(isHostedOutOfCreditsError(std::make_exception_ptr(HTTPError::failedStatus(402, QStringLiteral("x")))));
    EXPECT_FALSE(isHostedOutOfCreditsError(std::make_exception_ptr(std::runtime_error("402"))));
    EXPECT_FALSE(isHostedOutOfCreditsError(nullptr));
    // Every case is of the client's domain; a blank message is no message.
    const HTTPError t = HTTPError::transport(QStringLiteral(" Connection refused "), 1);
    EXPECT_EQ(t.localizedDescription(), QStringLiteral("Connection refused"));
    for (const HTTPError& e : {HTTPError::invalidResponse(), HTTPError::timedOut(), HTTPError::failedStatus(401, {}), t})
        EXPECT_EQ(e.domain(), QStringLiteral("TovrikHostedBackend"));
    EXPECT_EQ(HTTPError::failedStatus(500, QStringLiteral(" \n ")).localizedDescription(), QStringLiteral("request failed"));
    const HTTPError a = hostedStatusError(402, R"({"error":"insufficient_credits","message":" You're out of credits. "})");
    EXPECT_EQ(a.statusCode(), 402);
    EXPECT_EQ(a.errorCode(), QStringLiteral("insufficient_credits"));
    EXPECT_EQ(a.localizedDescription(), QStringLiteral("You're out of credits."));
    EXPECT_EQ(hostedStatusError(401, R"({"error":"Token expired"})").localizedDescription(), QStringLiteral("Token expired"));
    EXPECT_EQ(hostedStatusError(500, "<html>oops</html>").localizedDescription(), QStringLiteral("request failed"));
    EXPECT_EQ(hostedStatusError(500, R"({"message":42,"error":["x"]})").localizedDescription(), QStringLiteral("request failed"));
    EXPECT_EQ(hostedStatusError(500, R"(["message"])").localizedDescription(), QStringLiteral("request failed"));
    EXPECT_EQ(hostedStatusError(500, QByteArray()).localizedDescription(), QStringLiteral("request failed"));
    const auto obj = [](const char* json) { return QJsonDocument::fromJson(json).object(); };
    const HostedAuthSessionPayload p = HostedAuthSessionPayload::fromJson(
        obj(R"({"sessionToken":"t","email":"a@b.c","creditsBalance":1234567,"displayName":null})"));
    EXPECT_EQ(p.sessionToken, QStringLiteral("t"));
    EXPECT_EQ(p.creditsBalance, 1234567);
    EXPECT_TRUE(p.displayName.isEmpty());
    EXPECT_EQ(HostedAccountSummaryPayload::fromJson(obj(R"({"email":"a@b.c","creditsBalance":-5})")).creditsBalance, -5);

    const char* bad[] = {
        R"({"email":"a@b.c","creditsBalance":1})",                         // no token
        R"({"sessionToken":"","email":"a@b.c","creditsBalance":1})",       // empty token
        R"({"sessionToken":"t","email":7,"creditsBalance":1})",            // wrong type
        R"({"sessionToken":"t","email":"a@b.c"})",                         // no credits
        R"({"sessionToken":"t","email":"a@b.c","creditsBalance":"12"})",   // string credits
        R"({"sessionToken":"t","email":"a@b.c","creditsBalance":1.5})",    // fraction
        R"({"sessionToken":"t","email":"a@b.c","creditsBalance":1e300})",  // out of range
        R"({"sessionToken":"t","email":"a@b.c","creditsBalance":1,"displayName":3})",
    };
    for (const char* json : bad) {
        try {
            HostedAuthSessionPayload::fromJson(obj(json));
            ADD_FAILURE() << "accepted " << json;
        } catch (const HTTPError& e) {
            EXPECT_EQ(e.kind(), HTTPError::Kind::invalidResponse) << json;
        }
    }
}
