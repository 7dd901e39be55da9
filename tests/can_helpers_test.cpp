#include <gtest/gtest.h>

#include "can_helpers.hpp"
#include "config.hpp"

TEST(Smoke, Version) { EXPECT_EQ(getLibraryVersion(), "0.1.10-beta"); }
