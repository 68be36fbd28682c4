// MPRIS 2 over sd-bus: the root and Player interfaces of one object, served
// in the frame loop. A call presses a button through the transport, so the
// buttons' rules hold for it (stop is ignored while paused, play does
// nothing while playing, play needs a chosen song).
#include "app/media_controls.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "playback/transport.h"

namespace {

constexpr char BUS_NAME[] = "org.mpris.MediaPlayer2.klamor";
// A second player on the same bus takes BUS_NAME followed by this and its
// process id, as MPRIS asks.
constexpr char INSTANCE_SUFFIX[] = ".instance";
constexpr int BUS_NAME_SIZE = 64;
// RequestName's answer when the name is another's and we did not queue.
constexpr uint32_t NAME_TAKEN_BY_ANOTHER = 3;
constexpr char OBJECT_PATH[] = "/org/mpris/MediaPlayer2";
constexpr char ROOT_INTERFACE[] = "org.mpris.MediaPlayer2";
constexpr char PLAYER_INTERFACE[] = "org.mpris.MediaPlayer2.Player";
constexpr char IDENTITY[] = "Klamor";
// The menu entry's name, klamor.desktop, without ".desktop".
constexpr char DESKTOP_ENTRY[] = "klamor";
// What libdbus takes for "there is no session bus"; it fails at once
// instead of autolaunching one.
constexpr char NO_BUS_ADDRESS[] = "disabled:";
// Track ids live under the player's own path; MPRIS keeps /org/mpris.
constexpr char TRACK_ID_FORMAT[] = "/klamor/track/%016llx";
// FNV-1a, 64 bits: the same song always gets the same track id.
constexpr unsigned long long FNV_OFFSET_BASIS = 14695981039346656037ULL;
constexpr unsigned long long FNV_PRIME = 1099511628211ULL;
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
// How long the bus has to take the connection and answer its Hello before
// SDL starts. A bus answers within a millisecond, a busy one within tens;
// one that is stopped or hung never does, and SDL's own connection would
// wait for it with no end and no window. A bound this short still leaves
// the window within a second of the start.
constexpr uint64_t BUS_ANSWER_TIMEOUT_US = 300'000;
constexpr uint64_t NS_PER_US = 1'000;
constexpr uint64_t US_PER_S = 1'000'000;
// Bus messages served in one frame. A key press and the property read a
// panel makes after it fit in one frame; a flood of calls gives the window
// its turn after every few. With four, a click during a flood of 10,000
// calls was answered in 90 ms and the flood served in about half a second;
// a press that starts a song costs the frame a few milliseconds of decoding.
constexpr int MESSAGES_PER_FRAME = 4;

// Where libdbus looks for the session's bus when not told: the address in
// the environment, else $XDG_RUNTIME_DIR/bus when it is a socket of this
// user's. Without either it would autolaunch a bus.
bool session_bus_named()
{
    const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') {
        return true;
    }
    // libdbus reads an empty address as none; sd-bus would try to use it.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] == '\0') {
        return false;
    }
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/bus", runtime) >= static_cast<int>(sizeof path)) {
        return false;
    }
    struct stat info;
    return stat(path, &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == getuid();
}

uint64_t monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * US_PER_S + static_cast<uint64_t>(now.tv_nsec) / NS_PER_US;
}

// Whether the bus took the connection and answered its Hello in time.
bool bus_answers(sd_bus* bus)
{
    uint64_t deadline = monotonic_us() + BUS_ANSWER_TIMEOUT_US;
    for (;;) {
        int ready = sd_bus_is_ready(bus);
        if (ready != 0) {
            return ready > 0;
        }
        int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            return false;
        }
        if (processed > 0) {
            continue;
        }
        uint64_t now = monotonic_us();
        if (now >= deadline || sd_bus_wait(bus, deadline - now) < 0) {
            return false;
        }
    }
}

// The bus's answer to a request for the player's name: when another player
// holds it, this one asks for its own instance's name.
int on_name_answer(sd_bus_message* answer, void*, sd_bus_error*)
{
    uint32_t result = 0;
    if (sd_bus_message_is_method_error(answer, nullptr) || sd_bus_message_read(answer, "u", &result) < 0 ||
        result != NAME_TAKEN_BY_ANOTHER) {
        return 0;
    }
    char name[BUS_NAME_SIZE];
    std::snprintf(name, sizeof name, "%s%s%ld", BUS_NAME, INSTANCE_SUFFIX, static_cast<long>(getpid()));
    sd_bus_request_name_async(sd_bus_message_get_bus(answer), nullptr, name, 0, nullptr, nullptr);
    return 0;
}

