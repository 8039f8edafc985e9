// Window placement: the design position where it fits, otherwise the
// smallest move into the available area.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/WindowPlacement.h"

namespace {

TEST(WindowPlacement, KeepsTheDesignPositionOrMovesJustEnough) {
    // The drill's window: design corner (417, 196), 640 x 480 client with
    // a frame of 4 pixels and a caption of 24.
    const TPoint design{417, 196};
    const TSize frame{648, 508};
    struct Case {
        std::string name;
        TRect available;
        int32_t x, y;
    };
    const std::vector<Case> cases = {
        {"1920 x 1080 keeps the design position", {0, 0, 1920, 1080}, 417, 196},
        {"exactly wide and tall enough", {0, 0, 417 + 648, 196 + 508}, 417, 196},
        {"1024 x 768 moves left only", {0, 0, 1024, 768}, 1024 - 648, 196},
        {"800 x 600 moves left and up", {0, 0, 800, 600}, 800 - 648, 600 - 508},
        {"a panel on top and one on the left", {60, 30, 1024, 768}, 1024 - 648, 196},
        {"a panel at the bottom", {0, 0, 1280, 650}, 417, 650 - 508},
        {"second screen to the right", {1920, 0, 3200, 1024}, 1920, 196},
        {"second screen above, negative origin", {0, -768, 1024, 0}, 1024 - 648, -508},
        {"smaller than the window keeps its corner inside", {10, 20, 600, 400}, 10, 20},
    };
    for (const Case& c : cases) {
        const TPoint p = PlaceInside(design, frame, c.available);
        EXPECT_EQ(p.X, c.x) << c.name;
        EXPECT_EQ(p.Y, c.y) << c.name;
    }
}

}  // namespace
