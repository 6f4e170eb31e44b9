#include "settings/VoiceCatalogue.h"

#include <gtest/gtest.h>

using namespace tovrik;

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