// Asked without waiting, so that a bus that does not answer cannot hold the
// start-up: the answer is handled by whichever frame it wakes.
bool ask_for_bus_name(sd_bus* bus)
{
    return sd_bus_request_name_async(bus, nullptr, BUS_NAME, 0, on_name_answer, nullptr) >= 0;
}

// The song the bus speaks of: while playing or paused the one that started,
// otherwise the one chosen, which play would start.
const SongPath* current_song(const MediaControls* media)
{
    return media->ui->transport == TRANSPORT_STOPPED ? media->song : &media->started;
}

bool stays_in_url(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("-._~/", c);
}

// The file's real place as a file URL, or an empty string when it has none
// (the file went away).
void file_url(const char* path, char* out)
{
    char real[PATH_MAX];
    if (realpath(path, real) == nullptr) {
        out[0] = '\0';
        return;
    }
    out += std::snprintf(out, URL_SIZE, "%s", FILE_URL_PREFIX);
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(real); *c != 0; ++c) {
        if (stays_in_url(*c)) {
            *out++ = static_cast<char>(*c);
        } else {
            *out++ = '%';
            *out++ = HEX_DIGITS[*c >> 4];
            *out++ = HEX_DIGITS[*c & 0xF];
        }
    }
    *out = '\0';
}

void describe_song(MediaControls* media, const SongPath* song)
{
    unsigned long long hash = FNV_OFFSET_BASIS;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(song->text); *c != 0; ++c) {
        hash = (hash ^ *c) * FNV_PRIME;
    }
    std::snprintf(media->track_id, sizeof media->track_id, TRACK_ID_FORMAT, hash);
    // The bus refuses a string that is not UTF-8, and a file name may be in
    // any encoding.
    copy_as_utf8(song->text + MUSIC_PREFIX_LENGTH, media->title, sizeof media->title);
    file_url(song->text, media->url);
}

const char* playback_status(uint8_t transport)
{
    switch (transport) {
    case TRANSPORT_PLAYING:
        return "Playing";
    case TRANSPORT_PAUSED:
        return "Paused";
    default:
        return "Stopped";
    }
}

MediaControls* controls(void* userdata)
{
    return static_cast<MediaControls*>(userdata);
}

int press(sd_bus_message* call, void* userdata, uint8_t button)
{
    MediaControls* media = controls(userdata);
    uint8_t before = media->ui->transport;
    press_transport_button(media->ui, media->audio, media->song, button);
    if (before == TRANSPORT_STOPPED && media->ui->transport != TRANSPORT_STOPPED) {
        media->started = *media->song;
    }
    return sd_bus_reply_method_return(call, "");
}

int on_play(sd_bus_message* call, void* userdata, sd_bus_error*)
{
    return press(call, userdata, HOVER_PLAY);
}

int on_pause(sd_bus_message* call, void* userdata, sd_bus_error*)
{
    return press(call, userdata, HOVER_PAUSE);
}

int on_stop(sd_bus_message* call, void* userdata, sd_bus_error*)
{
    return press(call, userdata, HOVER_STOP);
}

int on_play_pause(sd_bus_message* call, void* userdata, sd_bus_error*)
{
    bool playing = controls(userdata)->ui->transport == TRANSPORT_PLAYING;
    return press(call, userdata, playing ? HOVER_PAUSE : HOVER_PLAY);
}

// Raise, Quit, Next, Previous, Seek and SetPosition: the Can* properties say
// the player does none of them, and MPRIS has such calls do nothing.
int on_unsupported(sd_bus_message* call, void*, sd_bus_error*)
{
    return sd_bus_reply_method_return(call, "");
}

int on_open_uri(sd_bus_message*, void*, sd_bus_error* error)
{
    return sd_bus_error_set_const(error, SD_BUS_ERROR_NOT_SUPPORTED, "Klamor plays only from its music folder");
}

int get_true(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "b", 1);
}

int get_false(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "b", 0);
}

int get_identity(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", IDENTITY);
}

int get_desktop_entry(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", DESKTOP_ENTRY);
}

int get_no_strings(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "as", 0);
}

// Rate, its bounds and Volume: the player plays at one speed and volume.
int get_one(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "d", 1.0);
}

