// decodeVideo: decode a raw H.264 Annex B stream file and save every 20th
// picture as a headerless planar 8-bit 4:2:0 file named "<prefix>-<N>.yuv".
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/error_text.h"
#include "bridge/ffmpeg_compat.h"
#include "decoder/decoder_budget.h"
#include "decoder/picture_limit.h"
#include "tools/ffmpeg_handles.h"
#include "tools/java_paths.h"
#include "tools/parsing_decoder.h"
#include "tools/picked_file.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"
#include "tools/written_file.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace qn::tools {

/// The picture files of one call: their name prefix, the files made for them (none of
/// which may be the input), the free space to leave, how many were saved whole or could
/// not be, and whether the call stopped for the free space.
struct PictureFiles {
  const char* prefix;
  OutputFiles* made;
  int64_t freeSpaceMargin;
  int saved = 0;
  int failed = 0;
  bool stopped = false;
};

namespace {

constexpr int kReadSize = 4096;
constexpr int kSaveEvery = 20;
constexpr int kPicturePlanes = 3;

/// The parser, decoder and buffers one call works with.
struct DecodeJob {
  AVCodecParserContext* parser;
  AVCodecContext* context;
  AVPacket* packet;
  AVFrame* picture;
  PictureFiles* files;
};

/// The decoder's running count of returned pictures (1 for the first).
int pictureCounter(const AVCodecContext* context) {
  return static_cast<int>(picturesReturned(context));
}

/// Bytes per row and rows that a picture file takes from one plane.
struct PlaneShape {
  int rowBytes;
  int rows;
};

/// The 8-bit 4:2:0 geometry of plane 0, 1 or 2 of a width x height picture, rounded down.
PlaneShape pictureFileShape(int plane, int width, int height) {
  if (plane == 0) return {width, height};
  return {width / 2, height / 2};
}

/// Number of planes a picture file takes: the chroma planes only from 2 rows up.
int pictureFilePlanes(const AVFrame* picture) { return picture->height >= 2 ? kPicturePlanes : 1; }

/// True when one plane of the picture holds at least `shape` bytes in memory.
bool planeHolds(const AVFrame* picture, const AVPixFmtDescriptor* format, int plane,
                PlaneShape shape) {
  if (picture->data[plane] == nullptr || picture->linesize[plane] < shape.rowBytes) return false;
  const auto pixelFormat = static_cast<AVPixelFormat>(picture->format);
  if (av_image_get_linesize(pixelFormat, picture->width, plane) < shape.rowBytes) return false;
  const int shift = plane == 0 ? 0 : format->log2_chroma_h;
  return AV_CEIL_RSHIFT(picture->height, shift) >= shape.rows;
}

/// Writes `shape` of one plane, row by row, one fwrite per row.
void writePlane(FILE* file, const uint8_t* data, int lineSize, PlaneShape shape) {
  for (int row = 0; row < shape.rows; row++) {
    fwrite(data + static_cast<ptrdiff_t>(row) * lineSize, 1, shape.rowBytes, file);
  }
}

/// Bytes of the picture file of a picture.
int64_t pictureFileBytes(const AVFrame* picture) {
  int64_t bytes = 0;
  for (int plane = 0; plane < pictureFilePlanes(picture); plane++) {
    const PlaneShape shape = pictureFileShape(plane, picture->width, picture->height);
    bytes += int64_t{shape.rowBytes} * shape.rows;
  }
  return bytes;
}

/// Saves the picture as "<prefix>-<counter>.yuv"; a file that cannot be opened (or is
/// the input) is skipped, and one that cannot be written whole is named in the log. One
/// that would leave less free space than the margin stops the call.
bool savePicture(const AVFrame* picture, int counter, PictureFiles* files) {
  const char* prefix = files->prefix;
  if (!pictureFitsFile(picture)) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
    TOOL_LOGF("Cannot save avFrame %3d: pixel format %s has no 8-bit 4:2:0 planes\n", counter,
              name != nullptr ? name : "none");
    return false;
  }
  TOOL_LOGF("saving avFrame %3d\n", counter);
  char fileName[1024];
  // A cut name would be the same for every picture, each overwriting the last.
  const int length = snprintf(fileName, sizeof fileName, "%s-%d.yuv", prefix, counter);
  if (length < 0 || static_cast<size_t>(length) >= sizeof fileName) {
    errno = ENAMETOOLONG;
    logWithErrno("Could not open out file\n");
    return false;
  }
  const int descriptor = createStreamOutput(files->made, fileName);
  if (descriptor < 0) return false;
  if (!leavesFreeSpace(descriptor, fileName, pictureFileBytes(picture), files->freeSpaceMargin)) {
    ::close(descriptor);
    files->stopped = true;
    return false;
  }
  WrittenFile file(descriptor, fileName);
  if (!file) {
    logWithErrno("Could not open out file\n");
    return false;
  }
  for (int plane = 0; plane < pictureFilePlanes(picture); plane++) {
    writePlane(file.get(), picture->data[plane], picture->linesize[plane],
               pictureFileShape(plane, picture->width, picture->height));
  }
  return file.close();
}

