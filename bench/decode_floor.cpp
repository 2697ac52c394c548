// The floor of the live-decode path: the same parser, decoder and libyuv
// conversion as FFmpegDecoder.decode, with no JVM, no JNI and no bitmap; the
// pixels go into one buffer reused for every picture. The contract floor
// (run-fresh) converts each picture into a fresh anonymous mapping instead,
// unmapped after it: what a new bitmap per call costs at least where every
// new bitmap is new pages, as on Android. Also the quality of the app's
// conversion against a double-precision one, its cost per picture next to
// libyuv's own tables, and the delay in calls from an access unit to its
// picture with the parser's framing and with whole access units.
//
//   qn_bench_floor units <stream> <units-out> <codec>   writes "offset size" per access unit
//   qn_bench_floor run <run> <case> <codec> <stream> <units>   prints one CSV line of figures
//   qn_bench_floor run-fresh <run> <case> <codec> <stream> <units>   the same, kind floor-fresh
//   qn_bench_floor quality <case> <codec> <stream> <units>   prints PSNR against the float reference
//   qn_bench_floor conversion <case> <codec> <stream> <units>   prints the conversion's cost per picture
//   qn_bench_floor delay <case> <codec> <stream> <units>   prints the delay rows (markdown)
//
// codec: 1 for H.264, 2 for H.265 (the create() type of the app).
#include <libyuv/convert_argb.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench/access_units.h"
#include "decoder/ffmpeg_decoder.h"
#include "decoder/picture_conversion.h"
#include "tests/support/colour_reference.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kWarmUpUnits = 100;

/// Reads a whole file; empty if it cannot be read.
std::vector<uint8_t> readAll(const char* path) {
  std::vector<uint8_t> bytes;
  FILE* file = fopen(path, "rbe");
  if (file == nullptr) return bytes;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  fclose(file);
  return bytes;
}

/// Reads the "offset size" lines written by the units mode; empty if any is out of the stream.
std::vector<qn::bench::AccessUnit> readUnits(const char* path, size_t streamSize) {
  std::vector<qn::bench::AccessUnit> units;
  FILE* file = fopen(path, "re");
  if (file == nullptr) return units;
  unsigned long long offset = 0, size = 0;
  while (fscanf(file, "%llu %llu", &offset, &size) == 2) {
    if (size == 0 || offset > streamSize || size > streamSize - offset) {
      units.clear();
      break;
    }
    units.push_back({static_cast<size_t>(offset), static_cast<size_t>(size)});
  }
  fclose(file);
  return units;
}

