#include "tests/support/media.h"

#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/colour_reference.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace qn::testing {
namespace {

struct ContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ParserFree {
  void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};

/// Writes an 8-bit value at (x, y) of a plane, scaled up to the format's depth;
/// `low` fills the extra low bits of deeper formats.
void putSample(AVFrame* frame, int plane, int x, int y, int value, int low = 0) {
  const int depth = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format))->comp[0].depth;
  uint8_t* row = frame->data[plane] + y * frame->linesize[plane];
  if (depth == 8) {
    row[x] = static_cast<uint8_t>(value);
  } else {
    const int shift = depth - 8;
    reinterpret_cast<uint16_t*>(row)[x] =
        static_cast<uint16_t>((value << shift) | (low & ((1 << shift) - 1)));
  }
}

/// Width and height of a plane of the frame.
std::pair<int, int> planeSize(const AVFrame* frame, int plane) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  if (plane == 0) return {frame->width, frame->height};
  return {AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w),
          AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h)};
}

/// A moving picture with detail in every plane, so that decoding errors show.
void drawPattern(AVFrame* frame, int index) {
  for (int y = 0; y < frame->height; y++) {
    for (int x = 0; x < frame->width; x++) {
      const int value = ((x + 2 * index) ^ (y + index)) * 3 + ((x / 16 + y / 16) % 2) * 40;
      putSample(frame, 0, x, y, value & 0xFF, x + y);
    }
  }
  if (av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format)) < 3) return;
  const auto [width, height] = planeSize(frame, 1);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      putSample(frame, 1, x, y, 64 + (x + index) % 128, x);
      putSample(frame, 2, x, y, 192 - (y + 2 * index) % 128, y);
    }
  }
}

/// The eight 100 % colour bars (white, yellow, cyan, green, magenta, red, blue,
/// black) in the stream's own matrix and range, side by side.
void drawBars(AVFrame* frame, const StreamSpec& recipe) {
  const bool full = recipe.colorRange == AVCOL_RANGE_JPEG;
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format));
  for (int plane = 0; plane < std::min(planes, 3); plane++) {
    const auto [width, height] = planeSize(frame, plane);
    for (int y = 0; y < height; y++) {
      for (int x = 0; x < width; x++) {
        const int bar = 7 - x * 8 / width;  // white on the left: R, G, B are bits 2, 1, 0
        const auto yuv = textbookYuv((bar >> 2) & 1, (bar >> 1) & 1, bar & 1, recipe.colorspace, full);
        putSample(frame, plane, x, y, yuv[plane]);
      }
    }
  }
}

/// Luma ramped across, U across and V down, each over its whole code range,
/// with pseudo-random noise of a few levels in every sample and its low bits.
void drawGradient(AVFrame* frame, int index) {
  uint32_t noise = 2463534242u + static_cast<uint32_t>(index);
  const auto next = [&noise] {
    noise ^= noise << 13;
    noise ^= noise >> 17;
    noise ^= noise << 5;
    return noise;
  };
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format));
  for (int plane = 0; plane < std::min(planes, 3); plane++) {
    const auto [width, height] = planeSize(frame, plane);
    for (int y = 0; y < height; y++) {
      for (int x = 0; x < width; x++) {
        const int ramp = plane == 2 ? y * 255 / std::max(1, height - 1) : x * 255 / std::max(1, width - 1);
        const int value = std::clamp(ramp + static_cast<int>(next() % 7) - 3, 0, 255);
        putSample(frame, plane, x, y, value, static_cast<int>(next()));
      }
    }
  }
}

/// A moving scene of the kind a camera sends: blocks of moderate colour with
/// sharp edges, soft shading and fine texture, well inside the colours RGB can
/// show, so that scaling before or after the conversion must agree. Edges move
/// in steps of 4 samples, so that chroma edges stay on chroma samples.
void drawCameraScene(AVFrame* frame, int index) {
  for (int y = 0; y < frame->height; y++) {
    for (int x = 0; x < frame->width; x++) {
      const int block = ((x + 4 * index) / 24 + (y + 4 * index) / 20) % 4;
      const int texture = ((x * 7 + y * 13 + index) % 9) * 3;
      putSample(frame, 0, x, y, 70 + block * 25 + (x + y) % 32 + texture, x + y);
    }
  }
  if (av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format)) < 3) return;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  const auto [width, height] = planeSize(frame, 1);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      const int lumaX = x << desc->log2_chroma_w;
      const int lumaY = y << desc->log2_chroma_h;
      const int block = ((lumaX + 4 * index) / 24 + (lumaY + 4 * index) / 20) % 4;
      putSample(frame, 1, x, y, 108 + block * 12, x);
      putSample(frame, 2, x, y, 148 - block * 12, y);
    }
  }
}

