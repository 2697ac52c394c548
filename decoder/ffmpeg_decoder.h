// FFmpegDecoder: cuts a live H.264/H.265 elementary stream into packets with
// FFmpeg's parser and decodes them, one call per received chunk.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

class FFmpegDecoder {
 public:
  FFmpegDecoder() = default;
  ~FFmpegDecoder();
  FFmpegDecoder(const FFmpegDecoder&) = delete;
  FFmpegDecoder& operator=(const FFmpegDecoder&) = delete;

  /// Prepares the object for H.264 (type 1) or H.265 (any other type); sets `ready`.
  void setUp(int type);

  /// Feeds one chunk; returns the frame holding the last picture decoded, or null on failure.
  AVFrame* decode(unsigned char* data, int length, int sequence);

  // Fields, all zero, null or false until setUp.
  AVPacket packet{};                    // points at the parser's output; never owns a buffer
  AVFrame* frame = nullptr;             // receives each decoded picture
  AVCodecParserContext* parser = nullptr;
  const AVCodec* codec = nullptr;       // owned by FFmpeg
  AVCodecContext* codecContext = nullptr;  // its width and height size the bitmaps
  uint8_t* parsedData = nullptr;        // parser output of the last parse
  uint8_t* inputData = nullptr;         // the caller's chunk, borrowed for one call
  int32_t inputRemaining = 0;
  int32_t parsedSize = 0;
  int32_t inputConsumed = 0;
  bool ready = false;
  bool unsupportedFormatLogged = false;  // "unsupported pixel format" said once per decoder
  // The chunk's last bytes, zero-padded: FFmpeg's parsers read up to
  // AV_INPUT_BUFFER_PADDING_SIZE bytes past their input.
  uint8_t paddedTail[2 * AV_INPUT_BUFFER_PADDING_SIZE] = {};

 private:
  /// Where the next parse reads and how many bytes it may take, never past the chunk's end.
  const uint8_t* nextParseInput(int* size);
  /// Sends the parsed packet and takes one picture out; false ends the call with null.
  bool decodeParsedPacket(int sequence);
};
