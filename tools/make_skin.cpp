// Draws the player's skin, "Drumble Maker BOX", into the 13 bitmaps the
// player loads, and the desktop icons from the window icon's art. Run from
// the repository root:
//   make_skin [output folder, default skins/used] [font, default GeosansLight.ttf]
//             [icon folder, default dist/icons]
//
// The art is flat colours only, so that it looks the same in the player's 16
// bits per pixel. Every image is saved as a 24-bit BMP, so the key colour of
// the button images stays exact.
#include <SDL.h>
#include <SDL_ttf.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "display/layout.h"

namespace {

struct Rgb {
    Uint8 r, g, b;
};

constexpr Rgb KEY = {KEY_RED, KEY_GREEN, KEY_BLUE};

constexpr Rgb PANEL = {36, 40, 52};
constexpr Rgb PANEL_EDGE_LIGHT = {78, 84, 102};
constexpr Rgb PANEL_EDGE_DARK = {16, 18, 24};
constexpr Rgb SCREEN_DARK = {18, 20, 27};
constexpr Rgb AMBER = {255, 172, 44};
constexpr Rgb AMBER_DIM = {120, 82, 30};
constexpr Rgb AMBER_PALE = {255, 222, 150};
constexpr Rgb GREY_TEXT = {150, 157, 172};
constexpr Rgb GRILLE = {58, 63, 78};
constexpr Rgb PAPER = {244, 237, 220};
constexpr Rgb PAPER_GUIDE = {224, 212, 186};
constexpr Rgb PAPER_SHADOW = {196, 186, 162};

// A button face: unlit keys are dark, lit ones glow amber.
struct ButtonLook {
    Rgb face, light, shadow, symbol;
};
constexpr ButtonLook UNLIT = {{64, 69, 84}, {100, 106, 124}, {26, 28, 36}, {166, 172, 188}};
constexpr ButtonLook LIT = {{255, 170, 40}, {255, 226, 150}, {176, 100, 12}, {48, 26, 6}};

enum Symbol { SYMBOL_PLAY, SYMBOL_PAUSE, SYMBOL_STOP, SYMBOL_OPEN, SYMBOL_BACK };

// Where the player draws each lit image, and the hover range it fills.
// Faces of the transport row start at the top of the hover band and end at
// the right end of the hover range; the stop and open images start higher,
// so their top rows are see-through.
struct ButtonArt {
    const char* plain;
    const char* lit;
    ScreenPoint at; // where the image lands in the window
    ScreenSpan hover;
    Symbol symbol;
};
constexpr int FACE_HEIGHT = 30;

int art_width(const ButtonArt& art)
{
    return art.hover.high - art.at.x + 1;
}

// The first row of the face inside the image.
int art_face_top(const ButtonArt& art)
{
    return ROW_BAND.low - art.at.y;
}

int art_height(const ButtonArt& art)
{
    return art_face_top(art) + FACE_HEIGHT;
}

constexpr ButtonArt TRANSPORT_BUTTONS[] = {
    {"play.bmp", "play_en.bmp", PLAY_AT, PLAY_HOVER, SYMBOL_PLAY},
    {"pause.bmp", "pause_en.bmp", PAUSE_AT, PAUSE_HOVER, SYMBOL_PAUSE},
    {"stop.bmp", "stop_en.bmp", STOP_AT, STOP_HOVER, SYMBOL_STOP},
    {"open.bmp", "open_en.bmp", OPEN_AT, OPEN_HOVER, SYMBOL_OPEN},
};
constexpr int BACK_WIDTH = 18;
constexpr int BACK_HEIGHT = 49;

constexpr int BROWSER_BG_WIDTH = BROWSER_WIDTH - BROWSER_BG_AT.x;
constexpr int ICON_SIZE = 32;
// The desktop's icon theme sizes; each is drawn at its own size, since a
// scaled 32-pixel drum would blur.
constexpr int DESKTOP_ICON_SIZES[] = {16, 32, 48, 64, 128, 256};

SDL_Surface* new_image(int width, int height, Rgb fill)
{
    SDL_Surface* image = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 24, 0x0000FF, 0x00FF00, 0xFF0000, 0);
    if (image == nullptr) {
        std::fprintf(stderr, "make_skin: %s\n", SDL_GetError());
        std::exit(1);
    }
    SDL_FillRect(image, nullptr, SDL_MapRGB(image->format, fill.r, fill.g, fill.b));
    return image;
}