/// Paints every plane of the picture one value: a flat colour.
void fillSolid(AVFrame* frame, const StreamSpec& recipe) {
  const int values[3] = {recipe.solidY, recipe.solidU, recipe.solidV};
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format));
  for (int plane = 0; plane < planes; plane++) {
    const auto [width, height] = planeSize(frame, plane);
    for (int y = 0; y < height; y++) {
      for (int x = 0; x < width; x++) putSample(frame, plane, x, y, values[plane]);
    }
  }
}

void collectPackets(AVCodecContext* context, AVPacket* packet, EncodedStream* out) {
  while (avcodec_receive_packet(context, packet) == 0) {
    out->bytes.insert(out->bytes.end(), packet->data, packet->data + packet->size);
    out->accessUnits.emplace_back(packet->data, packet->data + packet->size);
    av_packet_unref(packet);
  }
}

void collectFrames(AVCodecContext* context, std::vector<FrameHandle>* out) {
  for (;;) {
    FrameHandle frame(av_frame_alloc());
    if (avcodec_receive_frame(context, frame.get()) != 0) return;
    out->push_back(std::move(frame));
  }
}

}  // namespace

StreamSpec colourRecipe(AVCodecID codec, AVPixelFormat format, AVColorSpace colorspace,
                        AVColorRange range, int width, int height, int frames) {
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.width = width;
  recipe.height = height;
  recipe.frames = frames;
  recipe.pixelFormat = format;
  recipe.colorspace = colorspace;
  recipe.colorRange = range;
  return recipe;
}

EncodedStream encodeStream(const StreamSpec& recipe) {
  av_log_set_level(AV_LOG_ERROR);
  EncodedStream out;
  const char* name = recipe.codec == AV_CODEC_ID_H264 ? "libx264" : "libx265";
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) {
    ADD_FAILURE() << "encoder " << name << " not available";
    return out;
  }
  std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
  context->width = recipe.width;
  context->height = recipe.height;
  context->time_base = AVRational{1, recipe.fps};
  context->framerate = AVRational{recipe.fps, 1};
  context->gop_size = recipe.gopSize;
  context->max_b_frames = recipe.bFrames;
  context->pix_fmt = recipe.pixelFormat;
  context->colorspace = recipe.colorspace;
  context->color_range = recipe.colorRange;
  context->color_trc = recipe.transfer;
  context->color_primaries = recipe.primaries;
  context->thread_count = 1;
  if (recipe.bitRate > 0) context->bit_rate = recipe.bitRate;
  av_opt_set(context->priv_data, "preset", "ultrafast", 0);
  if (recipe.bFrames == 0) av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  // x265 sizes its thread pool from the NUMA nodes libnuma reports. Where libnuma
  // has none (qemu-user, kernels without NUMA) it makes no pool, then turns
  // wavefront rows off after allowing slices=N on their strength, and crashes
  // writing the slices. One pool thread of our own keeps the rows on everywhere
  // (without NUMA x265 then says "unable to set thread affinity" on stderr: harmless).
  std::string params = recipe.codec == AV_CODEC_ID_H264 ? "" : "log-level=none:pools=1";
  for (const std::string& more : {std::string(recipe.bFrames > 0 ? "bframes=2:b-adapt=0" : ""),
                                  recipe.encoderParams}) {
    if (!more.empty()) params += (params.empty() ? "" : ":") + more;
  }
  if (!params.empty()) {
    av_opt_set(context->priv_data,
               recipe.codec == AV_CODEC_ID_H264 ? "x264-params" : "x265-params", params.c_str(), 0);
  }
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    ADD_FAILURE() << "could not open " << name;
    return out;
  }
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  frame->format = recipe.pixelFormat;
  frame->width = recipe.width;
  frame->height = recipe.height;
  av_frame_get_buffer(frame.get(), 0);
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  for (int i = 0; i < recipe.frames; i++) {
    av_frame_make_writable(frame.get());
    if (recipe.solidY >= 0) {
      fillSolid(frame.get(), recipe);
    } else if (recipe.content == Content::kCameraScene) {
      drawCameraScene(frame.get(), i);
    } else if (recipe.content == Content::kBars) {
      drawBars(frame.get(), recipe);
    } else if (recipe.content == Content::kGradient) {
      drawGradient(frame.get(), i);
    } else {
      drawPattern(frame.get(), i);
    }
    frame->pts = i;
    avcodec_send_frame(context.get(), frame.get());
    collectPackets(context.get(), packet.get(), &out);
  }
  avcodec_send_frame(context.get(), nullptr);
  collectPackets(context.get(), packet.get(), &out);
  return out;
}

