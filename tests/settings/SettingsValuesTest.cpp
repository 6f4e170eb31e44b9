// Plain values of the settings: the conversation history and the voice catalogue.

#include "settings/ConversationTurn.h"
#include "settings/TovrikSettings.h"
#include "settings/VoiceCatalogue.h"

#include <gtest/gtest.h>

using namespace tovrik;

TEST(ConversationHistory, KeepsTheLastTwelveTurnsInOrder)
{
    ConversationHistory history;
    for (int i = 1; i <= 13; ++i)
        EXPECT_TRUE(appendConversationTurn(history, QStringLiteral("q%1").arg(i), QStringLiteral("a%1").arg(i)));
    ASSERT_EQ(history.size(), 12);
    EXPECT_EQ(history.first(), (ConversationTurn{"q2", "a2"}));
    EXPECT_EQ(history.last(), (ConversationTurn{"q13", "a13"}));
    // The settings record keeps its history by the same rules.
    TovrikSettings settings;
    for (int i = 0; i < 14; ++i)
        settings.appendConversationTurn(QStringLiteral("q%1").arg(i), QStringLiteral("a"));
    EXPECT_EQ(settings.conversationHistory.first().userTranscript, "q2");
}

TEST(ConversationHistory, CapsEachSideAt1600Characters)
{
    ConversationHistory capped;
    appendConversationTurn(capped, QString(1601, QLatin1Char('u')), QString(1600, QLatin1Char('a')) + QStringLiteral("bc"));
    EXPECT_EQ(capped.at(0), (ConversationTurn{QString(1600, QLatin1Char('u')), QString(1600, QLatin1Char('a'))}));
    // 1601 emoji of two UTF-16 units each; the cut keeps 1600 whole ones.
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");
    ConversationHistory history;
    appendConversationTurn(history, face.repeated(1601), QStringLiteral("ok"));
    EXPECT_EQ(history.value(0).userTranscript, face.repeated(1600));
    // An "e" with a combining accent is one character.
    EXPECT_EQ(prefixCharacters(QStringLiteral("e\u0301").repeated(1601), 1600).size(), 3200);
}

TEST(ConversationHistory, TrimsBeforeCappingAndSkipsBlankTurns)
{
    ConversationHistory history;
    EXPECT_FALSE(appendConversationTurn(history, QStringLiteral("  \n\t "), QStringLiteral("\r\n")));
    EXPECT_FALSE(appendConversationTurn(history, {}, {}));
    EXPECT_TRUE(history.isEmpty());
    // Leading blanks do not count against the 1600.
    appendConversationTurn(history, QStringLiteral("   ") + QString(1600, QLatin1Char('x')) + QStringLiteral("\n"),
                           QStringLiteral("  fine  "));
    EXPECT_EQ(history, (ConversationHistory{{QString(1600, QLatin1Char('x')), "fine"}}));
    // One non-empty side is enough.
    EXPECT_TRUE(appendConversationTurn(history, QStringLiteral("question"), QStringLiteral("  ")));
    EXPECT_EQ(history.last(), (ConversationTurn{"question", ""}));
}

TEST(VoiceCatalogue, UnknownVoiceBecomesTheDefault)
{
    EXPECT_EQ(normalizedElevenLabsVoiceID(QStringLiteral("abc")), "kPzsL2i3teMYv0FxEYQ6");
    EXPECT_EQ(normalizedElevenLabsVoiceID({}), "kPzsL2i3teMYv0FxEYQ6");
    // Ids are case-sensitive.
    EXPECT_EQ(normalizedElevenLabsVoiceID(QStringLiteral("pninz6obpgdqgcfmajgb")), "kPzsL2i3teMYv0FxEYQ6");
    EXPECT_EQ(normalizedElevenLabsVoiceID(QStringLiteral("pNInz6obpgDQGcFmaJgB")), "pNInz6obpgDQGcFmaJgB");
    EXPECT_EQ(normalizedElevenLabsVoiceID(QStringLiteral(" yoZ06aMxZJJ28mfd3POQ\n")), "yoZ06aMxZJJ28mfd3POQ");
}

TEST(VoiceCatalogue, MenuOptionsFollowTheCatalogue)
{
    const auto options = voiceMenuOptions(QStringLiteral("TxGEqnHWrfWFTfGW9XjX"));
    const QStringList ids = {"kPzsL2i3teMYv0FxEYQ6", "21m00Tcm4TlvDq8ikWAM", "pNInz6obpgDQGcFmaJgB",
                             "TxGEqnHWrfWFTfGW9XjX", "MF3mGyEYCl7XYWbV9V6O", "yoZ06aMxZJJ28mfd3POQ"};
    const QStringList categories = {"Female", "Female", "Male", "Male", "Unisex", "Unisex"};
    ASSERT_EQ(options.size(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(options[i].id, ids[i]);
        EXPECT_EQ(options[i].category, categories[i]);
        EXPECT_FALSE(options[i].label.isEmpty());
        EXPECT_EQ(options[i].isSelected, i == 3);
    }
    // An unknown stored id selects the default row, and names it.
    const auto fallback = voiceMenuOptions(QStringLiteral("gone"));
    EXPECT_TRUE(fallback[0].isSelected);
    EXPECT_EQ(std::count_if(fallback.begin(), fallback.end(), [](const auto& o) { return o.isSelected; }), 1);
    EXPECT_FALSE(elevenLabsVoiceOption(QStringLiteral("gone")).has_value());
    EXPECT_EQ(selectedElevenLabsVoiceLabel(QStringLiteral("gone")), options[0].label);
    EXPECT_EQ(selectedElevenLabsVoiceLabel(ids[4]), options[4].label);
}
