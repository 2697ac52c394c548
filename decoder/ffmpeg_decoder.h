// FFmpegDecoder: cuts a live H.264/H.265 elementary stream into packets with
// FFmpeg's parser and decodes them, one call per received chunk.
#pragma once

#include <cstdint>

#include "decoder/decoder_budget.h"
#include "decoder/picture_limit.h"
#include "decoder/picture_scaling.h"

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

  /// Feeds one chunk; returns the frame holding the newest picture received, or
  /// null when the chunk's packets gave no picture.
  AVFrame* decode(unsigned char* data, int length, int sequence);

  /// The largest picture (width x height) the decoder accepts (qn::kMaxPicturePixels).
  static constexpr int64_t kMaxPixels = qn::kMaxPicturePixels;

  /// True if a width x height picture is over kMaxPixels; the first such
  /// picture of the decoder is named in one printD line.
  bool isOversize(int width, int height);

  /// Whole-access-unit mode, off by default: while on, each chunk is taken as
  /// one complete access unit in decode order and its picture comes out in the
  /// same call. A chunk that breaks the promise turns the mode off again.
  void setWholeAccessUnits(bool on);

  /// Bitmaps of width x height from the next picture on (0 x 0: the picture's
  /// own size). A bad size is refused with one line and changes nothing.
  void setOutputSize(int width, int height);
  /// The size bitmaps are made in for a picture of the given size.
  void outputSizeFor(int pictureWidth, int pictureHeight, int* width, int* height) const;
  /// The picture box-scaled to the output size, or the picture itself when no
  /// scaling is needed; null if it cannot be scaled.
  const AVFrame* pictureToConvert(const AVFrame* picture, int width, int height);

  /// While on, only key frames are decoded; the other access units are dropped
  /// unseen. Once any unit was dropped, decoding stays on key frames until the
  /// next one, so no picture is decoded from missing references.
  void setKeyFramesOnly(bool on);
  /// True if the last decode call gave no new picture because it only dropped
  /// units or, on key frames, completed none: the call returns null silently.
  bool lastCallWasSkipped() const { return lastCallSkipped; }

  /// Decoding threads: 1 is one thread; more are slice threads, which add no
  /// delay, and also frame threads while frame threads are accepted. Taken at
  /// once before the first chunk, else at the next key frame. Counts outside
  /// 1..kMaxThreads are refused with one line.
  void setThreads(int count);
  /// Accepts frame threads, which spread any stream over the threads at the
  /// cost of count - 1 calls of delay; takes effect as setThreads does.
  void setFrameThreads(bool on);
  static constexpr int kMaxThreads = 16;

  /// Gives up what the decoder holds back while the stream pauses: the unit the
  /// parser waits to end, pictures kept for reordering or by frame threads. Returns
  /// the newest of them, or null when none was held. When the decoder had to be
  /// drained to its end, decoding resumes at the next key frame.
  AVFrame* drain();

  /// What is wrong with a picture the binding is about to convert.
  enum class PictureFault { kNone, kOversize, kNoPlanes, kNoLineSizes, kLineSizesTooShort };
  /// Checks a picture once before any bitmap is made. `newUnsupportedFormat` is
  /// set the first time this decoder meets a format it cannot convert.
  PictureFault checkPicture(const AVFrame* picture, bool* newUnsupportedFormat);

  /// The newest picture received (what decode returns), the codec context, the
  /// reused packet and whether setUp succeeded.
  AVFrame* currentFrame() { return frame; }
  AVCodecContext* context() { return codecContext; }
  const AVCodecContext* context() const { return codecContext; }
  const AVPacket& currentPacket() const { return packet; }
  bool isReady() const { return ready; }
  bool hasNamedUnsupportedFormat() const { return unsupportedFormatLogged; }

 private:
  friend struct FFmpegDecoderInternals;  // the core's own white-box test

  // Fields, all zero, null or false until setUp.
  AVPacket packet{};                    // points at the parser's output; never owns a buffer
  AVFrame* frame = nullptr;             // the newest picture received; what decode returns
  AVCodecParserContext* parser = nullptr;
  const AVCodec* codec = nullptr;       // owned by FFmpeg
  AVCodecContext* codecContext = nullptr;
  uint8_t* parsedData = nullptr;        // parser output of the last parse
  uint8_t* inputData = nullptr;         // the caller's chunk, borrowed for one call
  int32_t inputRemaining = 0;
  int32_t parsedSize = 0;
  int32_t inputConsumed = 0;
  bool ready = false;
  AVFrame* spareFrame = nullptr;        // receives, so a failed receive keeps `frame` whole
  bool oversizeReported = false;        // the size-limit line is written once per decoder
  bool unsupportedFormatLogged = false;  // "unsupported pixel format" said once per decoder
  bool wholeAccessUnits = false;        // each chunk is one whole access unit (the app's promise)
  bool parserHoldsBytes = false;        // the parser has taken chunk bytes the way of partial units
  uint8_t* wholeUnit = nullptr;         // a whole access unit's padded copy; grows, never shrinks
  unsigned int wholeUnitCapacity = 0;
  qn::NalStartCounter nalStarts;        // start codes in the bytes given to the parser
  size_t nalUnitsInParser = 0;          // NAL units the parser holds towards its next packet
  // The chunk's last bytes, zero-padded: FFmpeg's parsers read up to
  // AV_INPUT_BUFFER_PADDING_SIZE bytes past their input.
  uint8_t paddedTail[2 * AV_INPUT_BUFFER_PADDING_SIZE] = {};

  // Output size, 0 x 0 for the picture's own, and the planes scaled pictures are kept in.
  int outputWidth = 0;
  int outputHeight = 0;
  qn::PictureScaler scaler;
  bool keyFramesOnly = false;
  bool skippedSinceKeyFrame = false;  // a unit was dropped: the next non-key units would be damaged
  bool lastCallSkipped = false;
  bool chunkSeen = false;               // threads are set by reopening the codec before this
  bool reopenAtKeyFrame = false;        // thread settings wait for the next key frame
  int threadCount = 1;
  bool frameThreads = false;
  int lastSequence = 0;                 // the sequence of the last chunk, for drain's lines

  /// What the packets of one call gave.
  struct CallOutcome {
    bool completedPacket = false;
    bool receivedPicture = false;
    bool heldBack = false;  // a receive answered EAGAIN
  };

  /// True if the chunk may be parsed as one whole access unit; then `inputData`
  /// is its padded copy. A chunk that breaks the promise turns the mode off.
  bool takeWholeAccessUnit(int sequence, CallOutcome* outcome);
  /// Decodes the access unit the parser still holds and puts a fresh parser in
  /// its place; false (nothing changed) if no parser could be made.
  bool finishPartialUnits(int sequence, CallOutcome* outcome);
  /// Where the next parse reads and how many bytes it may take, never past the chunk's end.
  const uint8_t* nextParseInput(bool whole, int* size);
  /// How much of the next parse input the parser may take so that it never holds
  /// more than qn::kMaxNalUnits NAL units; 0 when it holds that many already.
  int withinNalBound(const uint8_t* input, int size) const;
  /// Counts what the parser took of its input; a completed packet leaves it holding none.
  void countParsed(const uint8_t* input, int used);
  /// Refuses the packet of too many NAL units that the parser holds: its bytes are
  /// dropped with a fresh parser, and the call logs the refusal line.
  void refuseHeldPacket(int sequence, CallOutcome* outcome);
  /// Puts a fresh parser in place of the current one, which is closed with what it
  /// holds; false (nothing changed) if none could be made.
  bool replaceParser();
  /// Closes the parser with what it holds and puts `fresh` in its place.
  void useParser(AVCodecParserContext* fresh);
  /// Logs the refusal line of a packet that never reaches the decoder: too many NAL units.
  void logRefusedPacket(int sequence, CallOutcome* outcome);
  /// Decodes the packet the parser completed, unless it declares an oversized picture.
  void decodeCompletedPacket(int sequence, CallOutcome* outcome);
  /// Sends the parsed packet and takes one picture out. Returns 0 if a new
  /// picture is in `frame`, else the receive's result; a refused packet gives its error.
  int decodeParsedPacket(int sequence);
  /// Takes one picture out into `frame`; returns the receive's result.
  int receivePicture(int sequence);
  /// True if the completed packet is dropped: not a key frame while decoding
  /// stays on key frames. A key frame ends the wait after a drop.
  bool dropsCompletedPacket();
  /// Opens a codec context with the thread settings, in place of the current
  /// one (whose pictures already taken stay in `frame`); false keeps the old one.
  bool openCodecContext();
  /// Takes the thread settings now (before the first chunk) or at the next key frame.
  void applyThreadSettings();
  /// True if the codec may hold pictures back: frame threads at work, or reordering.
  bool mayHoldPictures() const;
  /// Ends the stream for the codec and takes out every picture it held, the newest
  /// staying in `frame`; then the codec starts afresh at the next key frame.
  bool drainCodec();
};

/// Mirrors the codec's variable-frame-size capability (bit 16) into the context's flags.
void mirrorVariableFrameSize(const AVCodec* codec, AVCodecContext* context);
