// Small movie and sound files made with ffmpeg at test time (a second or two of
// a synthetic test picture and a sine tone), returned as bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lk::test {

enum class MediaKind {
    mov,         // QuickTime, MPEG-4 video + AAC
    mp4,         // MPEG-4 (major brand mp42), MPEG-4 video + AAC
    m4a,         // MPEG-4 audio (major brand "M4A "), AAC
    three_gp,    // 3GPP, H.263 176x144 + AAC mono 8 kHz
    avi_mjpeg,   // RIFF AVI, Motion JPEG + PCM (what compact cameras record)
    wav,         // RIFF WAVE, PCM 16-bit
    mpeg1_ps,    // MPEG-1 program stream (pack headers with the '0010' marker, system header,
                 // program end code 00 00 01 B9 at the end)
    m2ts,        // MPEG-2 transport stream in 192-byte packets (4-byte stamp + 188, see to_m2ts)
    asf,         // ASF, Windows Media video 8 + audio 2
    mp3,         // MPEG-1 Layer III behind an ID3v2.4 tag (a title), ID3v1 tag at the end
    ogg_vorbis,  // Ogg, Vorbis
    ogg_opus,    // Ogg, Opus
    flac,        // FLAC, STREAMINFO with the sample count and frame sizes
};

struct MediaOptions {
    double seconds = 1.0;
    int width = 160;  // ignored for 3GP (H.263 needs 176x144) and WAV
    int height = 120;
    // Picks another test picture and tone, so two files of one kind differ.
    unsigned variant = 0;
    int sample_rate = 44100;
    // Stereo pink noise (two independent channels) instead of a tone: sound
    // that compresses badly, as real recordings do.
    bool noise = false;
    // Sound-only kinds: a second tone as a stream of its own (1 or 2).
    unsigned audio_streams = 1;
};

// The file's bytes. Throws std::runtime_error with ffmpeg's error text when it
// fails, and when the output is not laid out as the kind promises (see the
// checks in media.cpp).
std::vector<std::uint8_t> make_media(MediaKind kind, const MediaOptions& options = {});

// A bare MPEG audio stream without tags: Layer II (ffmpeg's mp2 encoder) or
// Layer III (LAME), a tone of the given length at the given sample rate.
std::vector<std::uint8_t> make_mpeg_audio(int layer, int sample_rate, double seconds = 1.0);

// The usual extension, upper case ("MOV", "MP4", "M4A", "3GP", "AVI", "WAV", "MPG", "MTS", "WMV",
// "MP3", "OGG", "OPUS", "FLAC").
const char* media_extension(MediaKind kind);
// A short identifier for test names ("mov", "three_gp", ...).
const char* media_name(MediaKind kind);
// Every kind, for tables of cases.
std::vector<MediaKind> all_media_kinds();

bool have_ffmpeg();

// A 188-byte-packet transport stream turned into 192-byte M2TS packets, each
// led by a 4-byte header (copy bits 0, 30-bit arrival time stamp on a 27 MHz
// clock, rising by one packet time at a nominal 6 Mbit/s); make_media builds
// its M2TS files with it.
std::vector<std::uint8_t> to_m2ts(std::span<const std::uint8_t> ts188);

}  // namespace lk::test

// Skips the current test when ffmpeg is missing.
#define LK_REQUIRE_FFMPEG()                                                               \
    do {                                                                                  \
        if (!::lk::test::have_ffmpeg())                                                   \
            GTEST_SKIP() << "ffmpeg not installed (scripts/setup.sh installs it); movie " \
                            "and sound files cannot be made";                             \
    } while (0)
