#include "tests/common/TestMedia.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "tests/common/TestSupport.h"

namespace zan::test {

namespace {

// Sources shared by most recipes: 4 s of colour bars with a moving
// gradient and counter, and 4 s of a 440 Hz tone.
#define VIDEO_160 "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 "
#define TONE_44K "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=4 "
#define TONE_48K "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=4 "
#define X264_FAST "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p "
#define AAC_STEREO "-c:a aac -ac 2 -b:a 64k "

std::vector<MediaRecipe> makeRecipes() {
  return {
      {Media::kMp4H264Aac, "mp4_h264_aac", "mp4",
       VIDEO_160 TONE_44K X264_FAST AAC_STEREO},
      {Media::kFlvSorensonMp3, "flv_sorenson_mp3", "flv",
       VIDEO_160 TONE_44K "-c:v flv -g 25 -b:v 300k -c:a libmp3lame -ac 2 -b:a 64k"},
      {Media::kMkvH264Vorbis, "mkv_h264_vorbis", "mkv",
       VIDEO_160 TONE_44K X264_FAST "-c:a libvorbis -ac 2"},
      {Media::kMpegTsH264Aac, "ts_h264_aac", "ts",
       VIDEO_160 TONE_44K X264_FAST AAC_STEREO "-f mpegts"},
      {Media::kAviMpeg4Mp3, "avi_mpeg4_mp3", "avi",
       VIDEO_160 TONE_44K "-c:v mpeg4 -g 25 -b:v 300k -c:a libmp3lame -ac 2 -b:a 64k"},
      {Media::kMpegPsMpeg1Mp2, "mpeg_ps_mpeg1_mp2", "mpg",
       VIDEO_160 TONE_44K "-c:v mpeg1video -g 12 -b:v 500k -c:a mp2 -ac 2 -b:a 128k -f mpeg"},
      {Media::kAsfWmv2Wma2, "asf_wmv2_wma2", "asf",
       VIDEO_160 TONE_44K "-c:v wmv2 -g 25 -b:v 300k -c:a wmav2 -ac 2 -b:a 64k -f asf"},
      {Media::kMp3Audio, "mp3_audio", "mp3", TONE_44K "-ac 2 -c:a libmp3lame -b:a 128k"},
      {Media::kFlacAudio, "flac_audio", "flac", TONE_44K "-ac 2 -c:a flac"},
      {Media::kWavS16, "wav_s16", "wav", TONE_44K "-ac 2 -c:a pcm_s16le"},
      {Media::kOggTheoraVorbis, "ogg_theora_vorbis", "ogg",
       VIDEO_160 TONE_44K "-c:v libtheora -q:v 6 -g 25 -c:a libvorbis -ac 2"},
      {Media::kInterlacedMpeg2Ts, "ts_interlaced_mpeg2", "ts",
       // 50 pictures a second woven into 25 interlaced ones, so that moving
       // parts comb; every picture is marked interlaced, top field first.
       "-f lavfi -i testsrc2=size=320x240:rate=50:duration=4 " TONE_48K
       "-vf tinterlace=interleave_top,setfield=tff "
       "-c:v mpeg2video -flags +ilme+ildct -top 1 -g 12 -b:v 2M -c:a mp2 -ac 2 -b:a 128k -f mpegts"},
      {Media::kTwoVideoStreams, "mkv_two_video_sizes", "mkv",
       // The smaller picture is the first stream, so taking the first
       // video stream is not enough to pass.
       VIDEO_160 "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4 " TONE_44K
                 "-map 0:v -map 1:v -map 2:a " X264_FAST AAC_STEREO},
      // A tone on every channel of the first 18 (19) of FFmpeg's layout, 2 s.
      {Media::kWav18Channels, "wav_18_channels", "wav", "-f lavfi -i aevalsrc=sin(440*2*PI*t):c=0x3ffff:d=2 -c:a pcm_s16le"},
      {Media::kWav19Channels, "wav_19_channels", "wav", "-f lavfi -i aevalsrc=sin(440*2*PI*t):c=0x7ffff:d=2 -c:a pcm_s16le"},
      {Media::kTruncatedMp4, "mp4_truncated", "mp4",
       // Then cut to its first half.
       VIDEO_160 TONE_44K X264_FAST AAC_STEREO "-movflags +faststart"},
      {Media::kTruncatedMp4NoIndex, "mp4_truncated_no_index", "mp4",
       VIDEO_160 TONE_44K X264_FAST AAC_STEREO},
      // Full-scale white noise stored as raw samples: pseudo-random bytes.
      {Media::kRandomBytes, "random_bytes", "mp4", "-f lavfi -i anoisesrc=d=3:a=1:seed=20240607 -f s16le"},
      {Media::kMp4H264BFrames, "mp4_h264_bframes", "mp4",
       VIDEO_160 TONE_44K "-c:v libx264 -preset medium -bf 3 -g 25 -pix_fmt yuv420p " AAC_STEREO},
      {Media::kBenchmark720p, "bench_720p_h264_aac", "mp4",
       "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 "
       "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 "
       "-c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k"},
      {Media::kMp4FlashBeep, "mp4_flash_beep", "mp4",
       "-f lavfi -i color=black:s=160x120:r=25:d=4,drawbox=c=white:t=fill:enable='lt(mod(t,1),0.04)' "
       "-f lavfi -i aevalsrc='if(lt(mod(t,1),0.04),sin(2*PI*1000*t),0)':s=44100:d=4 " X264_FAST AAC_STEREO},
      // Then said to be HE-AAC.
      {Media::kFlvHeAac, "flv_he_aac", "flv",
       VIDEO_160 "-f lavfi -i sine=frequency=440:sample_rate=24000:duration=4 " X264_FAST "-c:a aac -ac 1"},
  };
}

// Rewrites the AAC configuration (the sequence header tag) of the FLV at
// |path| to say HE-AAC: object 5 (SBR), the core's rate and channels, a
// 48 kHz output, core object 2, then the core's GASpecificConfig (zeros).
void signalHeAac(const std::string& path) {
  std::string flv = readFile(path);
  auto byte = [&](size_t at) -> uint32_t { return static_cast<uint8_t>(flv[at]); };
  auto put = [&](size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) flv[at + i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
  };
  for (size_t tag = 13, size = 0; tag + 15 < flv.size(); tag += 15 + size) {
    size = byte(tag + 1) << 16 | byte(tag + 2) << 8 | byte(tag + 3);
    const size_t body = tag + 11;
    if ((byte(tag) & 0x1f) != 8 || size < 4 || byte(body) >> 4 != 10 || byte(body + 1) != 0) continue;
    const uint32_t rate = (byte(body + 2) & 7) << 1 | byte(body + 3) >> 7, channels = byte(body + 3) >> 3 & 15;
    flv.replace(body + 2, size - 2, 4, '\0');
    put(body + 2, (5u << 20 | rate << 16 | channels << 12 | 3u << 8 | 2u << 3) << 7, 4);
    put(tag + 1, 6, 3);       // the tag's new length
    put(body + 6, 11 + 6, 4);  // and the size field after it
    writeFile(path, flv);
    return;
  }
  throw std::runtime_error(path + ": no AAC configuration");
}

std::string hashText(const std::string& text) {
  uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(out, 10);
}

void runFfmpeg(const std::string& command, const std::string& output) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
  std::istringstream words(command);
  for (std::string word; words >> word;) argv.push_back(word);
  argv.push_back(output);
  const ProcessResult result = runProcess(argv, std::chrono::minutes(10));
  if (result.exitCode != 0)
    throw std::runtime_error("ffmpeg " + command + " " + output + " failed (" + std::to_string(result.exitCode) +
                             "): " + result.err);
}

// Makes |path| once, under an flock on the folder (each thread holds a
// descriptor of its own), on a temporary name renamed when complete: no
// program ever sees half a file.
template <typename Make>
std::string makeOnce(const std::string& path, Make make) {
  namespace fs = std::filesystem;
  if (fs::exists(path)) return path;
  const fs::path target(path);
  struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }  // releases the lock
  };
  const int lock = ::open((target.parent_path() / ".generate.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0) throw std::runtime_error("cannot open the lock file for " + path);
  const Descriptor closer{lock};
  while (flock(lock, LOCK_EX) != 0)
    if (errno != EINTR) throw std::runtime_error("cannot lock the folder of " + path);
  if (fs::exists(path)) return path;
  static std::atomic<int> counter{0};
  const fs::path temporary = target.parent_path() / (".tmp-" + std::to_string(getpid()) + "-" +
                                                     std::to_string(counter++) + "-" + target.filename().string());
  try {
    make(temporary.string());
    fs::rename(temporary, path);
  } catch (...) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw;
  }
  return path;
}

}  // namespace