/// Feeds the whole input through the parser, decoding each access unit, until the input
/// ends or the free space stops the call; false on a parser error.
bool decodeInput(InputFile* input, uint8_t* buffer, const DecodeJob& job) {
  while (!job.files->stopped) {
    const int read = input->read(buffer, kReadSize);
    if (read <= 0) break;  // the end, or a read error: both end the reading
    size_t left = static_cast<size_t>(read);
    const uint8_t* cursor = buffer;
    while (left != 0 && !job.files->stopped) {
      const int used = av_parser_parse2(job.parser, job.context, &job.packet->data, &job.packet->size,
                                        cursor, static_cast<int>(left), AV_NOPTS_VALUE,
                                        AV_NOPTS_VALUE, 0);
      if (used < 0) {
        TOOL_LOG("Error while parsing\n");
        return false;
      }
      cursor += used;
      left -= static_cast<size_t>(used);
      if (job.packet->size != 0) decodeVideoPacket(job.context, job.picture, job.packet, job.files);
    }
  }
  return true;
}

/// Gives the decoder the library's picture limit: a stream that declares larger
/// pictures decodes none, instead of filling the storage with huge picture files.
void limitPictureSize(AVCodecContext* context) { context->max_pixels = kMaxPicturePixels; }

/// Flushes the parser at the end of input and decodes the last access unit it still holds.
void decodeHeldAccessUnit(const DecodeJob& job) {
  av_parser_parse2(job.parser, job.context, &job.packet->data, &job.packet->size, nullptr, 0,
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  if (job.packet->size != 0) decodeVideoPacket(job.context, job.picture, job.packet, job.files);
}

}  // namespace

bool pictureFitsFile(const AVFrame* picture) {
  // Only 8-bit 4:2:0 itself: the planes of 4:2:2, 4:4:4 or deeper samples are large
  // enough, but their bytes are not those of the picture in the file's form.
  if (picture->format != AV_PIX_FMT_YUV420P && picture->format != AV_PIX_FMT_YUVJ420P) return false;
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
  if (format == nullptr || picture->width <= 0 || picture->height <= 0) return false;
  const int planes = pictureFilePlanes(picture);
  if (av_pix_fmt_count_planes(static_cast<AVPixelFormat>(picture->format)) < planes) return false;
  for (int plane = 0; plane < planes; plane++) {
    if (!planeHolds(picture, format, plane,
                    pictureFileShape(plane, picture->width, picture->height))) {
      return false;
    }
  }
  return true;
}

void decodeVideoPacket(AVCodecContext* context, AVFrame* picture, const AVPacket* packet,
                       PictureFiles* files) {
  // A packet of more NAL units than a live decoder takes is refused before FFmpeg splits it.
  const bool flooded = packet != nullptr && nalUnitsIn(packet->data, size_t(packet->size),
                                                       kMaxNalUnits) > kMaxNalUnits;
  const int sent = flooded ? AVERROR_INVALIDDATA : avcodec_send_packet(context, packet);
  if (sent < 0) {
    TOOL_LOGF("Error sending a packet for decoding: %s\n", ErrorText(sent).text);
    return;
  }
  for (;;) {
    const int ret = avcodec_receive_frame(context, picture);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    if (ret < 0) {
      TOOL_LOG("Error during decoding\n");
      return;
    }
    if (files->stopped) return;
    const int counter = pictureCounter(context);
    if (counter % kSaveEvery != 0) continue;
    if (savePicture(picture, counter, files)) {
      files->saved++;
    } else {
      files->failed++;
    }
  }
}

int decodeVideoLeaving(const char* input, const char* prefix, int64_t freeSpaceMargin) {
  TOOL_LOG(input);
  TOOL_LOG(prefix);
  Packet packet(av_packet_alloc());
  if (!packet) return 1;
  uint8_t buffer[kReadSize + AV_INPUT_BUFFER_PADDING_SIZE];
  memset(buffer + kReadSize, 0, AV_INPUT_BUFFER_PADDING_SIZE);

  Parser parser;
  CodecContext context;
  if (!openParsingDecoder(AV_CODEC_ID_H264, &parser, &context)) return 1;
  limitPictureSize(context.get());
  InputFile file;
  if (!openStreamInput(&file, input)) return 1;
  Frame picture(av_frame_alloc());
  if (!picture) {
    TOOL_LOG("Could not allocate video avFrame\n");
    return 1;
  }

  OutputFiles made(file.identity());
  PictureFiles files{prefix, &made, freeSpaceMargin};
  const DecodeJob job{parser.get(), context.get(), packet.get(), picture.get(), &files};
  // A parser error ends the call at once: no flush, no drain.
  if (!decodeInput(&file, buffer, job)) return 1;
  if (!files.stopped) {
    decodeHeldAccessUnit(job);
    decodeVideoPacket(context.get(), picture.get(), nullptr, &files);
  }
  if (files.saved == 0 || files.failed > 0) return 1;
  return made.keep() ? 0 : 1;
}

int decodeVideo(const char* input, const char* prefix) {
  return decodeVideoLeaving(input, prefix, kFreeSpaceMargin);
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(decodeVideo)(JNIEnv* env, jobject /*activity*/,
                              jstring input, jstring prefix) {
  return qn::tools::withPaths(env, input, prefix, 1, qn::tools::decodeVideo);
}
