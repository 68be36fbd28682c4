// Hover regions, event handling and the redraw flag.
#include <gtest/gtest.h>

#include <vector>

#include "app/input.h"
#include "app/wait.h"
#include "display/layout.h"
#include "tests/support.h"

namespace {

struct HoverStep {
    int x;
    int y;
    uint8_t button; // expected hover_button after this step
    uint8_t back;   // expected hover_back after this step
};

// Walks the pointer through a path, each step starting from the codes the
// previous step left, as consecutive frames do.
void walk(const std::vector<HoverStep>& path)
{
    UiState ui = {};
    for (const HoverStep& step : path) {
        InputState input = {};
        input.mouse_x = static_cast<int16_t>(step.x);
        input.mouse_y = static_cast<int16_t>(step.y);
        update_hover(&input, &ui);
        EXPECT_EQ(ui.hover_button, step.button) << "at (" << step.x << ", " << step.y << ")";
        EXPECT_EQ(ui.hover_back, step.back) << "at (" << step.x << ", " << step.y << ")";
    }
}

} // namespace

// The points of these tables are where a person sees each region end,
// written out rather than taken from display/layout.h, so that a wrong
// number there fails here.
TEST(Hover, ButtonsAndEdgesOfTheTransportRow)
{
    constexpr uint8_t OFF = BACK_NOT_HOVERED;
    // The row's band is y 100 to 130; play is x 12 to 25, pause 39 to 53,
    // stop 62 to 92 and open 98 to 126. Each end is reached from a button
    // with another code, so that a gap pixel (which keeps the code) tells
    // from a button's own.
    walk({
        {11, 115, HOVER_NONE, OFF},  {12, 115, HOVER_PLAY, OFF},  {12, 100, HOVER_PLAY, OFF},
        {25, 130, HOVER_PLAY, OFF},  {38, 115, HOVER_PLAY, OFF},  {39, 115, HOVER_PAUSE, OFF},
        {26, 115, HOVER_PAUSE, OFF}, {25, 115, HOVER_PLAY, OFF},  {54, 115, HOVER_PLAY, OFF},
        {53, 115, HOVER_PAUSE, OFF}, {61, 115, HOVER_PAUSE, OFF}, {62, 115, HOVER_STOP, OFF},
        {97, 115, HOVER_STOP, OFF},  {98, 115, HOVER_OPEN, OFF},  {93, 115, HOVER_OPEN, OFF},
        {92, 115, HOVER_STOP, OFF},  {126, 115, HOVER_OPEN, OFF}, {127, 115, HOVER_NONE, OFF},
        {110, 99, HOVER_NONE, OFF},  {110, 100, HOVER_OPEN, OFF}, {110, 130, HOVER_OPEN, OFF},
        {110, 131, HOVER_NONE, OFF}, {-5, 115, HOVER_NONE, OFF},  {20, -110, HOVER_NONE, OFF},
    });
}

TEST(Hover, GapsKeepTheCodeOfWhereThePointerCameFrom)
{
    constexpr uint8_t OFF = BACK_NOT_HOVERED;
    walk({
        {20, 115, HOVER_PLAY, OFF},  // on play
        {30, 115, HOVER_PLAY, OFF},  // gap after play
        {30, 140, HOVER_NONE, OFF},  // below the band
        {30, 115, HOVER_NONE, OFF},  // back into the same gap from outside the row
        {45, 115, HOVER_PAUSE, OFF}, // pause
        {58, 115, HOVER_PAUSE, OFF}, // gap after pause
        {95, 115, HOVER_PAUSE, OFF}, // a further gap, reached without touching stop
        {80, 115, HOVER_STOP, OFF},  // stop
        {95, 115, HOVER_STOP, OFF},  // gap before open
        {30, 90, HOVER_NONE, OFF},   // above the band
        {30, 115, HOVER_NONE, OFF},
    });
}

