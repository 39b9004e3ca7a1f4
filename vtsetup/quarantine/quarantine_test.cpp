// placeholder
#include <gtest/gtest.h>
TEST(Quarantine, Builds) {}
