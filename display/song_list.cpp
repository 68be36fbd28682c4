// Drawing the list file into the browser view, in columns of nine entries.
#include "display/song_list.h"

#include <cstdio>
#include <cstring>

#include "app/utf8.h"
#include "app/working_file.h"
#include "display/layout.h"

namespace {

// Lines are read in pieces of at most 19 bytes; a longer name is drawn as
// several entries, and every piece counts as an entry when picking.
constexpr int LIST_CHUNK_SIZE = 20;
// Bytes of a character cut off at the end of one piece that are drawn with
// the next piece instead: at most the first three of a four-byte sequence.
constexpr int UTF8_CARRY_MAX = 3;
constexpr int ENTRY_TEXT_SIZE = LIST_CHUNK_SIZE + UTF8_CARRY_MAX;

// A cursor that moves below the last row starts the next column, back up
// at the first row.
constexpr int LIST_COLUMN_RISE = (LIST_ROWS - 1) * LIST_ROW_HEIGHT;
constexpr int LIST_LAST_ROW_Y = LIST_HOME.y + LIST_COLUMN_RISE;

// Whether text is valid UTF-8 save for one character cut off at its end;
// *cut_length receives how many bytes of that character are present.
bool is_utf8_but_cut(const char* text, int length, int* cut_length)
{
    *cut_length = 0;
    int at = 0;
    while (at < length) {
        int sequence = utf8_sequence_at(text + at, length - at);
        if (sequence == 0) {
            return false;
        }
        if (sequence < 0) {
            *cut_length = -sequence;
            return true;
        }
        at += sequence;
    }
    return true;
}

bool at_end_of_file(FILE* file)
{
    int next = std::fgetc(file);
    if (next == EOF) {
        return true;
    }
    std::ungetc(next, file);
    return false;
}

void draw_entry(SkinSet* skin, Layout* layout, const char* text, bool utf8, TTF_Font* font, SDL_Color text_colour)
{
    skin->slots[SLOT_TEXT] =
        utf8 ? TTF_RenderUTF8_Blended(font, text, text_colour) : TTF_RenderText_Blended(font, text, text_colour);
    if (skin->slots[SLOT_TEXT] == nullptr) {
        return;
    }
    SDL_UpperBlit(skin->slots[SLOT_TEXT], nullptr, skin->slots[SLOT_SCREEN], &layout->positions[LIST_POS]);
    SDL_FreeSurface(skin->slots[SLOT_TEXT]);
    skin->slots[SLOT_TEXT] = nullptr;
}

// Reads the list file piece by piece, keeping a UTF-8 character cut at the
// end of one piece whole by drawing it with the next piece.
struct EntryReader {
    FILE* file;
    char carried[UTF8_CARRY_MAX];
    int carried_length;
};

// The next entry's text, without its newline and NUL-terminated, and
// whether it is to be drawn as UTF-8 rather than Latin-1. False at the end of
// the file.
bool read_entry(EntryReader* reader, char text[ENTRY_TEXT_SIZE], bool* utf8)
{
    char chunk[LIST_CHUNK_SIZE];
    if (std::fgets(chunk, sizeof chunk, reader->file) == nullptr) {
        return false;
    }
    int chunk_length = static_cast<int>(std::strlen(chunk));
    bool line_ends = chunk_length > 0 && chunk[chunk_length - 1] == '\n';
    if (line_ends) {
        // The newline ends the entry; it is no glyph.
        --chunk_length;
    }
    std::memcpy(text, reader->carried, reader->carried_length);
    std::memcpy(text + reader->carried_length, chunk, chunk_length);
    int length = reader->carried_length + chunk_length;
    reader->carried_length = 0;

    // Anything that is not UTF-8 is taken as Latin-1, and so is a name cut
    // off by the end of its line or of the file.
    int cut_length = 0;
    *utf8 = is_utf8_but_cut(text, length, &cut_length);
    if (*utf8 && cut_length > 0) {
        if (!line_ends && !at_end_of_file(reader->file)) {
            length -= cut_length;
            std::memcpy(reader->carried, text + length, cut_length);
            reader->carried_length = cut_length;
        } else {
            *utf8 = false;
        }
    }
    text[length] = '\0';
    return true;
}

// A cursor that moves below the last row starts the next column.
void advance_cursor(int* x, int* y)
{
    int row_before = *y;
    *y = row_before + LIST_ROW_HEIGHT;
    if (*y > LIST_LAST_ROW_Y) {
        *x += LIST_COLUMN_WIDTH;
        *y = row_before - LIST_COLUMN_RISE;
    }
}

} // namespace

bool open_list_font(TTF_Font** font, char* error, int error_size)
{
    *font = TTF_OpenFont(FONT_PATH, FONT_POINT_SIZE);
    if (*font == nullptr) {
        std::snprintf(error, static_cast<size_t>(error_size), "cannot load %s: %s", FONT_PATH, TTF_GetError());
        return false;
    }
    return true;
}

void close_list_font(TTF_Font* font)
{
    if (font != nullptr) {
        TTF_CloseFont(font);
    }
}

void draw_song_list(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour)
{
    ui->song_count = 0;
    SDL_Surface* screen = skin->slots[SLOT_SCREEN];
    FILE* file = open_working_file(LIST_FILE_PATH);
    if (file == nullptr || screen == nullptr) {
        // Nothing listed is nothing to pick.
        if (file != nullptr) {
            std::fclose(file);
        }
        return;
    }

    // The cursor is kept wide here so that a list of many thousand entries
    // cannot wrap it back into the window; the layout entry only ever holds
    // a place inside it.
    int x = layout->positions[LIST_POS].x;
    int y = layout->positions[LIST_POS].y;
    EntryReader reader = {file, {}, 0};
    char text[ENTRY_TEXT_SIZE];
    bool utf8 = false;
    // Once the cursor has left the window's right edge nothing more can be
    // drawn, and once the count is past every index the hit grid gives no
    // pick can tell it from the full count: the rest of the file, however
    // large, is not read.
    while (!(x >= screen->w && ui->song_count > LIST_INDEX_MAX) && read_entry(&reader, text, &utf8)) {
        if (text[0] != '\0' && x < screen->w && y < screen->h) {
            layout->positions[LIST_POS].x = static_cast<Sint16>(x);
            layout->positions[LIST_POS].y = static_cast<Sint16>(y);
            draw_entry(skin, layout, text, utf8, font, text_colour);
        }
        advance_cursor(&x, &y);
        ++ui->song_count;
    }
    std::fclose(file);
    layout->positions[LIST_POS].x = static_cast<Sint16>(LIST_HOME.x);
    layout->positions[LIST_POS].y = static_cast<Sint16>(LIST_HOME.y);
}
