#include "decoder/decoder_budget.h"

#include <atomic>
#include <new>

#include "bridge/ffmpeg_compat.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace qn {
namespace {

/// The picture memory of one decoder context. The context holds one share and
/// every picture buffer it handed out another, so the count outlives whichever
/// goes last (a picture may be released after its decoder is freed).
struct PictureBudget {
  std::atomic<int64_t> heldBytes{0};
  std::atomic<int> shares{1};
  std::atomic<bool> refused{false};

  /// Gives up one share; the last one frees the budget.
  void release() {
    if (shares.fetch_sub(1) == 1) delete this;
  }
};

/// One buffer FFmpeg's default get_buffer2 gave, counted until its last reference goes.
struct CountedBuffer {
  AVBufferRef* pooled;  // FFmpeg's own buffer, returned to its pool when this one goes
  PictureBudget* budget;
  size_t size;
};

/// Frees a counted buffer: FFmpeg's goes back to its pool, the budget gets its bytes back.
void releaseCountedBuffer(void* opaque, uint8_t* /*data*/) {
  auto* counted = static_cast<CountedBuffer*>(opaque);
  counted->budget->heldBytes -= static_cast<int64_t>(counted->size);
  av_buffer_unref(&counted->pooled);
  counted->budget->release();
  delete counted;
}

/// Puts a counted buffer over `*slot` (FFmpeg's); false (slot unchanged) when out of memory.
bool countBuffer(AVBufferRef** slot, PictureBudget* budget) {
  auto* counted = new (std::nothrow) CountedBuffer{*slot, budget, (*slot)->size};
  if (counted == nullptr) return false;
  AVBufferRef* wrapper =
      av_buffer_create((*slot)->data, (*slot)->size, releaseCountedBuffer, counted, 0);
  if (wrapper == nullptr) {
    delete counted;
    return false;
  }
  budget->heldBytes += static_cast<int64_t>(counted->size);
  budget->shares++;
  *slot = wrapper;
  return true;
}

/// Bytes in all the buffers of a frame.
int64_t bufferBytes(const AVFrame* frame) {
  int64_t bytes = 0;
  for (const AVBufferRef* buffer : frame->buf) bytes += buffer != nullptr ? buffer->size : 0;
  for (int i = 0; i < frame->nb_extended_buf; i++) bytes += frame->extended_buf[i]->size;
  return bytes;
}

/// Fewest bytes a picture of the frame's format and size takes, before FFmpeg's padding.
int64_t leastPictureBytes(const AVCodecContext* context, const AVFrame* frame) {
  if (context->codec_type != AVMEDIA_TYPE_VIDEO) return 0;
  const int bytes = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format),
                                             frame->width, frame->height, 1);
  return bytes > 0 ? bytes : 0;
}

/// The context's get_buffer2: FFmpeg's default, counted and held to kMaxPictureBytes.
int countedGetBuffer2(AVCodecContext* context, AVFrame* frame, int flags) {
  auto* budget = static_cast<PictureBudget*>(context->opaque);
  // A picture sure not to fit is refused before FFmpeg's pool grows by it.
  if (budget->heldBytes + leastPictureBytes(context, frame) > kMaxPictureBytes) {
    budget->refused = true;
    return AVERROR(ENOMEM);
  }
  const int ret = avcodec_default_get_buffer2(context, frame, flags);
  if (ret < 0) return ret;
  bool counted = budget->heldBytes + bufferBytes(frame) <= kMaxPictureBytes;
  for (AVBufferRef*& buffer : frame->buf) {
    if (counted && buffer != nullptr) counted = countBuffer(&buffer, budget);
  }
  for (int i = 0; counted && i < frame->nb_extended_buf; i++) {
    counted = countBuffer(&frame->extended_buf[i], budget);
  }
  if (counted) return 0;
  av_frame_unref(frame);  // counted buffers give their bytes back, the others go to the pool
  budget->refused = true;
  return AVERROR(ENOMEM);
}

/// The budget of a context that has one, else null.
PictureBudget* budgetOf(const AVCodecContext* context) {
  if (context == nullptr || context->get_buffer2 != countedGetBuffer2) return nullptr;
  return static_cast<PictureBudget*>(context->opaque);
}

}  // namespace

bool limitPictureMemory(AVCodecContext* context, const AVCodecContext* sharedWith) {
  PictureBudget* budget = budgetOf(sharedWith);
  if (budget != nullptr) {
    budget->shares++;
  } else {
    budget = new (std::nothrow) PictureBudget;
    if (budget == nullptr) return false;
  }
  context->opaque = budget;
  context->get_buffer2 = countedGetBuffer2;
  markGetBufferThreadSafe(context);  // its count is atomic
  return true;
}

int64_t pictureBytesHeld(const AVCodecContext* context) {
  const PictureBudget* budget = budgetOf(context);
  return budget != nullptr ? budget->heldBytes.load() : 0;
}

bool pictureBudgetRefused(const AVCodecContext* context) {
  const PictureBudget* budget = budgetOf(context);
  return budget != nullptr && budget->refused;
}

void freeDecoderContext(AVCodecContext** context) {
  PictureBudget* budget = budgetOf(*context);
  avcodec_free_context(context);
  if (budget != nullptr) budget->release();
}

size_t NalStartCounter::headWithin(const uint8_t* data, size_t size, size_t allowed) const {
  int zeros = zeros_;
  size_t ended = 0;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 1 && zeros >= 2 && ended++ == allowed) return i >= 2 ? i - 2 : 0;
    zeros = data[i] == 0 ? (zeros < 2 ? zeros + 1 : 2) : 0;
  }
  return size;
}

size_t NalStartCounter::take(const uint8_t* data, size_t size) {
  size_t ended = 0;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 1 && zeros_ >= 2) ended++;
    zeros_ = data[i] == 0 ? (zeros_ < 2 ? zeros_ + 1 : 2) : 0;
  }
  return ended;
}

size_t nalUnitsIn(const uint8_t* data, size_t size, size_t limit) {
  NalStartCounter counter;
  const size_t head = counter.headWithin(data, size, limit);
  return head == size ? counter.take(data, size) : limit + 1;
}

}  // namespace qn
