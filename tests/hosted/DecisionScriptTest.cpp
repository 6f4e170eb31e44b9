// The stand-in's script of UI Autopilot decisions (--decisions FILE): each
// autopilot step gets the next decision, a step past the end gets a "done"
// that reports failure, and other chats still get the chat reply.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"

#include <QJsonDocument>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class DecisionScriptTest : public HostedServiceTest {
protected:
    void SetUp() override
    {
        HostedServiceTest::SetUp();
        fake.addAccount(QStringLiteral("ada@example.com"), QStringLiteral("pw"), 50);
        token = fake.createSession(QStringLiteral("ada@example.com"));
    }
    QString step(const char* workload = "autopilot")
    {
        auto out = runToEnd(client.respond(origin, token, "claude-fable-5", {}, "step", {}, "rules", 70.0, workload));
        return out->value.value_or(QStringLiteral("(failed)"));
    }
    HostedBackendClient client;
    QString token;
};

} // namespace

TEST_F(DecisionScriptTest, StepsGetTheDecisionsInOrderThenDoneAndOtherChatsTheChatReply)
{
    QString error;
    const auto script = FakeHostedService::readDecisionScript(R"([
        {"action": {"type": "click", "x": 10, "y": 20, "screen": 1}},
        "Prose first. {\"action\": {\"type\": \"wait\"}}"
    ])", &error);
    ASSERT_TRUE(script.has_value()) << error.toStdString();
    fake.queueAutopilotReplies(*script);
    fake.setAutopilotDoneWhenEmpty(true);
    fake.setChatReply(QStringLiteral("A plain answer."));

    EXPECT_EQ(step(), QStringLiteral(R"({"action":{"screen":1,"type":"click","x":10,"y":20}})"));
    EXPECT_EQ(step("chat"), QStringLiteral("A plain answer."));
    EXPECT_EQ(step(), QStringLiteral(R"(Prose first. {"action": {"type": "wait"}})"));
    for (int past = 0; past < 2; ++past) {
        const QJsonObject done = QJsonDocument::fromJson(step().toUtf8()).object();
        EXPECT_EQ(done["action"]["type"].toString(), QStringLiteral("done"));
        EXPECT_EQ(done["action"]["success"], QJsonValue(false));
        EXPECT_EQ(done["action"]["text"].toString(), FakeHostedService::kDecisionsUsedUp);
    }
    EXPECT_EQ(fake.autopilotRequests().size(), 4);
}
