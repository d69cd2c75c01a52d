// Placeholder so the suite builds before its tests land; removed by the
// first real test file.
#include <gtest/gtest.h>

#include "applet/cpl_applet.h"

TEST(AppletPlaceholder, LibraryLinks) { EXPECT_EQ(0, CPlApplet(nullptr, CPL_EXIT, 0, 0)); }
