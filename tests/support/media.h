// Test media made at test time: H.264/H.265 elementary streams from FFmpeg's
// encoders, an independent reference decode, and small file helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qn::testing {

/// What the pictures of a stream show (when not a flat colour).
enum class Content {
  kPattern,   // a moving pattern with detail in every plane
  kBars,      // the eight 100 % colour bars of the stream's matrix and range
  kGradient,  // luma and both chroma planes ramped over their whole code range, with noise
  kCameraScene,  // moderate colours, edges, shading and texture, as a camera sees a scene
};

/// What to encode: a moving pattern of `frames` pictures.
struct StreamSpec {
  AVCodecID codec = AV_CODEC_ID_H264;
  int width = 352;
  int height = 288;
  int frames = 30;
  int bFrames = 0;     // > 0 gives a stream with reordering delay
  int gopSize = 12;
  int fps = 25;
  int64_t bitRate = 0; // 0: constant quality
  int solidY = -1;     // 0..255: every picture is the flat colour (solidY, solidU, solidV)
  int solidU = 128;
  int solidV = 128;
  Content content = Content::kPattern;
  // Pixel format and colour signalling given to the encoder; values in the
  // pattern and solid colours are 8-bit and scaled up for deeper formats.
  AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
  AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
  AVColorRange colorRange = AVCOL_RANGE_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  std::string encoderParams;  // more x264-params / x265-params, e.g. "slices=4"
};

/// A moving pattern of `frames` width x height pictures in the given pixel format and colour signalling.
StreamSpec colourRecipe(AVCodecID codec, AVPixelFormat format, AVColorSpace colorspace,
                        AVColorRange range, int width, int height, int frames);

/// An Annex B elementary stream and its access units (one encoder packet each).
struct EncodedStream {
  std::vector<uint8_t> bytes;
  std::vector<std::vector<uint8_t>> accessUnits;
};

/// Encodes the recipe with libx264 / libx265; fails the test if the encoder is missing.
EncodedStream encodeStream(const StreamSpec& recipe);

/// A decoded picture as tightly packed 8-bit 4:2:0 planes.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;
};

/// Frees an AVFrame.
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FrameHandle = std::unique_ptr<AVFrame, FrameFree>;

/// Decodes a whole elementary stream independently (parser flushed, decoder
/// drained) with the given AVCodecContext flags; every decoded frame as FFmpeg gave it.
std::vector<FrameHandle> referenceDecodeFrames(const std::vector<uint8_t>& stream, AVCodecID codec,
                                               int contextFlags = 0);

/// Decodes a whole elementary stream independently (parser flushed, decoder drained).
std::vector<Picture> referenceDecode(const std::vector<uint8_t>& stream, AVCodecID codec,
                                     int contextFlags = 0);

/// The ARGB_8888 bitmap bytes (R, G, B, A) of a picture, by libyuv's I420ToABGR.
std::vector<uint8_t> toBitmapBytes(const Picture& picture);

/// Copies a frame's visible 8-bit 4:2:0 planes, dropping line padding.
Picture copyPicture(const AVFrame* frame);

/// A fresh empty directory for this test process, under the build tree's temp folder.
std::string makeTempDir(const std::string& name);

/// Reads a whole file (empty if missing).
std::vector<uint8_t> readFile(const std::string& path);

/// Writes bytes to a file; false on failure.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

/// True if the path exists.
bool fileExists(const std::string& path);

/// Runs a shell command (the ffmpeg tool, ffprobe, ...); returns its exit status.
int runCommand(const std::string& command);

/// Runs a shell command and returns what it printed on standard output.
std::string commandOutput(const std::string& command);

/// What a child process made by runInChild reported, and whether it exited normally.
struct ChildReport {
  bool exited = false;  // returned from its work: no crash, no signal, no hang past its alarm
  std::string text;
};

/// Runs `work` in a forked child, with standard output sent to /dev/null and an alarm after
/// `seconds`; the text it returns comes back through a pipe.
ChildReport runInChild(const std::function<std::string()>& work, unsigned seconds = 300);

/// Runs `call` while this process's files may not grow beyond `bytes`, with SIGXFSZ ignored
/// so the write that would pass the bound fails as it does on full storage.
void withFilesOfAtMost(size_t bytes, const std::function<void()>& call);

}  // namespace qn::testing
