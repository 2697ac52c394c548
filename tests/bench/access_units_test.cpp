// The benchmarks' access unit splitter: it must cut a camera stream exactly
// where the encoder ended each picture, or the app path would be fed chunks
// that are not one picture each.
#include <gtest/gtest.h>

#include <vector>

#include "bench/access_units.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

using qn::bench::AccessUnit;
using qn::bench::splitAccessUnits;

/// The byte ranges as separate byte vectors.
std::vector<std::vector<uint8_t>> cut(const std::vector<uint8_t>& stream, bool hevc) {
  std::vector<std::vector<uint8_t>> pieces;
  for (const AccessUnit& unit : splitAccessUnits(stream.data(), stream.size(), hevc)) {
    pieces.emplace_back(stream.begin() + static_cast<long>(unit.offset),
                        stream.begin() + static_cast<long>(unit.offset + unit.size));
  }
  return pieces;
}

TEST(AccessUnitSplitter, CutsAnH264StreamWhereTheEncoderEndedEachPicture) {
  StreamSpec request;
  request.frames = 12;
  request.gopSize = 5;  // parameter sets and SEI ahead of several key frames
  const EncodedStream stream = encodeStream(request);
  ASSERT_EQ(stream.accessUnits.size(), 12u);
  EXPECT_EQ(cut(stream.bytes, false), stream.accessUnits);
}

TEST(AccessUnitSplitter, CutsAnH265StreamWhereTheEncoderEndedEachPicture) {
  StreamSpec request;
  request.codec = AV_CODEC_ID_HEVC;
  request.frames = 8;
  request.gopSize = 4;
  const EncodedStream stream = encodeStream(request);
  ASSERT_EQ(stream.accessUnits.size(), 8u);
  EXPECT_EQ(cut(stream.bytes, true), stream.accessUnits);
}

TEST(AccessUnitSplitter, KeepsSlicesOfOnePictureTogether) {
  // SPS, PPS, IDR slice (first_mb 0), a second slice of the same picture
  // (first_mb 1, 3-byte start code), then the next picture's first slice.
  const std::vector<uint8_t> stream = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce,
                                       0, 0, 0, 1, 0x65, 0x88, 0x10, 0, 0, 1, 0x65, 0x40, 0x20,
                                       0, 0, 0, 1, 0x41, 0x9a, 0x01};
  const auto units = splitAccessUnits(stream.data(), stream.size(), false);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].offset, 0u);
  EXPECT_EQ(units[0].size, 25u);
  EXPECT_EQ(units[1].offset, 25u);
  EXPECT_EQ(units[1].size, stream.size() - 25);
}

TEST(AccessUnitSplitter, AnswersOddInputWithoutReadingPastIt) {
  const std::vector<uint8_t> noStartCode = {1, 2, 3, 4, 5};
  const std::vector<uint8_t> headerCutOff = {0, 0, 0, 1, 0x65, 0x88, 0, 0, 1};
  const std::vector<uint8_t> sliceHeaderCutOff = {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41};

  EXPECT_TRUE(splitAccessUnits(nullptr, 0, false).empty());
  ASSERT_EQ(splitAccessUnits(noStartCode.data(), noStartCode.size(), true).size(), 1u);
  EXPECT_EQ(splitAccessUnits(noStartCode.data(), noStartCode.size(), true)[0].size, 5u);
  // A trailing start code or slice without its header byte stays with the unit before it.
  EXPECT_EQ(splitAccessUnits(headerCutOff.data(), headerCutOff.size(), false).size(), 1u);
  EXPECT_EQ(splitAccessUnits(sliceHeaderCutOff.data(), sliceHeaderCutOff.size(), false).size(), 1u);
  EXPECT_EQ(splitAccessUnits(sliceHeaderCutOff.data(), sliceHeaderCutOff.size(), true).size(), 1u);
}

}  // namespace
}  // namespace qn::testing