TEST(Hover, BackButtonRegion)
{
    // x 660 to 680, y 45 to 110.
    walk({
        {670, 45, HOVER_NONE, BACK_HOVERED},
        {670, 110, HOVER_NONE, BACK_HOVERED},
        {660, 80, HOVER_NONE, BACK_HOVERED},
        {680, 80, HOVER_NONE, BACK_HOVERED},
        {670, 111, HOVER_NONE, BACK_NOT_HOVERED},
        {670, 44, HOVER_NONE, BACK_NOT_HOVERED},
        {681, 60, HOVER_NONE, BACK_NOT_HOVERED},
        {659, 60, HOVER_NONE, BACK_NOT_HOVERED},
    });
}

TEST(Events, EveryButtonClicksButOnlyLeftAndRightSetTheirFlags)
{
    struct Case {
        uint8_t button;
        int16_t left;
        int16_t right;
    };
    for (Case c : {Case{SDL_BUTTON_LEFT, 1, 0}, Case{SDL_BUTTON_RIGHT, 0, 1}, Case{SDL_BUTTON_MIDDLE, 0, 0},
                   Case{SDL_BUTTON_WHEELUP, 0, 0}, Case{SDL_BUTTON_WHEELDOWN, 0, 0}}) {
        InputState input = {};
        UiState ui = {};
        ui.view = VIEW_PLAYER;
        ui.hover_button = HOVER_OPEN;
        ui.hover_back = BACK_NOT_HOVERED;
        SDL_Event event = button_press(c.button);
        handle_event(&event, &input, &ui);
        EXPECT_EQ(ui.clicked, 1) << int(c.button);
        EXPECT_EQ(ui.view, VIEW_BROWSER) << int(c.button);
        EXPECT_EQ(input.left_down, c.left) << int(c.button);
        EXPECT_EQ(input.right_down, c.right) << int(c.button);
        EXPECT_EQ(input.quit, 0);
    }
}

TEST(Events, ClicksSwitchViewsOnlyOverOpenOrBack)
{
    struct Case {
        uint8_t view_before;
        uint8_t hover_button;
        uint8_t hover_back;
        uint8_t view_after;
    };
    const Case cases[] = {
        {VIEW_PLAYER, HOVER_PLAY, BACK_NOT_HOVERED, VIEW_PLAYER},
        {VIEW_PLAYER, HOVER_NONE, BACK_NOT_HOVERED, VIEW_PLAYER},
        {VIEW_BROWSER, HOVER_OPEN, BACK_NOT_HOVERED, VIEW_BROWSER}, // open again from the browser
        {VIEW_BROWSER, HOVER_NONE, BACK_HOVERED, VIEW_PLAYER},
        {VIEW_BROWSER, HOVER_NONE, BACK_NOT_HOVERED, VIEW_BROWSER},
    };
    for (const Case& c : cases) {
        InputState input = {};
        UiState ui = {};
        ui.view = c.view_before;
        ui.hover_button = c.hover_button;
        ui.hover_back = c.hover_back;
        SDL_Event event = button_press(SDL_BUTTON_LEFT);
        handle_event(&event, &input, &ui);
        EXPECT_EQ(ui.view, c.view_after);
    }
}

TEST(Events, QuitOnCloseRequestAndEscapeOnly)
{
    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    SDL_Event release = button_press(SDL_BUTTON_LEFT);
    release.type = SDL_MOUSEBUTTONUP;
    SDL_Event motion = {};
    motion.type = SDL_MOUSEMOTION;
    struct Case {
        SDL_Event event;
        int16_t quit;
    };
    for (const Case& c : {Case{quit, 1}, Case{key_press(SDLK_ESCAPE), 1}, Case{key_press(SDLK_q), 0},
                          Case{key_press(SDLK_RETURN), 0}, Case{release, 0}, Case{motion, 0}}) {
        InputState input = {};
        UiState ui = {};
        ui.view = VIEW_PLAYER;
        handle_event(&c.event, &input, &ui);
        EXPECT_EQ(input.quit, c.quit) << int(c.event.type);
        if (c.quit == 0) {
            EXPECT_EQ(ui.clicked, 0);
            EXPECT_EQ(ui.view, VIEW_PLAYER);
        }
    }
}

