// scaleVideo: scale 100 generated 320x240 YUV 4:2:0 pictures to 640x480
// packed RGB24 with bilinear filtering and write them back to back, headerless.
#include <memory>

#include "tools/java_paths.h"
#include "tools/test_pattern.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"
#include "tools/written_file.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace qn::tools {
namespace {

constexpr const char* kDestinationSize = "640x480";
constexpr int kSourceWidth = 320;
constexpr int kSourceHeight = 240;
constexpr AVPixelFormat kSourceFormat = AV_PIX_FMT_YUV420P;
constexpr AVPixelFormat kDestinationFormat = AV_PIX_FMT_RGB24;
constexpr int kPictures = 100;

struct ScaleContextFreer {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using ScaleContext = std::unique_ptr<SwsContext, ScaleContextFreer>;

/// Plane pointers and line sizes of one av_image_alloc image; plane 0 owns all planes.
struct Image {
  uint8_t* planes[4] = {};
  int lineSizes[4] = {};
  Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image() { av_freep(&planes[0]); }
};

/// Scales and writes every picture, and closes the file; the status stays as it was
/// unless a write fails (full disk, broken device), which the file's closing names.
int scalePictures(SwsContext* scaler, Image& source, Image& destination, int pictureBytes,
                  WrittenFile& file) {
  for (int i = 0; i < kPictures; i++) {
    fillTestPattern(source.planes, source.lineSizes, kSourceWidth, kSourceHeight, i);
    sws_scale(scaler, source.planes, source.lineSizes, 0, kSourceHeight, destination.planes,
              destination.lineSizes);
    if (fwrite(destination.planes[0], 1, static_cast<size_t>(pictureBytes), file.get()) !=
        static_cast<size_t>(pictureBytes)) {
      file.close();
      return AVERROR(EIO);
    }
  }
  return file.close() ? pictureBytes : AVERROR(EIO);
}

/// Opens the output, creates the scaler and images, and writes all pictures, leaving
/// `freeSpaceMargin` free on the output's file system; the status.
int scaleToFile(const char* path, int width, int height, int64_t freeSpaceMargin) {
  // The pictures are written beside their name, which they take only when all are whole.
  OutputFiles made;
  WrittenFile file(createStdioOutput(&made, path, "Could not open destination file %s\n"), path,
                   kDestinationWriteFailure);
  if (!file) return AVERROR(EINVAL);
  ScaleContext scaler(sws_getContext(kSourceWidth, kSourceHeight, kSourceFormat, width, height,
                                     kDestinationFormat, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scaler) {
    TOOL_LOGF("Impossible to create scale context for the conversion fmt:%s s:%dx%d -> fmt:%s "
              "s:%dx%d\n",
              av_get_pix_fmt_name(kSourceFormat), kSourceWidth, kSourceHeight,
              av_get_pix_fmt_name(kDestinationFormat), width, height);
    return AVERROR(EINVAL);
  }
  Image source;
  int status = av_image_alloc(source.planes, source.lineSizes, kSourceWidth, kSourceHeight,
                              kSourceFormat, 16);
  if (status < 0) {
    TOOL_LOG("Could not allocate source image\n");
    return status;
  }
  // Alignment 1: rows follow each other, so the buffer is exactly one raw picture.
  Image destination;
  status = av_image_alloc(destination.planes, destination.lineSizes, width, height,
                          kDestinationFormat, 1);
  if (status < 0) {
    TOOL_LOG("Could not allocate destination image\n");
    return status;
  }
  if (!leavesFreeSpace(fileno(file.get()), path, int64_t{status} * kPictures, freeSpaceMargin)) {
    return AVERROR(ENOSPC);
  }
  status = scalePictures(scaler.get(), source, destination, status, file);
  if (status >= 0 && !made.keep()) status = AVERROR(EIO);
  if (status >= 0) {
    TOOL_LOGF("Scaling succeeded. Play the output file with the command:\nffplay -f rawvideo "
              "-pix_fmt %s -video_size %dx%d %s\n",
              av_get_pix_fmt_name(kDestinationFormat), width, height, path);
  }
  return status;
}

/// Parses the fixed destination size text; false (logged) when it does not parse.
bool destinationSize(int* width, int* height) {
  if (av_parse_video_size(width, height, kDestinationSize) < 0) {
    TOOL_LOGF("Invalid size '%s', must be in the form WxH or a valid size abbreviation\n",
              kDestinationSize);
    return false;
  }
  return true;
}

}  // namespace

int scaleVideoLeaving(const char* output, int64_t freeSpaceMargin) {
  int width = 0;
  int height = 0;
  if (!destinationSize(&width, &height)) return 1;
  TOOL_LOG(output);
  return scaleToFile(output, width, height, freeSpaceMargin) < 0 ? 1 : 0;
}

int scaleVideo(const char* output) { return scaleVideoLeaving(output, kFreeSpaceMargin); }

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(scaleVideo)(JNIEnv* env, jobject /*activity*/,
                              jstring output) {
  return qn::tools::withPath(env, output, 1, qn::tools::scaleVideo);
}
