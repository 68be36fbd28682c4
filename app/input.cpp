// Pointer sampling, hover regions and event handling.
#include "app/input.h"

#include "display/layout.h"

namespace {

struct ButtonRange {
    ScreenSpan span;
    uint8_t code;
};

constexpr ButtonRange ROW_BUTTONS[] = {
    {PLAY_HOVER, HOVER_PLAY},
    {PAUSE_HOVER, HOVER_PAUSE},
    {STOP_HOVER, HOVER_STOP},
    {OPEN_HOVER, HOVER_OPEN},
};
// The row runs from the first button's left end to the last one's right.
constexpr ScreenSpan ROW_SPAN = {PLAY_HOVER.low, OPEN_HOVER.high};

bool within(int value, ScreenSpan span)
{
    return value >= span.low && value <= span.high;
}

} // namespace

void update_hover(const InputState* input, UiState* ui)
{
    // In a gap between two buttons of the row the previous frame's code
    // stays, so a click in a gap acts on the button the pointer came from.
    if (!within(input->mouse_y, ROW_BAND)) {
        ui->hover_button = HOVER_NONE;
    } else {
        for (const ButtonRange& button : ROW_BUTTONS) {
            if (within(input->mouse_x, button.span)) {
                ui->hover_button = button.code;
            }
        }
    }
    if (!within(input->mouse_x, ROW_SPAN)) {
        ui->hover_button = HOVER_NONE;
    }
    bool on_back = within(input->mouse_y, BACK_HOVER_Y) && within(input->mouse_x, BACK_HOVER_X);
    ui->hover_back = on_back ? BACK_HOVERED : BACK_NOT_HOVERED;
}

void handle_event(const SDL_Event* event, InputState* input, UiState* ui)
{
    switch (event->type) {
    case SDL_MOUSEBUTTONDOWN:
        // Every button, the wheel steps included, counts as a click.
        input->left_down = event->button.button == SDL_BUTTON_LEFT ? 1 : 0;
        input->right_down = event->button.button == SDL_BUTTON_RIGHT ? 1 : 0;
        ui->clicked = 1;
        if (ui->hover_button == HOVER_OPEN) {
            ui->view = VIEW_BROWSER;
        }
        if (ui->hover_back == BACK_HOVERED) {
            ui->view = VIEW_PLAYER;
        }
        break;
    case SDL_QUIT:
        input->quit = 1;
        break;
    case SDL_KEYDOWN:
        if (event->key.keysym.sym == SDLK_ESCAPE) {
            input->quit = 1;
        }
        break;
    default:
        break;
    }
}

void poll_input(InputState* input, UiState* ui)
{
    // Sleep until something happens rather than spin: waiting with a null
    // event leaves the event queued for the poll below.
    if (SDL_PollEvent(nullptr) == 0) {
        SDL_WaitEvent(nullptr);
    }

    input->left_down = 0;
    input->right_down = 0;
    input->mouse_x = 0;
    input->mouse_y = 0;

    int x = 0;
    int y = 0;
    SDL_GetMouseState(&x, &y);
    input->mouse_x = static_cast<int16_t>(x);
    input->mouse_y = static_cast<int16_t>(y);
    // The hover codes come from the position sampled before the event.
    update_hover(input, ui);

    // One event per frame; the rest wait for later frames.
    SDL_Event event;
    if (SDL_PollEvent(&event) != 0) {
        handle_event(&event, input, ui);
    }

    if (ui->hover_button != ui->prev_hover_button || ui->hover_back != ui->prev_hover_back) {
        ui->prev_hover_button = ui->hover_button;
        ui->prev_hover_back = ui->hover_back;
        ui->redraw = REDRAW_DUE;
    } else {
        ui->redraw = 0;
    }
}