class Polling : public testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        ASSERT_NE(SDL_SetVideoMode(PLAYER_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, SDL_SWSURFACE), nullptr)
            << SDL_GetError();
        SDL_Event drained;
        while (SDL_PollEvent(&drained) != 0) {
        }
    }
    void TearDown() override { SDL_Quit(); }
};

TEST_F(Polling, QueuedEventsAreHandledOnePerFrameInOrder)
{
    SDL_Event right = button_press(SDL_BUTTON_RIGHT);
    SDL_Event other_key = key_press(SDLK_a);
    SDL_Event escape = key_press(SDLK_ESCAPE);
    SDL_Event left = button_press(SDL_BUTTON_LEFT);
    for (SDL_Event* event : {&right, &other_key, &escape, &left}) {
        ASSERT_EQ(SDL_PushEvent(event), 0);
    }
    InputState input = {};
    UiState ui = {};
    ui.view = VIEW_PLAYER;

    poll_input(&input, &ui);
    EXPECT_EQ(input.right_down, 1);
    EXPECT_EQ(ui.clicked, 1);
    ui.clicked = 0;

    poll_input(&input, &ui);
    EXPECT_EQ(input.right_down, 0); // cleared by the next frame's sampling
    EXPECT_EQ(ui.clicked, 0);
    EXPECT_EQ(input.quit, 0);

    poll_input(&input, &ui);
    EXPECT_EQ(input.quit, 1);
    EXPECT_EQ(input.left_down, 0);

    // The click behind Escape is still waiting.
    SDL_Event waiting;
    ASSERT_EQ(SDL_PeepEvents(&waiting, 1, SDL_PEEKEVENT, SDL_ALLEVENTS), 1);
    EXPECT_EQ(waiting.type, SDL_MOUSEBUTTONDOWN);
}

TEST_F(Polling, RedrawOnlyInTheFrameAHoverCodeChanges)
{
    // The records as start-up leaves them: previous codes 0 and the back
    // button not hovered, so the first frame always reports a change.
    InputState input = {};
    UiState ui = {};
    ui.view = VIEW_PLAYER;
    ui.hover_back = BACK_NOT_HOVERED;
    SDL_Event key = key_press(SDLK_a);

    ASSERT_EQ(SDL_PushEvent(&key), 0);
    poll_input(&input, &ui);
    EXPECT_EQ(ui.redraw, REDRAW_DUE);
    EXPECT_EQ(ui.prev_hover_back, BACK_NOT_HOVERED);
    EXPECT_EQ(ui.prev_hover_button, HOVER_NONE);

    ASSERT_EQ(SDL_PushEvent(&key), 0);
    poll_input(&input, &ui);
    EXPECT_EQ(ui.redraw, 0);
}

TEST_F(Polling, AMoveReadAfterTheFrameSampledThePointerGetsAFrameOfItsOwn)
{
    // A frame samples the pointer, then its own event read brings in a move:
    // the hover codes still show where the pointer was, and the queue is
    // empty. The loop must not go to sleep on that.
    InputState input = {};
    UiState ui = {};
    ui.view = VIEW_PLAYER;
    poll_input(&input, &ui);
    SDL_WarpMouse(112, 115); // on open
    SDL_Event move;
    while (SDL_PollEvent(&move) != 0) {
    }
    within_seconds(PATIENCE_SECONDS, [&] {
        BusWait no_bus = {-1, 0, BUS_NO_DEADLINE};
        wait_for_events(&input, -1, &no_bus);
    });

    poll_input(&input, &ui);
    EXPECT_EQ(ui.hover_button, HOVER_OPEN);
    EXPECT_EQ(ui.redraw, REDRAW_DUE);
}
