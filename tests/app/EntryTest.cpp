// The process entry when the secure random source fails: nothing starts, one
// line says why, the exit code is 1, and the marker keeps the value drawn
// before.

#include "app/Entry.h"
#include "common/Constants.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

namespace {
bool failingRandom(void*, size_t) { return false; }
bool fixedRandom(void* buffer, size_t size)
{
    std::memset(buffer, 0, size); // all zero bits: the marker must still be odd
    return true;
}
} // namespace

TEST(ProcessEntry, ARandomSourceFailureStopsWithOneLine)
{
    const int64_t before = tovrik::constants::syntheticInputEventSourceUserData();
    char name[] = "tovrik";
    char* argv[] = {name, nullptr};
    testing::internal::CaptureStderr();
    const int rc = tovrik::app::runApplication(1, argv, &failingRandom);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_NE(err.find("secure random source"), std::string::npos);
    EXPECT_EQ(tovrik::constants::syntheticInputEventSourceUserData(), before);
}

TEST(ProcessEntry, MarkerFromAnAllZeroDrawIsStillOdd)
{
    ASSERT_TRUE(tovrik::constants::initialize(&fixedRandom));
    EXPECT_EQ(tovrik::constants::syntheticInputEventSourceUserData(), 1);
    ASSERT_TRUE(tovrik::constants::initialize());
}