void fill(SDL_Surface* image, int x, int y, int width, int height, Rgb colour)
{
    SDL_Rect area = {static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(width),
                     static_cast<Uint16>(height)};
    SDL_FillRect(image, &area, SDL_MapRGB(image->format, colour.r, colour.g, colour.b));
}

void dot(SDL_Surface* image, int x, int y, Rgb colour)
{
    fill(image, x, y, 1, 1, colour);
}

void save(SDL_Surface* image, const std::string& folder, const char* name)
{
    std::string path = folder + "/" + name;
    if (SDL_SaveBMP(image, path.c_str()) != 0) {
        std::fprintf(stderr, "make_skin: cannot write %s: %s\n", path.c_str(), SDL_GetError());
        std::exit(1);
    }
    SDL_FreeSurface(image);
}

void text(SDL_Surface* image, TTF_Font* font, const char* words, int x, int y, Rgb colour)
{
    SDL_Color ink = {colour.r, colour.g, colour.b, 0};
    SDL_Surface* rendered = TTF_RenderUTF8_Blended(font, words, ink);
    if (rendered == nullptr) {
        return;
    }
    SDL_Rect at = {static_cast<Sint16>(x), static_cast<Sint16>(y), 0, 0};
    SDL_BlitSurface(rendered, nullptr, image, &at);
    SDL_FreeSurface(rendered);
}

// Triangle pointing right: column i holds rows i .. size*2-2-i.
void triangle_right(SDL_Surface* image, int x, int y, int size, Rgb colour)
{
    for (int i = 0; i < size; ++i) {
        fill(image, x + i, y + i, 1, 2 * (size - i) - 1, colour);
    }
}

void triangle_left(SDL_Surface* image, int x, int y, int size, Rgb colour)
{
    for (int i = 0; i < size; ++i) {
        fill(image, x + size - 1 - i, y + i, 1, 2 * (size - i) - 1, colour);
    }
}

void triangle_up(SDL_Surface* image, int x, int y, int size, Rgb colour)
{
    for (int i = 0; i < size; ++i) {
        fill(image, x + size - 1 - i, y + i, 2 * i + 1, 1, colour);
    }
}

void symbol(SDL_Surface* image, Symbol which, int x, int y, int width, int height, Rgb colour)
{
    int cx = x + width / 2;
    int cy = y + height / 2;
    switch (which) {
    case SYMBOL_PLAY:
        triangle_right(image, cx - 2, cy - 6, 6, colour); // 6 wide, 11 tall, weighted to its left
        break;
    case SYMBOL_PAUSE:
        fill(image, cx - 4, cy - 6, 3, 11, colour);
        fill(image, cx + 2, cy - 6, 3, 11, colour);
        break;
    case SYMBOL_STOP:
        fill(image, cx - 5, cy - 5, 10, 10, colour);
        break;
    case SYMBOL_OPEN:
        triangle_up(image, cx - 5, cy - 6, 6, colour); // 11 wide, 6 tall
        fill(image, cx - 5, cy + 2, 11, 2, colour);
        break;
    case SYMBOL_BACK:
        triangle_left(image, cx - 6, cy - 6, 6, colour);
        fill(image, cx, cy - 2, 6, 3, colour);
        break;
    }
}

