// The desktop's media controls: MPRIS 2 on the session bus, through which
// media keys, the panel's player widget and playerctl press the same play,
// pause and stop buttons as the window, and read what the player does.
// Served from the frame loop on its own thread; without a session bus none
// of it runs.
#pragma once

#include <limits.h>
#include <systemd/sd-bus.h>

#include "app/state.h"
#include "app/utf8.h"
#include "app/wait.h"
#include "playback/engine.h"

// A name with every byte replaced.
constexpr int TITLE_SIZE = SONG_NAME_MAX * REPLACEMENT_LENGTH + 1;
// A real path, every byte of it escaped as %XX at worst.
constexpr char FILE_URL_PREFIX[] = "file://";
constexpr int ESCAPED_BYTE_LENGTH = 3;
constexpr int URL_SIZE = sizeof FILE_URL_PREFIX - 1 + PATH_MAX * ESCAPED_BYTE_LENGTH + 1;
constexpr int TRACK_ID_SIZE = 64;

struct MediaControls {
    sd_bus* bus; // nullptr without a session bus, or once it went away
    // The frame's records while serve or publish runs, nullptr otherwise:
    // the bus calls back into this record only from inside those two.
    UiState* ui;
    AudioSystem* audio;
    const SongPath* song;
    // The song a play started: the one playing or paused, whatever was
    // picked since (a pick waits for stop and play).
    SongPath started;
    uint8_t transport_seen; // the transport when the last serve ended
    bool backlog;           // the last serve left messages for the next
    // What the bus was last told.
    uint8_t published_transport;
    SongPath published_song;
    // Room for the strings of the last metadata read.
    char title[TITLE_SIZE];
    char url[URL_SIZE];
    char track_id[TRACK_ID_SIZE];
};

// Before SDL starts: connects to the session's bus and takes the player's
// name on it. When the session names no bus, or the bus cannot be reached or
// does not answer within a fraction of a second, says there is none to the
// environment, where libdbus (which SDL loads) would otherwise autolaunch
// one or wait for it without end; the player then runs without media
// controls, quietly.
void start_media_controls(MediaControls* media);

// What the frame loop's sleep waits for on the bus; fd -1 without one.
// While messages wait to be served, a deadline already past.
BusWait media_controls_wait(const MediaControls* media);

// Handles the calls that arrived, each a press of the button it names, a
// bounded number a frame, and has the frame present what they changed.
// Runs right after the clicks' update_transport, in every frame.
void serve_media_controls(MediaControls* media, UiState* ui, AudioSystem* audio, const SongPath* song);

// Signals the playback status and the song's metadata when either differs
// from what the bus was last told, whatever changed them. Runs once a frame,
// after picking.
void publish_media_controls(MediaControls* media, UiState* ui, const SongPath* song);

// Leaves the bus; the player's name goes with the connection.
void stop_media_controls(MediaControls* media);
