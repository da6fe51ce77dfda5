#include "token/token.h"
#include <gtest/gtest.h>
TEST(TokenPlaceholder, Builds) {}
