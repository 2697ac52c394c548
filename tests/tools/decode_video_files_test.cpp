// decodeVideo: which pictures become .yuv files, what bytes they hold, and how
// bad input and unwritable output are answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/ffmpeg_handles.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

/// The bytes a picture file must hold: luma, then chroma rounded down to w/2 x h/2.
std::vector<uint8_t> pictureFileBytes(const Picture& picture) {
  std::vector<uint8_t> bytes(picture.y);
  const int stride = (picture.width + 1) / 2;  // Picture keeps rounded-up chroma rows
  for (const std::vector<uint8_t>* plane : {&picture.u, &picture.v}) {
    for (int row = 0; row < picture.height / 2; row++) {
      const auto start = plane->begin() + row * stride;
      bytes.insert(bytes.end(), start, start + picture.width / 2);
    }
  }
  return bytes;
}

/// Names of the files in a directory, sorted.
std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

/// Writes an encoded stream of the recipe to dir/stream.h264 and returns its path.
std::string writeStream(const std::string& dir, const StreamSpec& recipe, EncodedStream* stream) {
  *stream = encodeStream(recipe);
  const std::string path = dir + "/stream.h264";
  EXPECT_TRUE(writeFile(path, stream->bytes));
  return path;
}

/// Runs the tool and returns its log lines; fails the test unless it gives the answer:
/// 0 when it saved picture files and none failed, else 1.
std::vector<std::string> decodeLog(const std::string& input, const std::string& prefix,
                                   int answer = 0) {
  takeAndroidLog();
  EXPECT_EQ(tools::decodeVideo(input.c_str(), prefix.c_str()), answer) << input;
  return takeAndroidLogTexts();
}

struct SavedPicturesCase {
  const char* name;
  int frames;
  int bFrames;
};
void PrintTo(const SavedPicturesCase& c, std::ostream* os) { *os << c.name; }

class DecodeVideoSavesEveryTwentiethPicture : public ::testing::TestWithParam<SavedPicturesCase> {};

// The last access unit comes out of the parser only when it is flushed, and
// B-frame pictures only when the decoder is drained: both must be saved.
TEST_P(DecodeVideoSavesEveryTwentiethPicture, AsTheLinesPicture20And40WithTheirDecodedPlanes) {
  const SavedPicturesCase& param = GetParam();
  const std::string dir = makeTempDir(std::string("decode-video-") + param.name);
  StreamSpec recipe;
  recipe.frames = param.frames;
  recipe.bFrames = param.bFrames;
  EncodedStream stream;
  const std::string input = writeStream(dir, recipe, &stream);
  const std::vector<Picture> reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  ASSERT_EQ(reference.size(), static_cast<size_t>(param.frames));

  const std::string prefix = dir + "/out";
  EXPECT_EQ(decodeLog(input, prefix),
            (std::vector<std::string>{input, prefix, "saving avFrame  20\n", "saving avFrame  40\n"}));
  EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"out-20.yuv", "out-40.yuv", "stream.h264"}));
  EXPECT_TRUE(readFile(prefix + "-20.yuv") == pictureFileBytes(reference[19]));
  EXPECT_TRUE(readFile(prefix + "-40.yuv") == pictureFileBytes(reference[39]));
  EXPECT_EQ(readFile(prefix + "-40.yuv").size(), 352u * 288 + 2 * 176 * 144);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeVideoSavesEveryTwentiethPicture,
                         ::testing::Values(SavedPicturesCase{"FortyFivePictures", 45, 0},
                                           SavedPicturesCase{"ExactlyFortyPictures", 40, 0},
                                           SavedPicturesCase{"FortyWithReordering", 40, 2},
                                           SavedPicturesCase{"FortyFiveWithReordering", 45, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeVideoSavesNothing, ForAStreamOfFewerThanTwentyPictures) {
  const std::string dir = makeTempDir("decode-video-short");
  StreamSpec recipe;
  recipe.frames = 19;
  EncodedStream stream;
  const std::string input = writeStream(dir, recipe, &stream);
  // Nothing written: 1.
  EXPECT_EQ(decodeLog(input, dir + "/out", 1), (std::vector<std::string>{input, dir + "/out"}));
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"stream.h264"});
}

/// Encodes 25 pictures of the ffmpeg test source with libx264 in a pixel format and size.
std::vector<uint8_t> ffmpegStream(const std::string& dir, const char* pixelFormat, const char* size) {
  const std::string path = dir + "/stream.h264";
  const std::string command = std::string("ffmpeg -v error -y -f lavfi -i testsrc=size=") + size +
                              ":rate=25 -frames:v 25 -c:v libx264 -pix_fmt " + pixelFormat +
                              " -f h264 " + path;
  EXPECT_EQ(runCommand(command), 0) << command;
  return readFile(path);
}

