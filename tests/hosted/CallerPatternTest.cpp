// Callers await the client's tasks directly inside their own coroutines, with
// temporary arguments; a failing request must unwind cleanly through them.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"

using namespace tovrik;
using namespace tovrik::test;

namespace {

QCoro::Task<QString> callerAwaitingDirectly(HostedBackendClient* client, QString origin, QString token,
                                            CancellationSource* source)
{
    try {
        const HostedAccountSummaryPayload s =
            co_await client->fetchAccountSummary(origin.trimmed(), token + QString(), source->token());
        co_return s.email;
    } catch (const HTTPError& e) {
        co_return QStringLiteral("failed: ") + e.localizedDescription();
    }
}

class CallerPatternTest : public HostedServiceTest {};

} // namespace

TEST_F(CallerPatternTest, FailingRequestUnwindsThroughAnAwaitingCaller)
{
    HostedBackendClient client;
    CancellationSource source;
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        return FakeResponse::error(401, QStringLiteral("unauthorized"), QStringLiteral("Session expired. Sign in again."));
    });
    for (int i = 0; i < 3; ++i) {
        auto out = runToEnd(callerAwaitingDirectly(&client, origin, QStringLiteral("tok"), &source));
        ASSERT_TRUE(out->finished);
        EXPECT_EQ(out->value.value_or(QString()), QStringLiteral("failed: Session expired. Sign in again."));
    }
}
