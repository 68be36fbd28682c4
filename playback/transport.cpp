// Play, pause and stop clicks turned into calls to the audio engine.
#include "playback/transport.h"

#include <cstring>

namespace {

// A song is chosen when the path holds more than the music folder's prefix.
bool song_chosen(const SongPath* song)
{
    return std::strcmp(song->text, MUSIC_PREFIX) != 0;
}

// Opens the song and plays it; the engine owns the stream from then on.
bool start_song(AudioSystem* audio, const SongPath* song)
{
    AudioSound* sound = audio_create_stream(audio, song->text);
    if (sound == nullptr) {
        return false;
    }
    if (!audio_play_sound(audio, sound)) {
        audio_release_sound(audio, sound);
        return false;
    }
    return true;
}

} // namespace

void update_transport(UiState* ui, AudioSystem* audio, const SongPath* song)
{
    // One reading of the pause flag per frame serves every row below.
    AudioGroup* group = audio_master_group(audio);
    bool paused = audio_group_paused(group);
    if (ui->transport == TRANSPORT_PLAYING && paused) {
        // The engine paused by itself: the sound server went away or stalled.
        // The buttons show it, and play resumes where the listener was.
        ui->transport = TRANSPORT_PAUSED;
        ui->redraw = REDRAW_DUE;
    }
    if (ui->clicked != 1) {
        return;
    }

    if (ui->transport == TRANSPORT_STOPPED && ui->hover_button == HOVER_PLAY) {
        // Playing is shown only when the song really started.
        if (song_chosen(song) && start_song(audio, song)) {
            ui->transport = TRANSPORT_PLAYING;
        }
    } else if (ui->transport == TRANSPORT_PLAYING && ui->hover_button == HOVER_PAUSE && !paused) {
        audio_group_set_paused(group, true);
        ui->transport = TRANSPORT_PAUSED;
    } else if (ui->transport == TRANSPORT_PLAYING && ui->hover_button == HOVER_STOP && !paused) {
        audio_group_stop(group);
        ui->transport = TRANSPORT_STOPPED;
    } else if (ui->transport == TRANSPORT_PAUSED && ui->hover_button == HOVER_PLAY) {
        // Still paused when the device would not open again.
        if (!paused || audio_group_set_paused(group, false)) {
            ui->transport = TRANSPORT_PLAYING;
        }
    }
}
