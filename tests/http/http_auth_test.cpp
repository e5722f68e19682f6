// Basic auth under a flood of wrong passwords: who has bcrypt's next turn
// (KwBcryptTurns, on a clock the test moves).
#include <gtest/gtest.h>

#include <string>

#include "KwBcryptTurns.h"

namespace {

typedef KwBcryptTurns::Clock Clock;

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

Clock::time_point At(double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

TEST(KwBcryptTurnsTest, ThoseWhoAskLeastGoFirstAndThoseAlikeTakeTurns) {
    KwBcryptTurns turns(3);
    for (int i = 0; i < 100; ++i) {
        turns.Asked("flood-a", At(0));
        turns.Asked("flood-b", At(0));
    }
    turns.Asked("scraper", At(0));
    turns.Asked("scraper", At(0));
    turns.Took("flood-a", At(0.5));
    // Asks: 100, 100, 2; a second later, each halved.
    const struct {
        const char* client;
        double asks;
        int askClass;
    } rows[] = {{"flood-a", 50, 6}, {"flood-b", 50, 6}, {"scraper", 1, 1}, {"newcomer", 0, 0}};
    for (const auto& row : rows) {
        EXPECT_DOUBLE_EQ(turns.Asks(row.client, At(1)), row.asks) << row.client;
        EXPECT_EQ(turns.PlaceOf(row.client, At(1)).first, row.askClass) << row.client;
    }
    EXPECT_LT(turns.PlaceOf("newcomer", At(1)), turns.PlaceOf("scraper", At(1)));
    EXPECT_LT(turns.PlaceOf("scraper", At(1)), turns.PlaceOf("flood-b", At(1)));
    // Alike: the one whose last turn is older goes first (never: first).
    EXPECT_LT(turns.PlaceOf("flood-b", At(1)), turns.PlaceOf("flood-a", At(1)));
    turns.Took("flood-b", At(1));
    EXPECT_LT(turns.PlaceOf("flood-a", At(1)), turns.PlaceOf("flood-b", At(1)));
    // Beyond three clients, the one that asked least lately is forgotten.
    turns.Asked("fourth", At(1));
    EXPECT_EQ(turns.Asks("scraper", At(1)), 0);
    EXPECT_DOUBLE_EQ(turns.Asks("fourth", At(1)), 1);
}