struct GeometryCase {
  const char* name;
  const char* pixelFormat;
  const char* size;
  int width;
  int height;
  bool saved;  // false: the pictures are not 8-bit 4:2:0, and the call answers 1
};
void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

class DecodeVideoPictureGeometry : public ::testing::TestWithParam<GeometryCase> {};

// H.264 4:2:0 sizes are always even, so odd sizes come from monochrome
// (decoded as 4:2:0 with 177 x 145 chroma) and 4:4:4 streams. Pictures of 4:4:4, 4:2:2
// or 10 bits are not saved as if they were 8-bit 4:2:0: the call answers 1, no file left.
TEST_P(DecodeVideoPictureGeometry, IsEightBitFourTwoZeroRoundedDownOrNone) {
  const GeometryCase& param = GetParam();
  const std::string dir = makeTempDir(std::string("decode-video-") + param.name);
  const std::vector<uint8_t> stream = ffmpegStream(dir, param.pixelFormat, param.size);
  ASSERT_FALSE(stream.empty());
  const std::vector<Picture> reference = referenceDecode(stream, AV_CODEC_ID_H264);
  ASSERT_EQ(reference.size(), 25u);
  ASSERT_EQ(reference[19].width, param.width);
  ASSERT_EQ(reference[19].height, param.height);

  const std::vector<std::string> log = decodeLog(dir + "/stream.h264", dir + "/out", param.saved ? 0 : 1);
  if (!param.saved) {
    EXPECT_EQ(log.back(), std::string("Cannot save avFrame  20: pixel format ") +
                              param.pixelFormat + " has no 8-bit 4:2:0 planes\n");
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"stream.h264"});
    EXPECT_EQ(readFile(dir + "/stream.h264"), stream);  // the input as it was
    return;
  }
  const std::vector<uint8_t> saved = readFile(dir + "/out-20.yuv");
  EXPECT_EQ(saved.size(), static_cast<size_t>(param.width * param.height +
                                              2 * (param.width / 2) * (param.height / 2)));
  EXPECT_TRUE(saved == pictureFileBytes(reference[19]));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DecodeVideoPictureGeometry,
    ::testing::Values(GeometryCase{"OddMonochrome", "gray", "353x289", 353, 289, true},
                      GeometryCase{"OddFourFourFour", "yuv444p", "353x289", 353, 289, false},
                      GeometryCase{"FourTwoTwo", "yuv422p", "352x288", 352, 288, false},
                      GeometryCase{"TenBit", "yuv420p10le", "352x288", 352, 288, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeVideoBadInput, MissingInputLogsTheOpenFailureAndWritesNothing) {
  const std::string dir = makeTempDir("decode-video-missing");
  const std::string input = dir + "/absent.h264";
  EXPECT_EQ(decodeLog(input, dir + "/out", 1),
            (std::vector<std::string>{input, dir + "/out", "Could not open in file\n",
                                      "No such file or directory"}));
  EXPECT_TRUE(filesIn(dir).empty());
}

TEST(DecodeVideoBadInput, EmptyInputLogsOnlyThePaths) {
  const std::string dir = makeTempDir("decode-video-empty");
  const std::string input = dir + "/empty.h264";
  ASSERT_TRUE(writeFile(input, {}));
  EXPECT_EQ(decodeLog(input, dir + "/out", 1), (std::vector<std::string>{input, dir + "/out"}));
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"empty.h264"});
}

TEST(DecodeVideoBadInput, DirectoryGarbageAndTruncatedStreamsEndWithoutAFile) {
  const std::string dir = makeTempDir("decode-video-garbage");
  std::vector<uint8_t> garbage(50000);
  for (size_t i = 0; i < garbage.size(); i++) garbage[i] = static_cast<uint8_t>(i * 7919 >> 3);
  ASSERT_TRUE(writeFile(dir + "/garbage.h264", garbage));
  StreamSpec recipe;
  recipe.frames = 25;
  EncodedStream stream = encodeStream(recipe);
  stream.bytes.resize(stream.bytes.size() / 3);
  ASSERT_TRUE(writeFile(dir + "/cut.h264", stream.bytes));

  for (const char* name : {"", "/garbage.h264", "/cut.h264"}) {
    decodeLog(dir + name, dir + "/out", 1);  // the directory itself reads as nothing
  }
  EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"cut.h264", "garbage.h264"}));
}

/// Writes a 40-picture stream to dir/stream.h264 and returns its path.
std::string writeFortyPictures(const std::string& dir) {
  StreamSpec recipe;
  recipe.frames = 40;
  EncodedStream stream;
  return writeStream(dir, recipe, &stream);
}