const MediaRecipe& mediaRecipe(Media media) {
  static const std::vector<MediaRecipe> recipes = makeRecipes();
  for (const MediaRecipe& recipe : recipes)
    if (recipe.id == media) return recipe;
  throw std::logic_error("no recipe for a media kind");
}

std::string mediaFolder() {
  const char* configured = std::getenv("ZAN_TEST_MEDIA");
  std::filesystem::path folder = configured && *configured
                                     ? std::filesystem::path(configured)
                                     : std::filesystem::temp_directory_path() /
                                           ("zan-test-media-" + std::to_string(getuid()));
  std::filesystem::create_directories(folder);
  return folder.string();
}

std::string mediaPath(Media media) {
  const MediaRecipe& recipe = mediaRecipe(media);
  const bool truncate = media == Media::kTruncatedMp4 || media == Media::kTruncatedMp4NoIndex;
  const bool heAac = media == Media::kFlvHeAac;
  const std::string key = recipe.command + "|post=" + std::to_string(truncate) + (heAac ? "he" : "");  // the name's hash
  const std::string path = mediaFolder() + "/" + recipe.name + "-" + hashText(key) + "." + recipe.extension;
  return makeOnce(path, [&](const std::string& temporary) {
    runFfmpeg(recipe.command, temporary);
    if (truncate) std::filesystem::resize_file(temporary, std::filesystem::file_size(temporary) / 2);
    if (heAac) signalHeAac(temporary);
  });
}

std::string generateMedia(const std::string& name, const std::string& extension, const std::string& command) {
  const std::string path = mediaFolder() + "/" + name + "-" + hashText(command) + "." + extension;
  return makeOnce(path, [&](const std::string& temporary) { runFfmpeg(command, temporary); });
}

}  // namespace zan::test
