// The two views, the buttons drawn in a frame, and the song list, checked on
// the pixels of the screen surface.
#include <gtest/gtest.h>

#include <SDL_ttf.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "display/layout.h"
#include "display/skin.h"
#include "display/song_list.h"
#include "display/view.h"
#include "tests/support.h"

namespace {

constexpr SDL_Color BLACK = {0, 0, 0, 0};

// The colour of an image's pixel as the screen holds it, or -1 where the
// image is see-through.
long long in_screen_format(SDL_Surface* image, int x, int y, SDL_Surface* screen)
{
    Uint32 value = pixel_at(image, x, y);
    if ((image->flags & SDL_SRCCOLORKEY) != 0 && value == image->format->colorkey) {
        return -1;
    }
    Uint8 r, g, b;
    SDL_GetRGB(value, image->format, &r, &g, &b);
    return SDL_MapRGB(screen->format, r, g, b);
}

std::vector<Uint32> snapshot(SDL_Surface* screen)
{
    std::vector<Uint32> pixels;
    for (int y = 0; y < screen->h; ++y) {
        for (int x = 0; x < screen->w; ++x) {
            pixels.push_back(pixel_at(screen, x, y));
        }
    }
    return pixels;
}

class DrawTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = enter_scratch_dir();
        ASSERT_TRUE(start_display(error_, sizeof error_) && load_skin(&skin_, &layout_, error_, sizeof error_) &&
                    open_list_font(&font_, error_, sizeof error_) &&
                    show_player_window(&skin_, &layout_, &ui_, font_, BLACK, error_, sizeof error_))
            << error_;
    }
    void TearDown() override
    {
        close_list_font(font_);
        free_skin(&skin_);
        stop_display();
        leave_scratch_dir(dir_);
    }

    SDL_Surface* screen() { return skin_.slots[SLOT_SCREEN]; }

    bool frame()
    {
        bool drawn = draw_frame(&skin_, &layout_, &ui_, font_, BLACK, error_, sizeof error_);
        ui_.clicked = 0;
        return drawn;
    }

    void enter_browser()
    {
        ui_.view = VIEW_BROWSER;
        ui_.hover_button = HOVER_OPEN;
        ui_.clicked = 1;
        ASSERT_TRUE(frame()) << error_;
    }

    // Whether the screen shows image's visible pixels at (x0, y0) and,
    // where it is see-through, the image under_key drawn at (0, 0) (-1: any),
    // left of window column right_end.
    ::testing::AssertionResult shows(int slot, int x0, int y0, int under_key = -1, int right_end = 10000)
    {
        SDL_Surface* image = skin_.slots[slot];
        for (int y = 0; y < image->h; ++y) {
            for (int x = 0; x < image->w; ++x) {
                int wx = x0 + x;
                int wy = y0 + y;
                if (wx >= screen()->w || wx >= right_end || wy >= screen()->h) {
                    continue;
                }
                long long want = in_screen_format(image, x, y, screen());
                if (want < 0 && under_key < 0) {
                    continue;
                }
                if (want < 0) {
                    want = in_screen_format(skin_.slots[under_key], wx, wy, screen());
                }
                if (pixel_at(screen(), wx, wy) != want) {
                    return ::testing::AssertionFailure() << "slot " << slot << " differs at " << wx << "," << wy;
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Whether the screen shows the player background, and nothing over it,
    // in the given rectangle.
    ::testing::AssertionResult shows_background(int x0, int y0, int width, int height)
    {
        for (int y = y0; y < y0 + height; ++y) {
            for (int x = x0; x < x0 + width; ++x) {
                if (pixel_at(screen(), x, y) != in_screen_format(skin_.slots[SLOT_DRUMBLE_BG], x, y, screen())) {
                    return ::testing::AssertionFailure() << "drawn over at " << x << "," << y;
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    std::string dir_;
    SkinSet skin_ = {};
    Layout layout_ = {};
    UiState ui_ = {};
    TTF_Font* font_ = nullptr;
    char error_[ERROR_TEXT_SIZE] = "";
};

// ---- buttons ---------------------------------------------------------------

struct ButtonCase {
    const char* name;
    uint8_t hover;
    uint8_t transport;
    bool play, pause, stop, open; // lit
};

void PrintTo(const ButtonCase& c, std::ostream* out)
{
    *out << c.name;
}

class ButtonsTest : public DrawTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ButtonsTest, LightHoverAndTransport)
{
    const ButtonCase& c = GetParam();
    struct {
        bool lit;
        int lit_slot, plain_slot, pos;
    } buttons[] = {{c.play, SLOT_PLAY_EN, SLOT_PLAY, PLAY_POS},
                   {c.pause, SLOT_PAUSE_EN, SLOT_PAUSE, PAUSE_POS},
                   {c.stop, SLOT_STOP_EN, SLOT_STOP, STOP_POS},
                   {c.open, SLOT_OPEN_EN, SLOT_OPEN, OPEN_POS}};
    // Unlit buttons are the background's own art. Paint it over in a colour
    // no button image holds, so that an image drawn where none belongs shows.
    SDL_Surface* bg = skin_.slots[SLOT_DRUMBLE_BG];
    for (const auto& b : buttons) {
        SDL_Surface* plain = skin_.slots[b.plain_slot];
        SDL_Rect place = {layout_.positions[b.pos].x, layout_.positions[b.pos].y, static_cast<Uint16>(plain->w),
                          static_cast<Uint16>(plain->h)};
        SDL_FillRect(bg, &place, SDL_MapRGB(bg->format, 0, 255, 0));
    }
    ui_.hover_button = c.hover;
    ui_.transport = c.transport;
    ASSERT_TRUE(frame()) << error_;
    for (const auto& b : buttons) {
        int x = layout_.positions[b.pos].x;
        int y = layout_.positions[b.pos].y;
        if (b.lit) {
            EXPECT_TRUE(shows(b.lit_slot, x, y, SLOT_DRUMBLE_BG));
        } else {
            EXPECT_TRUE(shows_background(x, y, skin_.slots[b.plain_slot]->w, skin_.slots[b.plain_slot]->h));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ButtonsTest,
    ::testing::Values(ButtonCase{"idle", HOVER_NONE, TRANSPORT_STOPPED, false, false, false, false},
                      ButtonCase{"hover_play", HOVER_PLAY, TRANSPORT_STOPPED, true, false, false, false},
                      ButtonCase{"hover_pause", HOVER_PAUSE, TRANSPORT_STOPPED, false, true, false, false},
                      ButtonCase{"hover_stop", HOVER_STOP, TRANSPORT_STOPPED, false, false, true, false},
                      ButtonCase{"hover_open", HOVER_OPEN, TRANSPORT_STOPPED, false, false, false, true},
                      ButtonCase{"playing", HOVER_NONE, TRANSPORT_PLAYING, true, false, false, false},
                      ButtonCase{"paused", HOVER_NONE, TRANSPORT_PAUSED, true, true, false, false},
                      ButtonCase{"paused_on_stop", HOVER_STOP, TRANSPORT_PAUSED, true, true, true, false},
                      ButtonCase{"playing_on_open", HOVER_OPEN, TRANSPORT_PLAYING, true, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DrawTest, KeyColourIsSeeThroughOnlyInButtons)
{
    // Paint the key colour into the player background where the lit play
    // button has a see-through corner.
    SDL_Surface* bg = skin_.slots[SLOT_DRUMBLE_BG];
    Uint32 bg_key = SDL_MapRGB(bg->format, KEY_RED, KEY_GREEN, KEY_BLUE);
    SDL_Rect spot = {PLAY_AT.x, PLAY_AT.y, 1, 1};
    SDL_FillRect(bg, &spot, bg_key);
    ASSERT_EQ(in_screen_format(skin_.slots[SLOT_PLAY_EN], 0, 0, screen()), -1);

    ui_.hover_button = HOVER_PLAY;
    ASSERT_TRUE(frame());
    EXPECT_EQ(pixel_at(screen(), PLAY_AT.x, PLAY_AT.y), SDL_MapRGB(screen()->format, KEY_RED, KEY_GREEN, KEY_BLUE));
}

// ---- views -----------------------------------------------------------------

std::string caption()
{
    char* title = nullptr;
    char* icon = nullptr;
    SDL_WM_GetCaption(&title, &icon);
    return title != nullptr ? title : "";
}

TEST_F(DrawTest, ViewSwitchesRecreateTheWindow)
{
    EXPECT_EQ(screen(), SDL_GetVideoSurface());
    EXPECT_EQ(screen()->w, PLAYER_WIDTH);
    EXPECT_EQ(screen()->h, WINDOW_HEIGHT);
    EXPECT_EQ(screen()->format->BitsPerPixel, WINDOW_DEPTH);
    EXPECT_EQ(caption(), PLAYER_CAPTION);

    enter_browser();
    EXPECT_EQ(screen(), SDL_GetVideoSurface());
    EXPECT_EQ(screen()->w, BROWSER_WIDTH);
    EXPECT_EQ(screen()->h, WINDOW_HEIGHT);
    EXPECT_EQ(screen()->format->BitsPerPixel, WINDOW_DEPTH);
    EXPECT_EQ(caption(), BROWSER_CAPTION);
    // Both backgrounds (the back button over the browser's), the seam
    // between them black, open lit, back lit while hovered.
    EXPECT_TRUE(shows(SLOT_BROWSER_BG, BROWSER_BG_AT.x, BROWSER_BG_AT.y, -1, BACK_AT.x));
    EXPECT_TRUE(shows(SLOT_OPEN_EN, OPEN_AT.x, OPEN_AT.y, SLOT_DRUMBLE_BG));
    for (int y = 0; y < WINDOW_HEIGHT; ++y) {
        ASSERT_EQ(pixel_at(screen(), PLAYER_WIDTH, y), 0u) << y;
    }
    EXPECT_TRUE(shows(SLOT_BACK, BACK_AT.x, BACK_AT.y));
    ui_.hover_back = BACK_HOVERED;
    ASSERT_TRUE(frame());
    EXPECT_TRUE(shows(SLOT_BACK_EN, BACK_AT.x, BACK_AT.y));

    // A click elsewhere in the browser, or with nothing hovered, keeps it.
    ui_.hover_button = HOVER_STOP;
    ui_.clicked = 1;
    ASSERT_TRUE(frame());
    EXPECT_EQ(screen()->w, BROWSER_WIDTH);
    ui_.view = VIEW_PLAYER;
    ui_.hover_back = BACK_NOT_HOVERED;
    ui_.clicked = 1;
    ASSERT_TRUE(frame());
    EXPECT_EQ(screen()->w, BROWSER_WIDTH);
    EXPECT_EQ(caption(), BROWSER_CAPTION);

    // The back button takes it back.
    ui_.hover_back = BACK_HOVERED;
    ui_.hover_button = HOVER_NONE;
    ui_.clicked = 1;
    ASSERT_TRUE(frame());
    EXPECT_EQ(screen(), SDL_GetVideoSurface());
    EXPECT_EQ(screen()->w, PLAYER_WIDTH);
    EXPECT_EQ(caption(), PLAYER_CAPTION);
}

TEST_F(DrawTest, WindowThatCannotBeCreatedIsReported)
{
    // Bring video back up on a driver that does not exist.
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    std::string saved = driver != nullptr ? driver : "";
    setenv("SDL_VIDEODRIVER", "no-such-driver", 1);
    ui_.view = VIEW_BROWSER;
    ui_.hover_button = HOVER_OPEN;
    ui_.clicked = 1;
    bool drawn = frame();
    setenv("SDL_VIDEODRIVER", saved.c_str(), 1);
    EXPECT_FALSE(drawn);
    std::string expected = "cannot create the " + std::to_string(BROWSER_WIDTH) + " x " + std::to_string(WINDOW_HEIGHT);
    EXPECT_NE(std::string(error_).find(expected + " window"), std::string::npos) << error_;
    EXPECT_EQ(screen(), nullptr);
    // Later frames and presentation do not touch the missing screen.
    EXPECT_FALSE(frame());
    flip_screen(&skin_);
}

// ---- song list ---------------------------------------------------------------

class SongListTest : public DrawTest {
  protected:
    void SetUp() override
    {
        DrawTest::SetUp();
        ui_.view = VIEW_BROWSER;
        ui_.hover_button = HOVER_OPEN;
        ui_.clicked = 1;
        ASSERT_TRUE(switch_view(&skin_, &layout_, &ui_, font_, BLACK, error_, sizeof error_));
        ui_.clicked = 0;
        white_ = SDL_MapRGB(screen()->format, 255, 255, 255);
    }

    // Draws the list from content (or from no file) onto a white screen, in
    // the player's font unless told otherwise.
    std::vector<Uint32> draw_list(const std::string* content, TTF_Font* font = nullptr)
    {
        if (content != nullptr) {
            write_file(LIST_FILE_PATH, *content);
        }
        SDL_FillRect(screen(), nullptr, white_);
        ui_.song_count = -1;
        draw_song_list(&skin_, &layout_, &ui_, font != nullptr ? font : font_, BLACK);
        EXPECT_EQ(layout_.positions[LIST_POS].x, LIST_HOME.x);
        EXPECT_EQ(layout_.positions[LIST_POS].y, LIST_HOME.y);
        return snapshot(screen());
    }
    std::vector<Uint32> draw_list(const std::string& content, TTF_Font* font = nullptr)
    {
        return draw_list(&content, font);
    }

    // What the screen looks like with these texts drawn where the list puts
    // its first entries.
    std::vector<Uint32> draw_expected(const std::vector<std::pair<std::string, bool>>& entries)
    {
        SDL_FillRect(screen(), nullptr, white_);
        Sint16 y = LIST_HOME.y;
        for (const auto& [text, utf8] : entries) {
            SDL_Surface* rendered = utf8 ? TTF_RenderUTF8_Blended(font_, text.c_str(), BLACK)
                                         : TTF_RenderText_Blended(font_, text.c_str(), BLACK);
            SDL_Rect at = {LIST_HOME.x, y, 0, 0};
            SDL_UpperBlit(rendered, nullptr, screen(), &at);
            SDL_FreeSurface(rendered);
            y += LIST_ROW_HEIGHT;
        }
        return snapshot(screen());
    }

    bool inked(const std::vector<Uint32>& pixels, int x0, int y0, int width, int height)
    {
        for (int y = y0; y < y0 + height; ++y) {
            for (int x = x0; x < x0 + width && x < screen()->w; ++x) {
                if (pixels[y * screen()->w + x] != white_) {
                    return true;
                }
            }
        }
        return false;
    }

    Uint32 white_ = 0;
};

TEST_F(SongListTest, CountsPiecesOfAtMostNineteenBytes)
{
    struct Case {
        std::string content;
        int count;
    };
    std::string many;
    for (int i = 0; i < 300; ++i) {
        many += "song " + std::to_string(i) + ".mp3\n";
    }
    const Case cases[] = {
        {"", 0},
        {std::string(18, 'n') + "\n", 1},
        {std::string(19, 'n') + "\n", 2},
        {std::string(25, 'n') + "\n", 2},
        {std::string(38, 'n') + "\n", 3},
        {"a\nb\nc", 3},
        {"\n\n", 2},
        // Counting stops after the fifth column, the last the window shows.
        {many, 45},
    };
    for (const Case& c : cases) {
        draw_list(c.content);
        EXPECT_EQ(ui_.song_count, c.count) << c.content.size() << " bytes";
    }
}

TEST_F(SongListTest, NoReadableListIsAnEmptyList)
{
    std::vector<Uint32> blank = draw_expected({});
    EXPECT_EQ(draw_list(nullptr), blank); // no file
    EXPECT_EQ(ui_.song_count, 0);
    std::filesystem::create_directory(LIST_FILE_PATH); // not a file
    EXPECT_EQ(draw_list(nullptr), blank);
    EXPECT_EQ(ui_.song_count, 0);
    write_file("outside.txt", "a.mp3\n");
    for (Planted what : {Planted::LINK_TO_OUTSIDE, Planted::LINK_TO_DEV_ZERO, Planted::FIFO}) {
        SCOPED_TRACE(planted_name(what));
        plant(LIST_FILE_PATH, what, "outside.txt");
        EXPECT_EQ(within_seconds(30, [&] { return draw_list(nullptr); }), blank);
        EXPECT_EQ(ui_.song_count, 0);
    }
}

TEST_F(SongListTest, FillsColumnsOfNine)
{
    std::vector<Uint32> pixels = draw_list("a\nb\nc\nd\ne\nf\ng\nh\ni\nj\n");
    EXPECT_EQ(ui_.song_count, 10);
    const int second_column = LIST_HOME.x + LIST_COLUMN_WIDTH;
    const int third_column = second_column + LIST_COLUMN_WIDTH;
    const int third_row = LIST_HOME.y + 2 * LIST_ROW_HEIGHT;
    for (int row = 0; row < LIST_ROWS; ++row) {
        EXPECT_TRUE(inked(pixels, LIST_HOME.x, LIST_HOME.y + LIST_ROW_HEIGHT * row, LIST_COLUMN_WIDTH, LIST_ROW_HEIGHT))
            << "row " << row;
    }
    EXPECT_TRUE(inked(pixels, second_column, LIST_HOME.y, LIST_COLUMN_WIDTH, LIST_ROW_HEIGHT));
    EXPECT_FALSE(inked(pixels, second_column, third_row, LIST_COLUMN_WIDTH, WINDOW_HEIGHT - third_row));
    EXPECT_FALSE(inked(pixels, third_column, 0, BROWSER_WIDTH - third_column, WINDOW_HEIGHT));
    EXPECT_FALSE(inked(pixels, 0, 0, LIST_HOME.x, WINDOW_HEIGHT));
}

TEST_F(SongListTest, NewlinesAreNotDrawn)
{
    std::vector<Uint32> blank = draw_expected({});
    EXPECT_EQ(draw_list("\n\n\n"), blank);
    EXPECT_EQ(ui_.song_count, 3);

    std::string name(19, 'x');
    EXPECT_EQ(draw_list(name + "\n"), draw_expected({{name, true}}));
    EXPECT_EQ(ui_.song_count, 2);
    EXPECT_EQ(draw_list("ab c\n"), draw_expected({{"ab c", true}}));
}

TEST_F(SongListTest, ReadsUtf8AndFallsBackToLatin1)
{
    const std::string utf8_name = "D\xC3\xA9j\xC3\xA0 vu";
    const std::string latin1_name = "caf\xE9 cr\xE8me";
    std::vector<Uint32> as_utf8 = draw_expected({{utf8_name, true}});
    ASSERT_NE(as_utf8, draw_expected({{utf8_name, false}}));
    EXPECT_EQ(draw_list(utf8_name + "\n"), as_utf8);
    EXPECT_EQ(draw_list(latin1_name + "\n"), draw_expected({{latin1_name, false}}));
    // Overlong and surrogate forms are not UTF-8.
    EXPECT_EQ(draw_list("a\xC0\xAF\n"), draw_expected({{"a\xC0\xAF", false}}));
    EXPECT_EQ(draw_list("a\xED\xA0\x80\n"), draw_expected({{"a\xED\xA0\x80", false}}));
}

TEST_F(SongListTest, CharacterCutBetweenPiecesIsDrawnWhole)
{
    const std::string head(18, 'a');
    // UTF-8: the two bytes of the e acute fall into two pieces.
    EXPECT_EQ(draw_list(head + "\xC3\xA9tude\n"), draw_expected({{head, true}, {"\xC3\xA9tude", true}}));
    EXPECT_EQ(ui_.song_count, 2);
    // Latin-1 whose 19th byte could start a UTF-8 sequence.
    EXPECT_EQ(draw_list(head + "\xE9t\n"), draw_expected({{head, true}, {"\xE9t", false}}));
    EXPECT_EQ(ui_.song_count, 2);
    // A sequence cut off by the end of its line is not UTF-8.
    EXPECT_EQ(draw_list("ab\xE2\x82\n"), draw_expected({{"ab\xE2\x82", false}}));
}

TEST_F(SongListTest, LongListsNeverWrapBackIntoTheWindow)
{
    // Five columns reach into the window; everything after them lies wholly
    // outside it, however long the list.
    std::string visible;
    std::string all;
    for (int i = 0; i < 7500; ++i) {
        std::string line = std::to_string(i) + "\n";
        all += line;
        if (i < 5 * LIST_ROWS) {
            visible += line;
        }
    }
    std::vector<Uint32> expected = draw_list(visible);
    EXPECT_EQ(draw_list(all), expected);
    EXPECT_EQ(ui_.song_count, 45);
}

TEST_F(SongListTest, CountingStopsWhereNoPickCanTellTheDifference)
{
    // Around the places where the count may stop: past the grid's highest
    // index (27) and past the window's last entry (45). Lines of 19 bytes
    // and more count as two entries and more.
    struct Case {
        const char* what;
        std::string content;
        long long entries; // the count without any stop
    };
    auto lines = [](int count, int length) {
        std::string out;
        for (int i = 0; i < count; ++i) {
            out += std::string(length, 'a' + i % 26) + "\n";
        }
        return out;
    };
    const Case cases[] = {
        {"27 entries", lines(27, 5), 27},  {"28 entries", lines(28, 5), 28},
        {"44 entries", lines(44, 5), 44},  {"46 entries", lines(46, 5), 46},
        {"long names", lines(30, 40), 90}, {"one endless line", std::string(100000, 'x'), 100000 / 19 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        draw_list(c.content);
        for (int index = 0; index <= LIST_INDEX_MAX; ++index) {
            // What the guard of picking asks.
            EXPECT_EQ(index > ui_.song_count, index > c.entries) << "index " << index;
        }
    }
    // A list of 64 GB (sparse: zeros after the first line) that the drawing
    // may not read through.
    write_file(LIST_FILE_PATH, "a.mp3\n");
    std::filesystem::resize_file(LIST_FILE_PATH, 64ULL << 30);
    within_seconds(60, [&] { draw_list(nullptr); });
    EXPECT_GT(ui_.song_count, LIST_INDEX_MAX);
}

// The code points of a UTF-8 text.
std::vector<Uint32> code_points(const std::string& text)
{
    std::vector<Uint32> points;
    for (size_t at = 0; at < text.size();) {
        auto lead = static_cast<unsigned char>(text[at]);
        int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        Uint32 point = length == 1 ? lead : lead & (0x7F >> length);
        for (int i = 1; i < length; ++i) {
            point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        }
        points.push_back(point);
        at += length;
    }
    return points;
}

// The list font is Quicksand Light with other scripts added: names in each
// of them are drawn in glyphs of their own, and Latin names look exactly as
// they do in Quicksand Light itself.
TEST_F(SongListTest, NamesInEveryScriptHaveGlyphsAndLatinLooksAsBefore)
{
    struct Name {
        const char* script;
        std::string text;
        bool latin;
    };
    const Name names[] = {
        {"English", "Blue Monday.mp3", true},
        {"accented Latin", "Bj\u00F6rk - J\u00F3ga", true},
        {"Latin Extended", "Dvo\u0159\u00E1k \u0141\u00F3d\u017A", true},
        {"Vietnamese", "S\u01A1n T\u00F9ng - L\u1EA1c tr\u00F4i", true},
        {"Greek", "\u039C\u03AF\u03BA\u03B7\u03C2 \u0398\u03B5\u03BF\u03B4\u03C9\u03C1\u03AC\u03BA\u03B7\u03C2", false},
        {"Cyrillic", "\u041A\u0438\u043D\u043E - \u0417\u0432\u0435\u0437\u0434\u0430", false},
        {"simplified Chinese", "\u5468\u6770\u4F26 \u6674\u5929", false},
        {"traditional Chinese", "\u9127\u9E97\u541B \u6708\u4EAE", false},
        {"Japanese kanji and kana", "\u690E\u540D\u6797\u6A8E \u4E38\u306E\u5185", false},
        {"Japanese punctuation", "\u300C\u30D2\u30AB\u30EB\u300D\uFF01", false},
        {"Korean", "\uC544\uC774\uC720 \uC88B\uC740 \uB0A0", false},
    };

    // Quicksand Light draws every character it lacks as its missing-glyph
    // box, which the list font keeps as its own.
    TTF_Font* quicksand = TTF_OpenFont("/usr/share/fonts/truetype/quicksand/Quicksand-Light.ttf", FONT_POINT_SIZE);
    ASSERT_NE(quicksand, nullptr) << "Quicksand Light, from fonts-quicksand, is missing";
    for (const Name& name : names) {
        for (Uint32 point : code_points(name.text)) {
            ASSERT_LE(point, 0xFFFFu);
            EXPECT_TRUE(TTF_GlyphIsProvided(font_, static_cast<Uint16>(point)))
                << name.script << ": no glyph for U+" << std::hex << point;
        }
        std::vector<Uint32> drawn = draw_list(name.text + "\n");
        std::vector<Uint32> in_quicksand = draw_list(name.text + "\n", quicksand);
        if (name.latin) {
            EXPECT_EQ(drawn, in_quicksand) << name.script << " looks different";
        } else {
            EXPECT_NE(drawn, in_quicksand) << name.script << " is drawn as boxes";
        }
    }
    TTF_CloseFont(quicksand);
}

} // namespace