/// The log of a 40-picture run whose two picture files cannot be opened for `reason`.
std::vector<std::string> twoFailedSaves(const std::string& input, const std::string& prefix,
                                        const std::string& reason) {
  return {input, prefix, "saving avFrame  20\n", "Could not open out file\n", reason,
          "saving avFrame  40\n", "Could not open out file\n", reason};
}

TEST(DecodeVideoBadInput, UnwritablePrefixLogsEachSaveAndDecodesToTheEnd) {
  const std::string dir = makeTempDir("decode-video-unwritable");
  const std::string input = writeFortyPictures(dir);
  const std::string prefix = dir + "/missing/out";
  // Picture 40 is the flushed last access unit: reaching it shows decoding ran to the end.
  EXPECT_EQ(decodeLog(input, prefix, 1),
            twoFailedSaves(input, prefix, "No such file or directory"));
}

TEST(DecodeVideoBadInput, APrefixThatLeavesNoRoomForTheNameWritesNoFile) {
  const std::string dir = makeTempDir("decode-video-long-prefix");
  const std::string input = writeFortyPictures(dir);
  // Directories of 100-byte names until the prefix is 1020 bytes: "<prefix>-20.yuv" needs
  // 1027, and a name cut to 1023 bytes ("<prefix>-20") would still open.
  std::string deep = dir;
  while (deep.size() + 101 + 10 < 1020) {
    deep += "/" + std::string(100, 'd');
    ASSERT_TRUE(std::filesystem::create_directory(deep));
  }
  const std::string prefix = deep + "/" + std::string(1020 - deep.size() - 1, 'p');
  ASSERT_EQ(prefix.size(), 1020u);
  EXPECT_EQ(decodeLog(input, prefix, 1), twoFailedSaves(input, prefix, "File name too long"));
  EXPECT_TRUE(filesIn(deep).empty());
}

TEST(DecodeVideoBadInput, APictureFileNameThatLinksToADeviceIsReplacedNotWrittenThrough) {
  const std::string dir = makeTempDir("decode-video-full");
  const std::string input = writeFortyPictures(dir);
  // Picture 20's name links to the full device; the picture replaces the link.
  const std::string linked = dir + "/out-20.yuv";
  std::filesystem::create_symlink("/dev/full", linked);
  EXPECT_EQ(decodeLog(input, dir + "/out", 0),
            (std::vector<std::string>{input, dir + "/out", "saving avFrame  20\n",
                                      "saving avFrame  40\n"}));
  EXPECT_FALSE(std::filesystem::is_symlink(linked));
  EXPECT_EQ(readFile(linked).size(), 352u * 288 + 2 * 176 * 144);
  EXPECT_EQ(readFile(dir + "/out-40.yuv").size(), 352u * 288 + 2 * 176 * 144);
}

/// A frame with its own buffers in a pixel format and size.
tools::Frame allocatedFrame(AVPixelFormat format, int width, int height) {
  tools::Frame frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  return frame;
}

TEST(PictureFitsFile, AcceptsEightBitFourTwoZeroOnly) {
  EXPECT_TRUE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV420P, 353, 289).get()));
  EXPECT_TRUE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUVJ420P, 2, 2).get()));
  // One row: only the luma plane is written.
  EXPECT_TRUE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV420P, 16, 1).get()));
}

TEST(PictureFitsFile, RejectsOtherFormatsAndPicturesWhoseChromaPlanesAreMissingOrSmaller) {
  // Planes large enough, but not the samples of an 8-bit 4:2:0 file.
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV422P, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV444P, 353, 289).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV420P10LE, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_GBRP, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_GRAY8, 16, 1).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_GRAY8, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_NV12, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV410P, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_YUV411P, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_RGB24, 352, 288).get()));
  EXPECT_FALSE(tools::pictureFitsFile(allocatedFrame(AV_PIX_FMT_PAL8, 352, 288).get()));

  tools::Frame frame = allocatedFrame(AV_PIX_FMT_YUV420P, 352, 288);
  frame->linesize[1] = 100;  // rows narrower than the 176 bytes a file row takes
  EXPECT_FALSE(tools::pictureFitsFile(frame.get()));
  frame->linesize[1] = frame->linesize[2];
  frame->data[2] = nullptr;
  EXPECT_FALSE(tools::pictureFitsFile(frame.get()));
  frame->data[2] = frame->data[1];
  frame->format = AV_PIX_FMT_NONE;
  EXPECT_FALSE(tools::pictureFitsFile(frame.get()));
}

}  // namespace
}  // namespace qn::testing
