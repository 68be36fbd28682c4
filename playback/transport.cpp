// Play, pause and stop presses turned into calls to the audio engine.
#include "playback/transport.h"

namespace {

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
    if (ui->transport == TRANSPORT_PLAYING && audio_paused(audio)) {
        // The engine paused by itself: the sound server went away or stalled.
        // The buttons show it, and play resumes where the listener was.
        ui->transport = TRANSPORT_PAUSED;
        ui->redraw = REDRAW_DUE;
    }
    if (ui->clicked == 1) {
        press_transport_button(ui, audio, song, ui->hover_button);
    }
}

void press_transport_button(UiState* ui, AudioSystem* audio, const SongPath* song, uint8_t button)
{
    // One reading of the pause flag per press serves every row below.
    bool paused = audio_paused(audio);

    if (ui->transport == TRANSPORT_STOPPED && button == HOVER_PLAY) {
        // Playing is shown only when the song really started.
        if (song_chosen(song) && start_song(audio, song)) {
            ui->transport = TRANSPORT_PLAYING;
        }
    } else if (ui->transport == TRANSPORT_PLAYING && button == HOVER_PAUSE && !paused) {
        audio_set_paused(audio, true);
        ui->transport = TRANSPORT_PAUSED;
    } else if (ui->transport == TRANSPORT_PLAYING && button == HOVER_STOP && !paused) {
        audio_stop(audio);
        ui->transport = TRANSPORT_STOPPED;
    } else if (ui->transport == TRANSPORT_PAUSED && button == HOVER_PLAY) {
        // Still paused when the device would not open again.
        if (!paused || audio_set_paused(audio, false)) {
            ui->transport = TRANSPORT_PLAYING;
        }
    }
}
