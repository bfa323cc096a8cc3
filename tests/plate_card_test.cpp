// A plate's card: blanks go, the rest is digested byte for byte.
#include "util/plate_card.h"

#include <gtest/gtest.h>

namespace {

TEST(PlateCardTest, BlanksGoAndTheCardIsTheDigestsLastFourBytes) {
    const std::optional<PlateCard> card = plateCard(" AB 123  CD ");
    ASSERT_TRUE(card);
    EXPECT_EQ(card->plate, "AB123CD");
    EXPECT_EQ(card->digest, "AC0426853B0947E3CE6AAFD6116C6A726D8CB9FB");
    EXPECT_EQ(card->card, 0x6D8CB9FBu);
    EXPECT_EQ(plateCard("ab123cd")->card, 0x8BFF1D19u);  // letter case matters
}

TEST(PlateCardTest, OnlyBlanksAreRemovedAndControlCharactersAloneNameNoPlate) {
    EXPECT_EQ(plateCard("AB\t1")->plate, "AB\t1");
    EXPECT_EQ(plateCard(std::string("A\0B", 3))->plate, std::string("A\0B", 3));
    const std::string noPlates[] = {"", "   ", "\t \r\n", "\x7F", std::string(1, '\0')};
    for (const std::string& text : noPlates)
        EXPECT_FALSE(plateCard(text)) << text;
}

}  // namespace