// A key with rounded corners and a bevel. The two pixels at each corner are
// left untouched: the key colour in a button image, the panel underneath in
// the background.
void face(SDL_Surface* image, int x, int y, int width, int height, const ButtonLook& look, Symbol which)
{
    fill(image, x + 2, y, width - 4, height, look.face);
    fill(image, x, y + 2, width, height - 4, look.face);
    fill(image, x + 1, y + 1, width - 2, height - 2, look.face);
    fill(image, x + 2, y, width - 4, 1, look.light);
    fill(image, x, y + 2, 1, height - 4, look.light);
    dot(image, x + 1, y + 1, look.light);
    fill(image, x + 2, y + height - 1, width - 4, 1, look.shadow);
    fill(image, x + width - 1, y + 2, 1, height - 4, look.shadow);
    dot(image, x + width - 2, y + height - 2, look.shadow);
    symbol(image, which, x, y, width, height, look.symbol);
}

void make_transport_buttons(const std::string& folder)
{
    for (const ButtonArt& art : TRANSPORT_BUTTONS) {
        SDL_Surface* plain = new_image(art_width(art), art_height(art), KEY);
        face(plain, 0, art_face_top(art), art_width(art), FACE_HEIGHT, UNLIT, art.symbol);
        save(plain, folder, art.plain);
        SDL_Surface* lit = new_image(art_width(art), art_height(art), KEY);
        face(lit, 0, art_face_top(art), art_width(art), FACE_HEIGHT, LIT, art.symbol);
        save(lit, folder, art.lit);
    }
}

void make_back_buttons(const std::string& folder)
{
    SDL_Surface* plain = new_image(BACK_WIDTH, BACK_HEIGHT, KEY);
    face(plain, 0, 0, BACK_WIDTH, BACK_HEIGHT, UNLIT, SYMBOL_BACK);
    save(plain, folder, "back.bmp");
    SDL_Surface* lit = new_image(BACK_WIDTH, BACK_HEIGHT, KEY);
    face(lit, 0, 0, BACK_WIDTH, BACK_HEIGHT, LIT, SYMBOL_BACK);
    save(lit, folder, "back_en.bmp");
}

// A drum seen slightly from above, with two crossed sticks; size is the
// drum's width. Its lines are one pixel wide at the window icon's size and
// grow with the drum.
void drum(SDL_Surface* image, int x, int y, int size, Rgb skin_colour, Rgb body, Rgb rim)
{
    int w = size / 26 > 1 ? size / 26 : 1;
    // Two-pixel sticks would run together on the smallest drums.
    int stick = size < 20 ? 1 : 2 * w;
    int a = size / 2;
    int b = size / 6 > 1 ? size / 6 : 1;
    int cx = x + a;
    int top = y + size / 4;
    int depth = size / 3;
    // body and lacing
    fill(image, x, top, size, depth, body);
    for (int i = 0; i <= size; ++i) {
        double u = static_cast<double>(i - a) / a;
        int curve = static_cast<int>(std::lround(b * std::sqrt(std::fmax(0.0, 1.0 - u * u))));
        fill(image, x + i, top + depth, 1, curve, body);
        fill(image, x + i, top + depth + curve, 1, w, rim);
    }
    for (int k = 1; k < 6; ++k) {
        int lx = x + k * size / 6;
        fill(image, lx, top + 2, w, depth - 2, rim);
    }
    // drum head
    for (int j = -b; j <= b; ++j) {
        double v = static_cast<double>(j) / b;
        int half = static_cast<int>(std::lround(a * std::sqrt(std::fmax(0.0, 1.0 - v * v))));
        fill(image, cx - half, top + j, 2 * half + 1, 1, skin_colour);
        fill(image, cx - half, top + j, w, 1, rim);
        fill(image, cx + half - w + 1, top + j, w, 1, rim);
    }
    // sticks
    for (int i = 0; i < size / 2; ++i) {
        fill(image, cx - size / 2 + i, top - size / 4 - 2 + i / 2, stick, stick, rim);
        fill(image, cx + size / 2 - i - stick + 1, top - size / 4 - 2 + i / 2, stick, stick, rim);
    }
}

