// Inner steps and rules of the tools, exposed for their tests.
#pragma once

#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/common.h>
#include <libavutil/frame.h>
}

namespace qn::tools {

// ---- Inner steps of the video tools. ----

/// decodeVideo, stopping (answer 1) before a picture file would leave less than
/// `freeSpaceMargin` bytes free on its file system.
int decodeVideoLeaving(const char* input, const char* prefix, int64_t freeSpaceMargin);

struct PictureFiles;
/// Sends one packet (null drains) and saves every 20th picture the decoder returns.
void decodeVideoPacket(AVCodecContext* context, AVFrame* picture, const AVPacket* packet,
                       PictureFiles* files);
/// True when the picture's memory holds the 8-bit 4:2:0 planes a .yuv picture file takes.
bool pictureFitsFile(const AVFrame* picture);

/// scaleVideo, answering 1 without scaling when its file would leave less than
/// `freeSpaceMargin` bytes free on its file system.
int scaleVideoLeaving(const char* output, int64_t freeSpaceMargin);

/// Sends one picture (null drains) and writes every packet the encoder returns to output;
/// false when the encoder refused the picture or failed.
bool encodeVideoFrame(AVCodecContext* context, const AVFrame* picture, AVPacket* packet,
                      FILE* output);

// ---- Inner steps of the audio tools. ----

/// decodeAudio, stopping (answer 1) before the output would leave less than
/// `freeSpaceMargin` bytes free on its file system.
int decodeAudioLeaving(const char* input, const char* output, int64_t freeSpaceMargin);

/// resampleAudio, answering 1 without converting when its file would leave less than
/// `freeSpaceMargin` bytes free on its file system.
int resampleAudioLeaving(const char* output, int64_t freeSpaceMargin);

// ---- Inner rules of the audio encoder. ----

/// The rate nearest to 44100 of a 0-terminated list (first of equals); 44100 for no list.
int chooseSampleRate(const int* rates);
/// The layout with the most channels of a 0-terminated list (first of equals); stereo for no list.
uint64_t chooseChannelLayout(const uint64_t* layouts);
/// Fills n instants of c interleaved channels with the 440 Hz tone, advancing the phase.
void fillTone(int16_t* samples, int n, int channels, float* phase, float step);

/// The number of channels of a 64-bit channel mask: one per bit.
inline int layoutChannelCount(uint64_t layout) { return av_popcount64(layout); }

}  // namespace qn::tools