std::vector<Picture> referenceDecode(const std::vector<uint8_t>& stream, AVCodecID codec,
                                     int contextFlags) {
  std::vector<Picture> pictures;
  for (const FrameHandle& frame : referenceDecodeFrames(stream, codec, contextFlags)) {
    pictures.push_back(copyPicture(frame.get()));
  }
  return pictures;
}

std::vector<FrameHandle> referenceDecodeFrames(const std::vector<uint8_t>& stream,
                                               AVCodecID codecId, int contextFlags) {
  std::vector<FrameHandle> pictures;
  const AVCodec* codec = avcodec_find_decoder(codecId);
  std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
  context->thread_count = 1;
  context->flags |= contextFlags;
  avcodec_open2(context.get(), codec, nullptr);
  std::unique_ptr<AVCodecParserContext, ParserFree> parser(av_parser_init(codecId));
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::vector<uint8_t> padded(stream);
  padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  const uint8_t* cursor = padded.data();
  int remaining = static_cast<int>(stream.size());
  bool flushed = false;
  while (!flushed) {
    uint8_t* data = nullptr;
    int size = 0;
    const int used = av_parser_parse2(parser.get(), context.get(), &data, &size,
                                      remaining > 0 ? cursor : nullptr, remaining,
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (remaining == 0) flushed = true;
    cursor += used;
    remaining -= used;
    if (size > 0) {
      packet->data = data;
      packet->size = size;
      avcodec_send_packet(context.get(), packet.get());
      collectFrames(context.get(), &pictures);
    }
  }
  avcodec_send_packet(context.get(), nullptr);
  collectFrames(context.get(), &pictures);
  return pictures;
}

std::vector<uint8_t> toBitmapBytes(const Picture& picture) {
  std::vector<uint8_t> out(static_cast<size_t>(picture.width) * picture.height * 4);
  const int chromaWidth = (picture.width + 1) / 2;
  libyuv::I420ToABGR(picture.y.data(), picture.width, picture.u.data(), chromaWidth,
                     picture.v.data(), chromaWidth, out.data(), picture.width * 4, picture.width,
                     picture.height);
  return out;
}

Picture copyPicture(const AVFrame* frame) {
  Picture picture;
  picture.width = frame->width;
  picture.height = frame->height;
  const int chromaWidth = (frame->width + 1) / 2;
  const int chromaHeight = (frame->height + 1) / 2;
  for (int y = 0; y < frame->height; y++) {
    const uint8_t* row = frame->data[0] + y * frame->linesize[0];
    picture.y.insert(picture.y.end(), row, row + frame->width);
  }
  for (int y = 0; y < chromaHeight; y++) {
    const uint8_t* u = frame->data[1] + y * frame->linesize[1];
    const uint8_t* v = frame->data[2] + y * frame->linesize[2];
    picture.u.insert(picture.u.end(), u, u + chromaWidth);
    picture.v.insert(picture.v.end(), v, v + chromaWidth);
  }
  return picture;
}

std::string makeTempDir(const std::string& name) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(QN_TEST_TEMP_DIR) / (name + "-" + std::to_string(::getpid()));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  fs::create_directories(dir);
  return dir.string();
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

int runCommand(const std::string& command) { return std::system(command.c_str()); }

std::string commandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

void withFilesOfAtMost(size_t bytes, const std::function<void()>& call) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  const rlimit bound{bytes, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &bound), 0);
  call();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
}

ChildReport runInChild(const std::function<std::string()>& work, unsigned seconds) {
  int channel[2];
  if (pipe(channel) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    alarm(seconds);
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(2);
    const std::string text = work();
    const ssize_t written = write(channel[1], text.data(), text.size());
    _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(channel[1]);
  ChildReport report;
  char buffer[4096];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) report.text.append(buffer, n);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  report.exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return report;
}

}  // namespace qn::testing