void make_player_background(const std::string& folder, TTF_Font* title_font, TTF_Font* small_font)
{
    SDL_Surface* bg = new_image(PLAYER_WIDTH, WINDOW_HEIGHT, PANEL);
    fill(bg, 0, 0, PLAYER_WIDTH, 1, PANEL_EDGE_LIGHT);
    fill(bg, 0, 0, 1, WINDOW_HEIGHT, PANEL_EDGE_LIGHT);
    fill(bg, 0, WINDOW_HEIGHT - 1, PLAYER_WIDTH, 1, PANEL_EDGE_DARK);
    fill(bg, PLAYER_WIDTH - 1, 0, 1, WINDOW_HEIGHT, PANEL_EDGE_DARK);

    text(bg, title_font, "Drumble Maker BOX", 14, 6, AMBER);
    text(bg, small_font, "klamor  mp3 player", 16, 33, GREY_TEXT);
    drum(bg, 244, 12, 40, AMBER_PALE, AMBER_DIM, PANEL_EDGE_DARK);

    // A dark display window with a frozen level meter.
    fill(bg, 14, 52, 272, 36, PANEL_EDGE_DARK);
    fill(bg, 15, 53, 271, 35, PANEL_EDGE_LIGHT);
    fill(bg, 15, 53, 270, 34, SCREEN_DARK);
    constexpr int LEVELS[] = {9,  14, 19, 23, 21, 17, 24, 27, 22, 16, 12, 18, 25, 28, 26, 20, 15, 11,
                              14, 19, 23, 26, 24, 18, 13, 9,  12, 17, 22, 20, 15, 10, 7,  11, 15, 12};
    int bar_x = 20;
    for (int level : LEVELS) {
        for (int step = 0; step < level; step += 3) {
            Rgb lamp = step >= 21 ? AMBER_PALE : (step >= 12 ? AMBER : AMBER_DIM);
            fill(bg, bar_x, 83 - step, 5, 2, lamp);
        }
        bar_x += 7;
        if (bar_x > 280) {
            break;
        }
    }

    // The four keys, unlit: the lit images land exactly on them.
    for (const ButtonArt& art : TRANSPORT_BUTTONS) {
        face(bg, art.at.x, art.at.y + art_face_top(art), art_width(art), FACE_HEIGHT, UNLIT, art.symbol);
    }
    // Speaker grille beside the keys.
    for (int gy = 102; gy <= 128; gy += 4) {
        for (int gx = 142; gx <= 284; gx += 4) {
            fill(bg, gx, gy, 2, 2, GRILLE);
        }
    }
    fill(bg, 14, 138, 272, 1, PANEL_EDGE_DARK);
    fill(bg, 14, 139, 272, 1, PANEL_EDGE_LIGHT);
    save(bg, folder, "drumble_bg.bmp");
}

void make_browser_background(const std::string& folder)
{
    SDL_Surface* bg = new_image(BROWSER_BG_WIDTH, WINDOW_HEIGHT, PAPER);
    fill(bg, 0, 0, 2, WINDOW_HEIGHT, PAPER_SHADOW);
    // Rules above and below the list's rows. Names may run on into the next
    // column, so nothing is drawn between the rules: short ticks outside
    // them mark where the three columns that can be clicked start.
    fill(bg, 2, 11, BROWSER_BG_WIDTH - 2, 1, PAPER_GUIDE);
    fill(bg, 2, 136, BROWSER_BG_WIDTH - 2, 1, PAPER_GUIDE);
    for (int column = 0; column < static_cast<int>(std::size(GRID_COLUMNS)); ++column) {
        int x = LIST_HOME.x + column * LIST_COLUMN_WIDTH - BROWSER_BG_AT.x;
        fill(bg, x, 7, 1, 4, PAPER_GUIDE);
        fill(bg, x, 137, 1, 4, PAPER_GUIDE);
    }
    save(bg, folder, "browser_bg.bmp");
}

