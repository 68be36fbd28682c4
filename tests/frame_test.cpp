// Start-up and the frame loop, run against the real skin, font and engine.
#include <gtest/gtest.h>

#include <cstring>

#include "app/frame.h"
#include "display/layout.h"
#include "tests/support.h"

class Frames : public testing::Test {
  protected:
    void SetUp() override
    {
        dir = enter_scratch_dir();
        char error[ERROR_TEXT_SIZE] = "";
        ASSERT_TRUE(start_player(&p, error, sizeof error)) << error;
        SDL_Event drained;
        while (SDL_PollEvent(&drained) != 0) {
        }
    }
    void TearDown() override
    {
        stop_player(&p);
        leave_scratch_dir(dir);
    }
    std::string dir;
    PlayerRecords p = {};
};

TEST_F(Frames, StartUpShowsThePlayerViewWithNothingChosen)
{
    EXPECT_EQ(p.ui.view, VIEW_PLAYER);
    EXPECT_EQ(p.ui.clicked, 0);
    EXPECT_EQ(p.ui.hover_button, HOVER_NONE);
    EXPECT_EQ(p.ui.hover_back, BACK_NOT_HOVERED);
    EXPECT_EQ(p.ui.transport, TRANSPORT_STOPPED);
    EXPECT_EQ(p.ui.prev_hover_button, 0);
    EXPECT_EQ(p.ui.prev_hover_back, 0);
    EXPECT_STREQ(p.song.text, MUSIC_PREFIX);
    for (int i = MUSIC_PREFIX_LENGTH; i < SONG_PATH_SIZE; ++i) {
        ASSERT_EQ(p.song.text[i], 0) << i;
    }
    SDL_Surface* screen = SDL_GetVideoSurface();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->w, PLAYER_WIDTH);
    EXPECT_EQ(screen->h, WINDOW_HEIGHT);
    EXPECT_EQ(p.skin.slots[SLOT_SCREEN], screen);
}

TEST_F(Frames, QuitInTheFirstFrameEndsTheLoopAfterThatFrame)
{
    SDL_Event escape = key_press(SDLK_ESCAPE);
    SDL_Event click = {};
    click.type = SDL_MOUSEBUTTONDOWN;
    click.button.button = SDL_BUTTON_LEFT;
    ASSERT_EQ(SDL_PushEvent(&escape), 0);
    ASSERT_EQ(SDL_PushEvent(&click), 0);

    char error[ERROR_TEXT_SIZE] = "";
    int frames = 0;
    while (p.input.quit == 0 && frames < 10) {
        ASSERT_TRUE(run_frame(&p, error, sizeof error)) << error;
        ++frames;
    }
    EXPECT_EQ(frames, 1);
    // The first frame always presents: the hover codes left their start values.
    EXPECT_EQ(p.ui.redraw, REDRAW_DUE);
    EXPECT_EQ(p.ui.clicked, 0);
    SDL_Event waiting;
    EXPECT_EQ(SDL_PeepEvents(&waiting, 1, SDL_PEEKEVENT, SDL_ALLEVENTS), 1);
}
