// Raw-PCM format names, as the ffplay command line of the playback hints spells them.
#pragma once

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace qn::tools {

/// Raw-PCM format names of the ffplay command line for one packed sample format.
struct PcmFormatName {
  AVSampleFormat format;
  const char* bigEndian;
  const char* littleEndian;
};

/// Packed sample formats the playback hints can name, indexed by their value.
inline constexpr PcmFormatName pcmFormatNames[] = {
    {AV_SAMPLE_FMT_U8, "u8", "u8"},
    {AV_SAMPLE_FMT_S16, "s16be", "s16le"},
    {AV_SAMPLE_FMT_S32, "s32be", "s32le"},
    {AV_SAMPLE_FMT_FLT, "f32be", "f32le"},
    {AV_SAMPLE_FMT_DBL, "f64be", "f64le"},
};

/// The raw-PCM name of a packed format in this machine's byte order, or null.
inline const char* pcmFormatName(AVSampleFormat format) {
  const int index = static_cast<int>(format);
  if (index < 0 || index >= static_cast<int>(sizeof pcmFormatNames / sizeof pcmFormatNames[0])) {
    return nullptr;
  }
  const PcmFormatName& row = pcmFormatNames[index];
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return row.bigEndian;
#else
  return row.littleEndian;
#endif
}

}  // namespace qn::tools