void make_icon(const std::string& folder)
{
    SDL_Surface* icon = new_image(ICON_SIZE, ICON_SIZE, PANEL);
    drum(icon, 3, 6, 26, AMBER_PALE, AMBER, PANEL_EDGE_DARK);
    save(icon, folder, "icon.bmp");
}

// A square with rounded corners; outside them the icon stays see-through.
void rounded_square(SDL_Surface* image, int x, int y, int size, int radius, Rgb colour)
{
    for (int row = 0; row < size; ++row) {
        int from_edge = row < radius ? radius - row : (row >= size - radius ? row - (size - radius - 1) : 0);
        double inside = radius - std::sqrt(std::fmax(0.0, static_cast<double>(radius * radius) -
                                                              static_cast<double>(from_edge * from_edge)));
        int inset = from_edge == 0 ? 0 : static_cast<int>(std::lround(inside));
        fill(image, x + inset, y + row, size - 2 * inset, 1, colour);
    }
}

void save_png(SDL_Surface* image, const std::string& path)
{
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image->w);
    png.height = static_cast<png_uint_32>(image->h);
    png.format = PNG_FORMAT_RGBA;
    if (png_image_write_to_file(&png, path.c_str(), 0, image->pixels, image->pitch, nullptr) == 0) {
        std::fprintf(stderr, "make_skin: cannot write %s: %s\n", path.c_str(), png.message);
        std::exit(1);
    }
    SDL_FreeSurface(image);
}

// The window icon's drum on a bevelled panel tile, for menus and docks.
void make_desktop_icons(const std::string& folder)
{
    for (int size : DESKTOP_ICON_SIZES) {
        // Bytes R, G, B, A in memory, as libpng takes them.
        SDL_Surface* icon =
            SDL_CreateRGBSurface(SDL_SWSURFACE, size, size, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000);
        if (icon == nullptr) {
            std::fprintf(stderr, "make_skin: %s\n", SDL_GetError());
            std::exit(1);
        }
        SDL_FillRect(icon, nullptr, 0);
        int radius = size / 8 > 2 ? size / 8 : 2;
        int edge = size / 32 > 1 ? size / 32 : 1;
        rounded_square(icon, 0, 0, size, radius, PANEL_EDGE_DARK);
        rounded_square(icon, 0, 0, size - edge, radius, PANEL_EDGE_LIGHT);
        rounded_square(icon, edge, edge, size - 2 * edge, radius - edge > 1 ? radius - edge : 1, PANEL);
        // Where the window icon has its drum, in 32ths of the side.
        drum(icon, 3 * size / ICON_SIZE, 6 * size / ICON_SIZE, 26 * size / ICON_SIZE, AMBER_PALE, AMBER,
             PANEL_EDGE_DARK);
        save_png(icon, folder + "/klamor-" + std::to_string(size) + ".png");
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string folder = argc > 1 ? argv[1] : "skins/used";
    const char* font_path = argc > 2 ? argv[2] : "GeosansLight.ttf";
    std::string icon_folder = argc > 3 ? argv[3] : "dist/icons";
    if (SDL_Init(0) < 0 || TTF_Init() < 0) {
        std::fprintf(stderr, "make_skin: cannot initialise SDL: %s\n", SDL_GetError());
        return 1;
    }
    TTF_Font* title_font = TTF_OpenFont(font_path, 22);
    TTF_Font* small_font = TTF_OpenFont(font_path, 12);
    if (title_font == nullptr || small_font == nullptr) {
        std::fprintf(stderr, "make_skin: cannot load %s: %s\n", font_path, TTF_GetError());
        return 1;
    }
    make_icon(folder);
    make_desktop_icons(icon_folder);
    make_player_background(folder, title_font, small_font);
    make_transport_buttons(folder);
    make_back_buttons(folder);
    make_browser_background(folder);
    TTF_CloseFont(small_font);
    TTF_CloseFont(title_font);
    TTF_Quit();
    SDL_Quit();
    return 0;
}