// The player does not follow its position in a song.
int get_position(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "x", static_cast<int64_t>(0));
}

int get_playback_status(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                        sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", playback_status(controls(userdata)->ui->transport));
}

int get_metadata(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    MediaControls* media = controls(userdata);
    const SongPath* song = current_song(media);
    int result = sd_bus_message_open_container(reply, 'a', "{sv}");
    if (result >= 0 && song_chosen(song)) {
        describe_song(media, song);
        result = sd_bus_message_append(reply, "{sv}{sv}", "mpris:trackid", "o", media->track_id, "xesam:title", "s",
                                       media->title);
        if (result >= 0 && media->url[0] != '\0') {
            result = sd_bus_message_append(reply, "{sv}", "xesam:url", "s", media->url);
        }
    }
    return result < 0 ? result : sd_bus_message_close_container(reply);
}

constexpr uint64_t CONSTANT = SD_BUS_VTABLE_PROPERTY_CONST;
constexpr uint64_t CHANGES = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;

const sd_bus_vtable ROOT_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Raise", "", "", on_unsupported, 0),
    SD_BUS_METHOD("Quit", "", "", on_unsupported, 0),
    SD_BUS_PROPERTY("CanQuit", "b", get_false, 0, CONSTANT),
    SD_BUS_PROPERTY("CanRaise", "b", get_false, 0, CONSTANT),
    SD_BUS_PROPERTY("HasTrackList", "b", get_false, 0, CONSTANT),
    SD_BUS_PROPERTY("Identity", "s", get_identity, 0, CONSTANT),
    SD_BUS_PROPERTY("DesktopEntry", "s", get_desktop_entry, 0, CONSTANT),
    SD_BUS_PROPERTY("SupportedUriSchemes", "as", get_no_strings, 0, CONSTANT),
    SD_BUS_PROPERTY("SupportedMimeTypes", "as", get_no_strings, 0, CONSTANT),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable PLAYER_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Next", "", "", on_unsupported, 0),
    SD_BUS_METHOD("Previous", "", "", on_unsupported, 0),
    SD_BUS_METHOD("Pause", "", "", on_pause, 0),
    SD_BUS_METHOD("PlayPause", "", "", on_play_pause, 0),
    SD_BUS_METHOD("Stop", "", "", on_stop, 0),
    SD_BUS_METHOD("Play", "", "", on_play, 0),
    SD_BUS_METHOD("Seek", "x", "", on_unsupported, 0),
    SD_BUS_METHOD("SetPosition", "ox", "", on_unsupported, 0),
    SD_BUS_METHOD("OpenUri", "s", "", on_open_uri, 0),
    SD_BUS_SIGNAL("Seeked", "x", 0),
    SD_BUS_PROPERTY("PlaybackStatus", "s", get_playback_status, 0, CHANGES),
    SD_BUS_PROPERTY("Metadata", "a{sv}", get_metadata, 0, CHANGES),
    SD_BUS_PROPERTY("Rate", "d", get_one, 0, CONSTANT),
    SD_BUS_PROPERTY("MinimumRate", "d", get_one, 0, CONSTANT),
    SD_BUS_PROPERTY("MaximumRate", "d", get_one, 0, CONSTANT),
    SD_BUS_PROPERTY("Volume", "d", get_one, 0, CONSTANT),
    // Changes all the time, so MPRIS has it read, never signalled.
    SD_BUS_PROPERTY("Position", "x", get_position, 0, 0),
    SD_BUS_PROPERTY("CanGoNext", "b", get_false, 0, CONSTANT),
    SD_BUS_PROPERTY("CanGoPrevious", "b", get_false, 0, CONSTANT),
    SD_BUS_PROPERTY("CanPlay", "b", get_true, 0, CONSTANT),
    SD_BUS_PROPERTY("CanPause", "b", get_true, 0, CONSTANT),
    SD_BUS_PROPERTY("CanSeek", "b", get_false, 0, CONSTANT),
    SD_BUS_PROPERTY("CanControl", "b", get_true, 0, CONSTANT),
    SD_BUS_VTABLE_END,
};

void attach(MediaControls* media, UiState* ui, AudioSystem* audio, const SongPath* song)
{
    media->ui = ui;
    media->audio = audio;
    media->song = song;
}

void close_bus(MediaControls* media)
{
    // Not flushed: at the end the name goes anyway, and a bus that stopped
    // reading must not hold the player.
    media->bus = sd_bus_close_unref(media->bus);
}

} // namespace

