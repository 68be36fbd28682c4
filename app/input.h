// Sampling the pointer and one event per frame into the frame records.
#pragma once

#include <SDL.h>

#include "app/state.h"

void poll_input(InputState* input, UiState* ui);
void update_hover(const InputState* input, UiState* ui);
void handle_event(const SDL_Event* event, InputState* input, UiState* ui);
