// Built in place of the window's tests where the window itself is not built.
#include <gtest/gtest.h>

TEST(GuiWindow, NotBuilt) {
    GTEST_SKIP() << "orlo-gui is not built here (no Qt 6, or the GUI is switched off)";
}
