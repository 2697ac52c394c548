// The demo activity's media tools. Each tool is split into a JNI-free core
// (declared here, testable without a JVM) and its JNI entry point, which takes
// the path texts and hands them to the core.
#pragma once

extern "C" {
#include <libavutil/avutil.h>
}

namespace qn::tools {

/// Logs the path and the container metadata of a media file.
void printFileInfo(const char* path);
/// Copies the best stream of `type` (audio or video) of input into a one-stream file; 0
/// when every packet of the stream was copied and the file completed, else 1 with no file
/// left. (The Java methods answer nothing.)
int extractStream(const char* input, const char* output, AVMediaType type);
/// Remuxes input into output's container; 0 when the whole input was copied and the
/// file completed, else 1.
int remux(const char* input, const char* output);
/// Decodes a raw H.264 stream, saving every 20th picture as prefix-N.yuv; 0 when at
/// least one picture file was saved and none failed, else 1.
int decodeVideo(const char* input, const char* prefix);
/// Encodes the 25-picture test pattern into a raw H.264 stream; 0 when every picture was
/// encoded and the whole stream written, else 1.
int encodeVideo(const char* output);
/// Decodes a raw AAC (ADTS) stream into interleaved raw PCM; 0 when the whole input was
/// parsed and the file holds samples, else 1.
int decodeAudio(const char* input, const char* output);
/// Encodes 200 frames of a 440 Hz tone into a raw MP2 stream; 0 when every frame was
/// encoded and the whole stream written, else 1.
int encodeAudio(const char* output);
/// Resamples a generated stereo 48 kHz tone into 3-channel 44.1 kHz s16 PCM; 0 or 1.
int resampleAudio(const char* output);
/// Scales 100 generated 320x240 pictures to 640x480 RGB24; 0 or 1.
int scaleVideo(const char* output);

}  // namespace qn::tools
