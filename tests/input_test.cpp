// Hover regions, event handling and the redraw flag.
#include <gtest/gtest.h>

#include "app/input.h"

TEST(Hover, Placeholder) { SUCCEED(); }