/// Peak resident size of this process in KiB (VmHWM), 0 if unknown.
long peakResidentKib() {
  FILE* status = fopen("/proc/self/status", "re");
  if (status == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(status);
  return kib;
}

/// CPU time of this process so far, in seconds.
double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

/// The value below which `share` of the sorted samples lie (nearest rank).
double percentile(const std::vector<double>& sorted, double share) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(share * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

/// What one pass over the stream gave.
struct Pass {
  int pictures = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  std::vector<double> callMillis;
};

/// The app's conversion of a picture (qn::convertToAbgrPixels: I420ToABGR's
/// conversion for unsignalled 4:2:0, the exact tables for the colour streams),
/// into rows `width` pixels apart.
int convertLikeTheApp(const AVFrame* f, uint8_t* pixels, int width, int /*height*/) {
  return qn::convertToAbgrPixels(f, pixels, width * 4);
}

/// True when the frame holds three planes of at least the codec context's picture size.
bool holdsPicture(const FFmpegDecoder& decoder, const AVFrame* frame) {
  const int width = decoder.context()->width;
  const int height = decoder.context()->height;
  return frame != nullptr && width > 0 && height > 0 && frame->data[0] != nullptr &&
         frame->data[1] != nullptr && frame->data[2] != nullptr && frame->width >= width &&
         frame->height >= height;
}

/// Converts the decoder's picture into `pixels` (grown only when the size grows); false if none.
bool convertPicture(const FFmpegDecoder& decoder, const AVFrame* frame, std::vector<uint8_t>* pixels) {
  if (!holdsPicture(decoder, frame)) return false;
  const int width = decoder.context()->width;
  const int height = decoder.context()->height;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  if (pixels->size() < bytes) pixels->resize(bytes);
  return convertLikeTheApp(frame, pixels->data(), width, height) == 0;
}

/// Converts the decoder's picture into a new mapping of its own, unmapped afterwards; false if none.
bool convertIntoFreshPages(const FFmpegDecoder& decoder, const AVFrame* frame) {
  if (!holdsPicture(decoder, frame)) return false;
  const int width = decoder.context()->width;
  const int height = decoder.context()->height;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  void* pixels = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pixels == MAP_FAILED) return false;
  const bool converted =
      convertLikeTheApp(frame, static_cast<uint8_t*>(pixels), width, height) == 0;
  munmap(pixels, bytes);
  return converted;
}

/// Feeds `count` units to a fresh decoder, one per call, converting every picture it returns
/// into `pixels`, or into fresh pages per picture when `pixels` is null.
Pass decodePass(std::vector<uint8_t>& stream, const std::vector<qn::bench::AccessUnit>& units,
                size_t count, int codec, std::vector<uint8_t>* pixels) {
  Pass pass;
  FFmpegDecoder decoder{};
  decoder.setUp(codec);
  if (!decoder.isReady()) return pass;
  pass.callMillis.reserve(count);
  const Clock::time_point start = Clock::now();
  const double cpuAtStart = processCpuSeconds();
  for (size_t i = 0; i < count; i++) {
    const Clock::time_point before = Clock::now();
    const AVFrame* frame = decoder.decode(stream.data() + units[i].offset,
                                          static_cast<int>(units[i].size), static_cast<int>(i));
    const bool converted = pixels != nullptr ? convertPicture(decoder, frame, pixels)
                                             : convertIntoFreshPages(decoder, frame);
    if (converted) pass.pictures++;
    pass.callMillis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
  }
  pass.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  pass.cpuSeconds = processCpuSeconds() - cpuAtStart;
  return pass;
}

/// Writes the access units of a stream file as "offset size" lines.
int writeUnits(const char* streamPath, const char* unitsPath, int codec) {
  const std::vector<uint8_t> stream = readAll(streamPath);
  if (stream.empty()) {
    fprintf(stderr, "cannot read %s\n", streamPath);
    return 1;
  }
  const auto units = qn::bench::splitAccessUnits(stream.data(), stream.size(), codec != 1);
  FILE* out = fopen(unitsPath, "we");
  if (out == nullptr) {
    fprintf(stderr, "cannot write %s\n", unitsPath);
    return 1;
  }
  for (const auto& unit : units) fprintf(out, "%zu %zu\n", unit.offset, unit.size);
  return fclose(out) == 0 ? 0 : 1;
}

/// Times one pass after a warm-up pass and prints the CSV line of the floor, or of
/// the contract floor when `fresh`.
int runFloor(const char* run, const char* label, int codec, const char* streamPath,
             const char* unitsPath, bool fresh) {
  std::vector<uint8_t> stream = readAll(streamPath);
  const auto units = readUnits(unitsPath, stream.size());
  if (units.empty()) {
    fprintf(stderr, "no access units for %s\n", streamPath);
    return 1;
  }
  std::vector<uint8_t> reused;
  std::vector<uint8_t>* pixels = fresh ? nullptr : &reused;
  decodePass(stream, units, std::min(kWarmUpUnits, units.size()), codec, pixels);
  Pass pass = decodePass(stream, units, units.size(), codec, pixels);
  if (pass.pictures == 0) {
    fprintf(stderr, "no pictures decoded from %s\n", streamPath);
    return 1;
  }
  std::sort(pass.callMillis.begin(), pass.callMillis.end());
  // The columns of bench.csv (scripts/bench.sh).
  printf("%s,%s,%s,1,%zu,%d,%.6f,%.6f,%.2f,%.4f,%.4f,%ld,,\n", run, fresh ? "floor-fresh" : "floor", label, units.size(),
         pass.pictures, pass.seconds, pass.cpuSeconds, pass.pictures / pass.seconds, percentile(pass.callMillis, 0.5),
         percentile(pass.callMillis, 0.99), peakResidentKib());
  return 0;
}

/// Frees a cloned frame.
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using OwnedFrame = std::unique_ptr<AVFrame, FrameFree>;

/// The first `count` convertible pictures of a stream, decoded as the app decodes
/// them (one access unit per call); empty if none or the files cannot be read.
std::vector<OwnedFrame> firstPictures(int codec, const char* streamPath, const char* unitsPath,
                                      size_t count) {
  std::vector<OwnedFrame> frames;
  std::vector<uint8_t> stream = readAll(streamPath);
  const auto units = readUnits(unitsPath, stream.size());
  FFmpegDecoder decoder{};
  decoder.setUp(codec);
  if (units.empty() || !decoder.isReady()) return frames;
  for (size_t i = 0; i < units.size() && frames.size() < count; i++) {
    const AVFrame* frame = decoder.decode(stream.data() + units[i].offset,
                                          static_cast<int>(units[i].size), static_cast<int>(i));
    if (frame == nullptr || !qn::canConvert(frame)) continue;
    OwnedFrame copy(av_frame_clone(frame));
    if (copy == nullptr) return {};
    frames.push_back(std::move(copy));
  }
  return frames;
}

/// Compares the app's conversion of the first pictures with the float reference
/// and prints "case,format,matrix,range,pictures,lowest dB,mean dB".
int measureQuality(const char* label, int codec, const char* streamPath, const char* unitsPath) {
  const std::vector<OwnedFrame> frames = firstPictures(codec, streamPath, unitsPath, 10);
  double lowest = 99, sum = 0;
  for (const OwnedFrame& frame : frames) {
    std::vector<uint8_t> pixels(static_cast<size_t>(frame->width) * frame->height * 4);
    if (qn::convertToAbgrPixels(frame.get(), pixels.data(), frame->width * 4) != 0) return 1;
    const double psnr = qn::testing::rgbPsnr(pixels, qn::testing::floatRgba(frame.get()));
    lowest = std::min(lowest, psnr);
    sum += psnr;
  }
  if (frames.empty()) {
    fprintf(stderr, "no convertible pictures in %s\n", streamPath);
    return 1;
  }
  const AVFrame* last = frames.back().get();
  printf("%s,%s,%s,%s,%zu,%.2f,%.2f\n", label, qn::pixelFormatName(last),
         av_color_space_name(last->colorspace), av_color_range_name(last->color_range),
         frames.size(), lowest, sum / static_cast<double>(frames.size()));
  return 0;
}

/// The conversion as it was before the library's exact tables: libyuv's own
/// V/U-swapped table for the matrix and range, 10-bit chroma truncated by
/// libyuv's readers. For 4:2:0 pictures, which the bench streams are.
int convertWithLibyuvTables(const AVFrame* f, uint8_t* pixels) {
  const bool full = f->format == AV_PIX_FMT_YUVJ420P || f->color_range == AVCOL_RANGE_JPEG;
  const libyuv::YuvConstants* table = full ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants;
  if (f->colorspace == AVCOL_SPC_BT709) table = full ? &libyuv::kYvuF709Constants : &libyuv::kYvuH709Constants;
  const int stride = f->width * 4;
  if (f->format == AV_PIX_FMT_YUV420P10LE) {
    const auto* y = reinterpret_cast<const uint16_t*>(f->data[0]);
    const auto* u = reinterpret_cast<const uint16_t*>(f->data[1]);
    const auto* v = reinterpret_cast<const uint16_t*>(f->data[2]);
    return libyuv::I010ToARGBMatrix(y, f->linesize[0] / 2, v, f->linesize[2] / 2, u, f->linesize[1] / 2,
                                    pixels, stride, table, f->width, f->height);
  }
  if (f->colorspace == AVCOL_SPC_UNSPECIFIED && !full) {
    return libyuv::I420ToABGR(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                              f->linesize[2], pixels, stride, f->width, f->height);
  }
  return libyuv::I420ToARGBMatrix(f->data[0], f->linesize[0], f->data[2], f->linesize[2], f->data[1],
                                  f->linesize[1], pixels, stride, table, f->width, f->height);
}

/// Lowers each picture's entry of `fastest` to its conversion time in milliseconds
/// if this pass was faster; false if a conversion failed.
template <typename Convert>
bool timeEachPicture(const std::vector<OwnedFrame>& frames, std::vector<uint8_t>& pixels,
                     Convert convert, std::vector<double>* fastest) {
  for (size_t i = 0; i < frames.size(); i++) {
    const Clock::time_point start = Clock::now();
    if (convert(frames[i].get(), pixels.data()) != 0) return false;
    const double millis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    (*fastest)[i] = std::min((*fastest)[i], millis);
  }
  return true;
}

/// The mean of the pictures' fastest times.
double meanMillis(const std::vector<double>& fastest) {
  double sum = 0;
  for (double millis : fastest) sum += millis;
  return sum / static_cast<double>(fastest.size());
}

/// Times the conversion of the stream's first pictures, libyuv's own tables
/// (before) and the app's (after) in turns, and prints
/// "case,format,matrix,range,pictures,passes,before ms,after ms": the mean over
/// the pictures of each one's fastest conversion. A conversion is shorter than a
/// scheduler slice, so on a shared machine its fastest pass is one without
/// interruption.
int measureConversion(const char* label, int codec, const char* streamPath, const char* unitsPath) {
  constexpr int kPasses = 30;
  const std::vector<OwnedFrame> frames = firstPictures(codec, streamPath, unitsPath, 10);
  if (frames.empty()) {
    fprintf(stderr, "no convertible pictures in %s\n", streamPath);
    return 1;
  }
  const AVFrame* first = frames[0].get();
  std::vector<uint8_t> pixels(static_cast<size_t>(first->width) * first->height * 4);
  const auto after = [](const AVFrame* f, uint8_t* out) {
    return qn::convertToAbgrPixels(f, out, f->width * 4);
  };
  std::vector<double> before(frames.size(), 1e9), now(frames.size(), 1e9);
  for (int pass = 0; pass < kPasses; pass++) {
    if (!timeEachPicture(frames, pixels, convertWithLibyuvTables, &before) ||
        !timeEachPicture(frames, pixels, after, &now)) {
      return 1;
    }
  }
  printf("%s,%s,%s,%s,%zu,%d,%.3f,%.3f\n", label, qn::pixelFormatName(first),
         av_color_space_name(first->colorspace), av_color_range_name(first->color_range),
         frames.size(), kPasses, meanMillis(before), meanMillis(now));
  return 0;
}

/// One unit per call, with the parser's framing and then whole access units:
/// prints "| case | framing | units | pictures shown | median | max | reordering |",
/// the delay of the n-th picture shown being its call's index minus n, and the
/// decoder's own reordering delay (has_b_frames) in pictures.
int measureDelay(const char* label, int codec, const char* streamPath, const char* unitsPath) {
  std::vector<uint8_t> stream = readAll(streamPath);
  const auto units = readUnits(unitsPath, stream.size());
  if (units.empty()) return 1;
  for (bool whole : {false, true}) {
    FFmpegDecoder decoder{};
    decoder.setUp(codec);
    if (!decoder.isReady()) return 1;
    decoder.setWholeAccessUnits(whole);
    std::vector<double> delays;
    const uint8_t* shown = nullptr;  // a new picture never lands on the planes still held
    for (size_t i = 0; i < units.size(); i++) {
      const AVFrame* frame = decoder.decode(stream.data() + units[i].offset,
                                            static_cast<int>(units[i].size), static_cast<int>(i));
      if (frame == nullptr || frame->data[0] == nullptr || frame->data[0] == shown) continue;
      shown = frame->data[0];
      delays.push_back(static_cast<double>(i - delays.size()));
    }
    std::sort(delays.begin(), delays.end());
    printf("| %s | %s | %zu | %zu | %.0f | %.0f | %d |\n", label,
           whole ? "whole access units" : "parser", units.size(), delays.size(),
           percentile(delays, 0.5), delays.empty() ? 0.0 : delays.back(),
           decoder.context()->has_b_frames);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "units") == 0) return writeUnits(argv[2], argv[3], atoi(argv[4]));
  if (argc == 7 && (strcmp(argv[1], "run") == 0 || strcmp(argv[1], "run-fresh") == 0)) {
    return runFloor(argv[2], argv[3], atoi(argv[4]), argv[5], argv[6], strcmp(argv[1], "run-fresh") == 0);
  }
  if (argc == 6 && strcmp(argv[1], "quality") == 0) {
    return measureQuality(argv[2], atoi(argv[3]), argv[4], argv[5]);
  }
  if (argc == 6 && strcmp(argv[1], "conversion") == 0) {
    return measureConversion(argv[2], atoi(argv[3]), argv[4], argv[5]);
  }
  if (argc == 6 && strcmp(argv[1], "delay") == 0) {
    return measureDelay(argv[2], atoi(argv[3]), argv[4], argv[5]);
  }
  fprintf(stderr,
          "usage: %s units <stream> <units-out> <codec>\n"
          "       %s run|run-fresh <run> <case> <codec> <stream> <units>\n"
          "       %s quality|conversion|delay <case> <codec> <stream> <units>\n",
          argv[0], argv[0], argv[0]);
  return 2;
}
