// The tests of the rooms below the window run without a display: none is offered to them.
#include "support/files.h"

#include <glib.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    test::use_own_home();
    g_unsetenv("DISPLAY");
    return RUN_ALL_TESTS();
}
