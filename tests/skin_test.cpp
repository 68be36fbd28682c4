// Loading the skin, and the skin art against the places it is drawn and the
// hover regions it has to match.
#include <gtest/gtest.h>

#include <SDL_ttf.h>

#include <filesystem>
#include <string>

#include "app/state.h"
#include "display/layout.h"
#include "display/screen.h"
#include "display/skin.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

struct PixelRgb {
    Uint8 r, g, b;
    bool operator==(const PixelRgb&) const = default;
};

PixelRgb rgb_at(SDL_Surface* image, int x, int y)
{
    Uint32 value = pixel_at(image, x, y);
    PixelRgb out{};
    SDL_GetRGB(value, image->format, &out.r, &out.g, &out.b);
    return out;
}

bool is_key(PixelRgb c)
{
    return c.r == KEY_RED && c.g == KEY_GREEN && c.b == KEY_BLUE;
}

class SkinTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = enter_scratch_dir();
        ASSERT_TRUE(start_display(error_, sizeof error_)) << error_;
        ASSERT_TRUE(load_skin(&skin_, &layout_, error_, sizeof error_)) << error_;
    }
    void TearDown() override
    {
        free_skin(&skin_);
        stop_display();
        leave_scratch_dir(dir_);
    }
    std::string dir_;
    SkinSet skin_ = {};
    Layout layout_ = {};
    char error_[ERROR_TEXT_SIZE] = "";
};

// The art is ours: it has to fit the fixed positions and hover regions.
TEST_F(SkinTest, ArtFitsItsPlacesAndHoverRegions)
{
    EXPECT_EQ(skin_.slots[SLOT_SCREEN]->w, 32);
    EXPECT_EQ(skin_.slots[SLOT_SCREEN]->h, 32);
    EXPECT_EQ(skin_.slots[SLOT_DRUMBLE_BG]->w, PLAYER_WIDTH);
    EXPECT_EQ(skin_.slots[SLOT_DRUMBLE_BG]->h, WINDOW_HEIGHT);
    EXPECT_EQ(skin_.slots[SLOT_BROWSER_BG]->w, BROWSER_WIDTH - BROWSER_BG_AT.x);
    EXPECT_EQ(skin_.slots[SLOT_BROWSER_BG]->h, WINDOW_HEIGHT);

    struct Button {
        int plain, lit, pos;
        ScreenSpan hover_x, hover_y;
    };
    const Button buttons[] = {
        {SLOT_PLAY, SLOT_PLAY_EN, PLAY_POS, PLAY_HOVER, ROW_BAND},
        {SLOT_PAUSE, SLOT_PAUSE_EN, PAUSE_POS, PAUSE_HOVER, ROW_BAND},
        {SLOT_STOP, SLOT_STOP_EN, STOP_POS, STOP_HOVER, ROW_BAND},
        {SLOT_OPEN, SLOT_OPEN_EN, OPEN_POS, OPEN_HOVER, ROW_BAND},
        {SLOT_BACK, SLOT_BACK_EN, BACK_POS, BACK_HOVER_X, BACK_HOVER_Y},
    };
    SDL_Surface* bg = skin_.slots[SLOT_DRUMBLE_BG];
    for (const Button& b : buttons) {
        SDL_Surface* plain = skin_.slots[b.plain];
        SDL_Surface* lit = skin_.slots[b.lit];
        SCOPED_TRACE("slot " + std::to_string(b.lit));
        ASSERT_EQ(plain->w, lit->w);
        ASSERT_EQ(plain->h, lit->h);
        // Exactly 24 bits, so that the key survives loading unchanged.
        EXPECT_EQ(lit->format->BitsPerPixel, 24);
        EXPECT_EQ(plain->format->BitsPerPixel, 24);
        int x0 = layout_.positions[b.pos].x;
        int y0 = layout_.positions[b.pos].y;
        bool lit_differs = false;
        int keyed = 0;
        for (int y = 0; y < lit->h; ++y) {
            for (int x = 0; x < lit->w; ++x) {
                PixelRgb l = rgb_at(lit, x, y);
                PixelRgb p = rgb_at(plain, x, y);
                // Both images share one outline, so lighting up leaves no
                // stale pixels of the other behind.
                ASSERT_EQ(is_key(l), is_key(p)) << x << "," << y;
                if (is_key(l)) {
                    ++keyed;
                    continue;
                }
                lit_differs = lit_differs || !(l == p);
                int wx = x0 + x;
                int wy = y0 + y;
                EXPECT_TRUE(wx >= b.hover_x.low && wx <= b.hover_x.high && wy >= b.hover_y.low && wy <= b.hover_y.high)
                    << "visible pixel outside the hover region at " << wx << "," << wy;
                // Unlit transport buttons are never drawn: the background
                // shows them where the lit images land.
                if (b.plain != SLOT_BACK) {
                    EXPECT_EQ(rgb_at(bg, wx, wy), p)
                        << "background differs from the unlit image at " << wx << "," << wy;
                }
            }
        }
        EXPECT_TRUE(lit_differs);
        EXPECT_GT(keyed, 0) << "rounded corners are see-through";
    }
}

// A copy of the skin with one file missing or spoilt.
class BrokenSkinTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(BrokenSkinTest, FailsNamingTheFile)
{
    auto [name, spoilt] = GetParam();
    std::string dir = enter_scratch_dir();
    fs::remove("skins/used");
    fs::create_directory("skins/used");
    for (const auto& entry : fs::directory_iterator(fs::path(KLAMOR_SOURCE_DIR) / "skins" / "used")) {
        fs::copy_file(entry.path(), fs::path("skins/used") / entry.path().filename());
    }
    std::string path = std::string("skins/used/") + name;
    if (spoilt) {
        write_file(path, "BM not really a bitmap");
    } else {
        fs::remove(path);
    }

    SkinSet skin = {};
    Layout layout = {};
    char error[ERROR_TEXT_SIZE] = "";
    ASSERT_TRUE(start_display(error, sizeof error)) << error;
    EXPECT_FALSE(load_skin(&skin, &layout, error, sizeof error));
    EXPECT_NE(std::string(error).find(std::string("cannot load ./skins/used/") + name + ": "), std::string::npos)
        << error;
    EXPECT_EQ(std::string(error).find('\n'), std::string::npos);
    for (SDL_Surface* slot : skin.slots) {
        EXPECT_EQ(slot, nullptr);
    }
    stop_display();
    leave_scratch_dir(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, BrokenSkinTest,
                         ::testing::Values(std::pair{"icon.bmp", false}, std::pair{"pause_en.bmp", false},
                                           std::pair{"browser_bg.bmp", false}, std::pair{"stop.bmp", true}),
                         [](const auto& info) {
                             std::string name =
                                 std::string(info.param.second ? "spoilt_" : "missing_") + info.param.first;
                             return name.substr(0, name.find('.'));
                         });

} // namespace