void start_media_controls(MediaControls* media)
{
    *media = MediaControls{};
    std::memcpy(media->published_song.text, MUSIC_PREFIX, MUSIC_PREFIX_LENGTH);
    // A bus that cannot be reached or does not answer is as good as none,
    // and SDL's connection to it would fare no better: SDL is told there is
    // none, and the player runs without media controls to the end.
    if (!session_bus_named()) {
        setenv("DBUS_SESSION_BUS_ADDRESS", NO_BUS_ADDRESS, 1);
        return;
    }
    if (sd_bus_open_user_with_description(&media->bus, DESKTOP_ENTRY) < 0) {
        media->bus = nullptr;
        setenv("DBUS_SESSION_BUS_ADDRESS", NO_BUS_ADDRESS, 1);
        return;
    }
    if (!bus_answers(media->bus)) {
        close_bus(media);
        setenv("DBUS_SESSION_BUS_ADDRESS", NO_BUS_ADDRESS, 1);
        return;
    }
    // The object is in place before its name shows on the bus.
    if (sd_bus_add_object_vtable(media->bus, nullptr, OBJECT_PATH, ROOT_INTERFACE, ROOT_VTABLE, media) < 0 ||
        sd_bus_add_object_vtable(media->bus, nullptr, OBJECT_PATH, PLAYER_INTERFACE, PLAYER_VTABLE, media) < 0 ||
        !ask_for_bus_name(media->bus)) {
        close_bus(media);
    }
}

BusWait media_controls_wait(const MediaControls* media)
{
    BusWait wait = {-1, 0, BUS_NO_DEADLINE};
    if (media->bus == nullptr) {
        return wait;
    }
    wait.fd = sd_bus_get_fd(media->bus);
    int events = sd_bus_get_events(media->bus);
    wait.events = static_cast<short>(events > 0 ? events : 0);
    uint64_t deadline = BUS_NO_DEADLINE;
    if (media->backlog) {
        wait.deadline = BUS_AT_ONCE;
    } else if (sd_bus_get_timeout(media->bus, &deadline) >= 0) {
        wait.deadline = deadline;
    }
    return wait;
}

void serve_media_controls(MediaControls* media, UiState* ui, AudioSystem* audio, const SongPath* song)
{
    if (media->bus == nullptr) {
        return;
    }
    // A click started this frame's song; the song has not changed since.
    if (media->transport_seen == TRANSPORT_STOPPED && ui->transport != TRANSPORT_STOPPED) {
        media->started = *song;
    }
    uint8_t before = ui->transport;
    attach(media, ui, audio, song);
    int processed = 0;
    int served = 0;
    do {
        processed = sd_bus_process(media->bus, nullptr);
    } while (processed > 0 && ++served < MESSAGES_PER_FRAME);
    // sd-bus may hold what it read already, which the socket no longer
    // shows: the next frame comes at once for it.
    media->backlog = processed > 0;
    attach(media, nullptr, nullptr, nullptr);
    // A click presents what it changed only when the pointer moves next; a
    // call from a key or the panel has no pointer to wait for.
    if (ui->transport != before) {
        ui->redraw = REDRAW_DUE;
    }
    media->transport_seen = ui->transport;
    if (processed < 0) {
        close_bus(media);
    }
}

void publish_media_controls(MediaControls* media, UiState* ui, const SongPath* song)
{
    if (media->bus == nullptr) {
        return;
    }
    attach(media, ui, nullptr, song);
    const SongPath* current = current_song(media);
    bool status_changed = ui->transport != media->published_transport;
    bool song_changed = std::strcmp(current->text, media->published_song.text) != 0;
    if (status_changed || song_changed) {
        media->published_transport = ui->transport;
        media->published_song = *current;
        // Written at once where the socket takes it; what it does not take
        // waits for the socket to drain, which wakes the frame loop.
        const char* first = status_changed ? "PlaybackStatus" : "Metadata";
        const char* second = status_changed && song_changed ? "Metadata" : nullptr;
        sd_bus_emit_properties_changed(media->bus, OBJECT_PATH, PLAYER_INTERFACE, first, second, nullptr);
    }
    attach(media, nullptr, nullptr, nullptr);
}

void stop_media_controls(MediaControls* media)
{
    if (media->bus != nullptr) {
        close_bus(media);
    }
}
