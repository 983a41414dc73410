#include "tests/support/media.hpp"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "base/bytes.hpp"
#include "tests/support/process.hpp"

namespace lk::test {

namespace fs = std::filesystem;

namespace {

struct Recipe {
    const char* name;
    const char* extension;
    const char* file;  // output file name; ffmpeg picks the muxer by it unless format is set
    std::vector<std::string> args;  // codecs and muxer options
    bool video;
};

Recipe recipe(MediaKind kind) {
    switch (kind) {
        case MediaKind::mov:
            return {"mov", "MOV", "out.mov", {"-c:v", "mpeg4", "-c:a", "aac"}, true};
        case MediaKind::mp4:
            // The major brand phones and cameras write ("isom", ffmpeg's own
            // choice, names no file kind and leaves a carved file "MOV").
            return {"mp4", "MP4", "out.mp4", {"-c:v", "mpeg4", "-c:a", "aac", "-brand", "mp42"}, true};
        case MediaKind::m4a:
            return {"m4a", "M4A", "out.m4a", {"-c:a", "aac", "-f", "ipod"}, false};
        case MediaKind::three_gp:
            return {"three_gp",
                    "3GP",
                    "out.3gp",
                    {"-s", "176x144", "-c:v", "h263", "-c:a", "aac", "-ar", "8000", "-ac", "1"},
                    true};
        case MediaKind::avi_mjpeg:
            return {"avi_mjpeg", "AVI", "out.avi", {"-c:v", "mjpeg", "-c:a", "pcm_s16le"}, true};
        case MediaKind::wav:
            return {"wav", "WAV", "out.wav", {"-c:a", "pcm_s16le"}, false};
        case MediaKind::mpeg1_ps:
            // The "mpeg" muxer writes MPEG-1 packs; "vob" or "dvd" would write MPEG-2 ones.
            return {"mpeg1_ps",
                    "MPG",
                    "out.mpg",
                    {"-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"},
                    true};
        case MediaKind::m2ts:
            return {"m2ts",
                    "MTS",     // as AVCHD cameras name them on the card
                    "out.ts",  // ffmpeg would switch to its M2TS mode for ".m2ts"
                    {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts", "-mpegts_m2ts_mode", "1"},
                    true};
        case MediaKind::asf:
            return {"asf", "WMV", "out.wmv", {"-c:v", "wmv2", "-c:a", "wmav2", "-f", "asf"}, true};
        case MediaKind::mp3:
            // A title, so that both tags are written.
            return {"mp3",
                    "MP3",
                    "out.mp3",
                    {"-metadata", "title=Recording", "-c:a", "libmp3lame", "-write_id3v1", "1"},
                    false};
        case MediaKind::ogg_vorbis:
            return {"ogg_vorbis", "OGG", "out.ogg", {"-c:a", "libvorbis"}, false};
        case MediaKind::ogg_opus:
            return {"ogg_opus", "OPUS", "out.opus", {"-c:a", "libopus"}, false};
        case MediaKind::flac:
            return {"flac", "FLAC", "out.flac", {"-c:a", "flac"}, false};
    }
    throw std::invalid_argument("unknown media kind");
}


bool every_packet_synced(Bytes d, std::size_t packet, std::size_t sync_at) {
    if (d.empty() || d.size() % packet != 0) return false;
    for (std::size_t p = 0; p < d.size(); p += packet)
        if (d[p + sync_at] != 0x47) return false;
    return true;
}

}  // namespace

std::vector<std::uint8_t> to_m2ts(std::span<const std::uint8_t> ts) {
    std::vector<std::uint8_t> out;
    out.reserve(ts.size() / 188 * 192);
    std::uint32_t stamp = 0;
    for (std::size_t p = 0; p + 188 <= ts.size(); p += 188) {
        const std::uint32_t s = stamp & 0x3FFFFFFF;
        out.insert(out.end(), {std::uint8_t(s >> 24), std::uint8_t(s >> 16), std::uint8_t(s >> 8),
                               std::uint8_t(s)});
        out.insert(out.end(), ts.begin() + std::ptrdiff_t(p), ts.begin() + std::ptrdiff_t(p + 188));
        stamp += 27000000u / (6000000u / (188 * 8));
    }
    return out;
}

namespace {

// The promises of media.hpp, checked on what ffmpeg wrote.
void check_layout(MediaKind kind, std::vector<std::uint8_t>& d) {
    auto fail = [&](const std::string& why) {
        throw std::runtime_error(std::string("ffmpeg wrote an unexpected ") + recipe(kind).name +
                                 " file: " + why);
    };
    if (kind == MediaKind::m2ts) {
        // ffmpeg's M2TS mode (5.1) gives the program map the "HDMV"
        // registration that AVCHD streams carry, but writes arrival stamps that
        // jump about instead of following the stream: the 4-byte headers are
        // made again here. The service description ffmpeg puts first is left
        // out, so that the map is the second packet, as on camera cards.
        if (!every_packet_synced(d, 192, 4)) fail("not 192-byte packets");
        std::vector<std::uint8_t> ts;
        for (std::size_t p = 0; p < d.size(); p += 192) {
            const std::uint8_t* packet = d.data() + p + 4;
            const unsigned pid = (packet[1] & 0x1F) << 8 | packet[2];
            if (pid != 0x11) ts.insert(ts.end(), packet, packet + 188);
        }
        d = to_m2ts(ts);
        if (d.size() < 219 || std::memcmp(d.data() + 215, "HDMV", 4) != 0) fail("no HDMV registration");
    } else if (kind == MediaKind::mpeg1_ps) {
        // Pack header 00 00 01 BA, then '0010' in the high bits of byte 4 (MPEG-2
        // packs have '01'); a system header 00 00 01 BB follows the first pack.
        if (be32(d, 0) != 0x000001BAu) fail("no pack header at the start");
        if ((d.size() < 5) || (d[4] & 0xF0) != 0x20) fail("first pack is not MPEG-1");
        if (be32(d, 12) != 0x000001BBu) fail("no system header after the first pack");
        // ffmpeg leaves out the program end code (it hinders concatenation);
        // cameras write it, and the end of a stream is found by it.
        if (be32(d, d.size() - 4) != 0x000001B9u) d.insert(d.end(), {0x00, 0x00, 0x01, 0xB9});
    }
}

}  // namespace

std::vector<std::uint8_t> make_mpeg_audio(int layer, int sample_rate, double seconds) {
    if ((layer != 2 && layer != 3) || seconds <= 0 || seconds > 60)
        throw std::invalid_argument("MPEG audio options out of range");
    TempDir dir("lk-media");
    const std::string out = (dir.path() / "out.mpa").string();
    std::vector<std::string> argv = {
        "ffmpeg",
        "-nostdin",
        "-hide_banner",
        "-loglevel",
        "error",
        "-y",
        "-f",
        "lavfi",
        "-i",
        "sine=frequency=440:sample_rate=" + std::to_string(sample_rate) +
            ":duration=" + std::to_string(seconds),
        "-fflags",
        "+bitexact",
        "-flags",
        "+bitexact",
        "-map_metadata",
        "-1"};
    if (layer == 2)
        argv.insert(argv.end(), {"-c:a", "mp2", "-f", "mp2", out});
    else
        argv.insert(argv.end(), {"-c:a", "libmp3lame", "-f", "mp3", "-id3v2_version", "0",
                                 "-write_xing", "0", out});
    run_checked(argv);
    return read_whole(out);
}

const char* media_extension(MediaKind kind) {
    return recipe(kind).extension;
}
const char* media_name(MediaKind kind) {
    return recipe(kind).name;
}

std::vector<MediaKind> all_media_kinds() {
    return {MediaKind::mov,       MediaKind::mp4, MediaKind::m4a,        MediaKind::three_gp,
            MediaKind::avi_mjpeg, MediaKind::wav, MediaKind::mpeg1_ps,   MediaKind::m2ts,
            MediaKind::asf,       MediaKind::mp3, MediaKind::ogg_vorbis, MediaKind::ogg_opus,
            MediaKind::flac};
}

bool have_ffmpeg() {
    return find_program("ffmpeg").has_value();
}

std::vector<std::uint8_t> make_media(MediaKind kind, const MediaOptions& o) {
    static constexpr const char* kPictures[] = {"testsrc", "testsrc2", "smptebars", "rgbtestsrc"};
    const Recipe r = recipe(kind);
    if (o.seconds <= 0 || o.seconds > 60 || o.width < 16 || o.height < 16 || o.width > 1920 ||
        o.height > 1080 || o.sample_rate < 8000 || o.sample_rate > 96000 || o.audio_streams < 1 ||
        o.audio_streams > 2 || (o.audio_streams == 2 && r.video))
        throw std::invalid_argument("media options out of range");
    const std::string duration = std::to_string(o.seconds);
    const std::string tone = std::to_string(440 + 110 * (o.variant % 8));
    // MPEG-1/2 video accepts only the standard frame rates; 25 suits every muxer here.
    const std::string picture = std::string(kPictures[o.variant % 4]) +
                                "=size=" + std::to_string(o.width) + "x" +
                                std::to_string(o.height) + ":rate=25:duration=" + duration;

    TempDir dir("lk-media");
    std::vector<std::string> argv = {"ffmpeg",    "-nostdin", "-hide_banner",
                                     "-loglevel", "error",    "-y"};
    if (r.video) argv.insert(argv.end(), {"-f", "lavfi", "-i", picture});
    const std::string rate = std::to_string(o.sample_rate);
    if (o.noise) {
        const std::string seed = std::to_string(1 + 2 * o.variant);
        const std::string one =
            "anoisesrc=color=pink:sample_rate=" + rate + ":duration=" + duration + ":seed=";
        argv.insert(argv.end(),
                    {"-f", "lavfi", "-i",
                     one + seed + "[a];" + one + seed + "1[b];[a][b]amerge=inputs=2[out0]"});
    } else {
        argv.insert(argv.end(),
                    {"-f", "lavfi", "-i",
                     "sine=frequency=" + tone + ":sample_rate=" + rate + ":duration=" + duration});
    }
    if (o.audio_streams == 2) {
        argv.insert(argv.end(), {"-f", "lavfi", "-i",
                                 "sine=frequency=660:sample_rate=" + rate + ":duration=1"});
        argv.insert(argv.end(), {"-map", "0", "-map", "1"});
    }
    // Same options, same bytes: no encoder version strings or creation times.
    argv.insert(argv.end(), {"-fflags", "+bitexact", "-flags", "+bitexact", "-map_metadata", "-1"});
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    argv.push_back((dir.path() / r.file).string());
    run_checked(argv);

    std::vector<std::uint8_t> bytes = read_whole(dir.path() / r.file);
    check_layout(kind, bytes);
    return bytes;
}

}  // namespace lk::test
