#include "decoder/colour_tables.h"

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "bridge/bridge.h"

namespace qn {
namespace {

/// A matrix by its luma weights (Kr, Kb).
struct Weights {
  double kr;
  double kb;
};

/// The matrices a picture can signal that the library has exact tables for.
enum MatrixIndex { kBt601, kBt709, kBt2020, kFcc, kSmpte240, kMatrixCount };

constexpr Weights kWeights[kMatrixCount] = {
    {0.299, 0.114}, {0.2126, 0.0722}, {0.2627, 0.0593}, {0.30, 0.11}, {0.212, 0.087}};

/// The matrix a picture signals, or -1 for none the library knows (it is then
/// converted as libyuv converts unsignalled pictures: BT.601).
int matrixIndex(AVColorSpace colorspace) {
  switch (colorspace) {
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return kBt601;
    case AVCOL_SPC_BT709:
      return kBt709;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:  // constant luminance is taken as non-constant
      return kBt2020;
    case AVCOL_SPC_FCC:
      return kFcc;
    case AVCOL_SPC_SMPTE240M:
      return kSmpte240;
    default:
      return -1;
  }
}

/// libyuv's own V/U-swapped table for the matrix and range.
const libyuv::YuvConstants* libyuvTable(AVColorSpace colorspace, bool fullRange) {
  switch (colorspace) {
    case AVCOL_SPC_BT709:
      return fullRange ? &libyuv::kYvuF709Constants : &libyuv::kYvuH709Constants;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return fullRange ? &libyuv::kYvuV2020Constants : &libyuv::kYvu2020Constants;
    default:
      // BT.601 and pictures that signal no matrix: limited range is exactly
      // what I420ToABGR does.
      return fullRange ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants;
  }
}

/// The textbook gains of a matrix and range on 8-bit code values.
struct Gains {
  double y;       // per luma step above black
  double black;   // luma code of black
  double ub, ug, vg, vr;  // per chroma step from neutral
};

Gains gainsOf(Weights w, bool fullRange) {
  const double kg = 1 - w.kr - w.kb;
  const double c = fullRange ? 1.0 : 255.0 / 224;
  return {fullRange ? 1.0 : 255.0 / 219,
          fullRange ? 0.0 : 16.0,
          2 * (1 - w.kb) * c,
          2 * (1 - w.kb) * w.kb / kg * c,
          2 * (1 - w.kr) * w.kr / kg * c,
          2 * (1 - w.kr) * c};
}

/// libyuv's fixed-point form of the gains: chroma gains in 1/64 (unsigned
/// bytes, so at most 255/64), the luma gain in 1/64 scaled for the way its
/// readers widen luma to 16 bits, the bias in 1/64 with the rounding half included.
struct FixedGains {
  int yg, yb, ub, ug, vg, vr;
};

FixedGains fixedGainsOf(const Gains& g, bool fullRange, bool tenBit) {
  // libyuv widens luma codes to y * 65535 / largest code (8-bit: y * 257;
  // 10-bit: (y << 6) | (y >> 4)) and reads 10-bit chroma as 8-bit levels (c >> 2).
  const double largestCode = tenBit ? 1023 : 255;
  // 8-bit levels per luma code: a quarter for limited-range 10-bit (64..940 is
  // 16..235), a full-range code spans 0..1023 as 0..255.
  const double lumaLevels = tenBit && !fullRange ? 0.25 : 255 / largestCode;
  const double chromaScale = tenBit && fullRange ? 1020.0 / 1023 : 1.0;
  const auto fixed = [](double gain) { return static_cast<int>(std::lround(gain * 64)); };
  return {static_cast<int>(std::lround(g.y * 64 * lumaLevels * largestCode * 65536 / 65535)),
          static_cast<int>(std::lround(-g.black * g.y * 64 + 32)),
          fixed(g.ub * chromaScale),
          fixed(g.ug * chromaScale),
          fixed(g.vg * chromaScale),
          fixed(g.vr * chromaScale)};
}

template <typename T, typename = void>
struct HasArmLayout : std::false_type {};
template <typename T>
struct HasArmLayout<T, std::void_t<decltype(T::kUVCoeff), decltype(T::kRGBCoeffBias)>>
    : std::true_type {};

template <typename T, typename = void>
struct HasIntelLayout : std::false_type {};
template <typename T>
struct HasIntelLayout<T, std::void_t<decltype(T::kUVToB), decltype(T::kUVToG), decltype(T::kUVToR),
                                     decltype(T::kYToRgb), decltype(T::kYBiasToRgb)>>
    : std::true_type {};

/// Writes gains into a table in the layout of libyuv's own tables, with the
/// chroma roles given as libyuv's table macro takes them (U gain to blue, U
/// and V gains to green, V gain to red); false for a layout it does not know.
template <typename T>
bool fillTable(T* table, int yg, int yb, int ub, int ug, int vg, int vr) {
  std::memset(table, 0, sizeof *table);
  if (ub > 255 || ug > 255 || vg > 255 || vr > 255) return false;
  if constexpr (HasArmLayout<T>::value) {
    // Rows for ARM: the chroma gains once, then luma gain and per-channel biases
    // that also take 128 off U and V.
    const int coeffs[4] = {ub, vr, ug, vg};
    for (int i = 0; i < 4; i++) table->kUVCoeff[i] = static_cast<uint8_t>(coeffs[i]);
    const int biases[5] = {yg, ub * 128 - yb, (ug + vg) * 128 + yb, vr * 128 - yb, yb};
    for (int i = 0; i < 5; i++) table->kRGBCoeffBias[i] = static_cast<int16_t>(biases[i]);
    return true;
  } else if constexpr (HasIntelLayout<T>::value) {
    // Rows for x86: (U, V) byte pairs for pmaddubsw, then luma gain and bias, repeated.
    for (int i = 0; i < 32; i += 2) {
      table->kUVToB[i] = static_cast<uint8_t>(ub);
      table->kUVToG[i] = static_cast<uint8_t>(ug);
      table->kUVToG[i + 1] = static_cast<uint8_t>(vg);
      table->kUVToR[i + 1] = static_cast<uint8_t>(vr);
    }
    for (int i = 0; i < 16; i++) {
      table->kYToRgb[i] = static_cast<int16_t>(yg);
      table->kYBiasToRgb[i] = static_cast<int16_t>(yb);
    }
    return true;
  } else {
    return false;
  }
}

/// Builds the V/U-swapped exact table of a matrix, range and depth; false if it cannot.
bool buildSwappedTable(libyuv::YuvConstants* table, Weights w, bool fullRange, bool tenBit) {
  const FixedGains f = fixedGainsOf(gainsOf(w, fullRange), fullRange, tenBit);
  // Swapped as libyuv's kYvu tables are: V takes U's place and the other way round.
  return fillTable(table, f.yg, f.yb, f.vr, f.vg, f.ug, f.ub);
}

/// Every exact table, 64-byte aligned for the widest SIMD rows.
struct ExactTables {
  alignas(64) libyuv::YuvConstants tables[kMatrixCount][2][2];  // [matrix][full range][ten bit]
  bool inUse = false;
};

/// Builds every table and checks each; false at the first that fails.
bool buildAndCheck(ExactTables* exact) {
  for (int m = 0; m < kMatrixCount; m++) {
    for (int full = 0; full < 2; full++) {
      for (int tenBit = 0; tenBit < 2; tenBit++) {
        libyuv::YuvConstants* table = &exact->tables[m][full][tenBit];
        if (!buildSwappedTable(table, kWeights[m], full != 0, tenBit != 0)) return false;
      }
    }
  }
  const AVColorSpace representative[kMatrixCount] = {AVCOL_SPC_SMPTE170M, AVCOL_SPC_BT709,
                                                     AVCOL_SPC_BT2020_NCL, AVCOL_SPC_FCC,
                                                     AVCOL_SPC_SMPTE240M};
  for (int m = 0; m < kMatrixCount; m++) {
    for (int full = 0; full < 2; full++) {
      for (int tenBit = 0; tenBit < 2; tenBit++) {
        if (!givesTextbookColours(&exact->tables[m][full][tenBit], representative[m], full != 0,
                                  tenBit != 0)) {
          return false;
        }
      }
    }
  }
  return true;
}

/// The exact tables, built and checked on first use; a failed check is logged once.
const ExactTables& exactTables() {
  static const ExactTables tables = [] {
    ExactTables built{};
    built.inUse = buildAndCheck(&built);
    if (!built.inUse) {
      printD("colour tables: exact tables failed their check, using libyuv's own");
    }
    return built;
  }();
  return tables;
}

// ---- The check against textbook colours ----

constexpr int kCheckColours = 16;
constexpr int kBarWidth = 8;  // wide enough for every chroma subsampling
constexpr int kCheckWidth = kCheckColours * kBarWidth;
constexpr int kCheckHeight = 2;

/// One Y, U, V code triple (8-bit code values; 10-bit pictures take them times 4).
struct Code {
  int y, u, v;
};

/// An 8-bit code value: rounded and clamped to 0..255.
int codeValue(double value) { return static_cast<int>(std::lround(std::clamp(value, 0.0, 255.0))); }

/// The code values of an R, G, B colour (0 or 1 each) by the textbook equations.
Code codeOf(Weights w, bool fullRange, int r, int g, int b) {
  const double luma = w.kr * r + (1 - w.kr - w.kb) * g + w.kb * b;
  const double pb = (b - luma) / (2 * (1 - w.kb));
  const double pr = (r - luma) / (2 * (1 - w.kr));
  const double lumaScale = fullRange ? 255 : 219;
  const double chromaScale = fullRange ? 255 : 224;
  return {codeValue((fullRange ? 0 : 16) + luma * lumaScale), codeValue(128 + pb * chromaScale),
          codeValue(128 + pr * chromaScale)};
}

/// The eight 100 % colours of the matrix, then the eight corners of the code range.
std::array<Code, kCheckColours> checkColours(Weights w, bool fullRange) {
  std::array<Code, kCheckColours> codes{};
  for (int i = 0; i < 8; i++) codes[i] = codeOf(w, fullRange, (i >> 2) & 1, (i >> 1) & 1, i & 1);
  const int lumaEnds[2] = {fullRange ? 0 : 16, fullRange ? 255 : 235};
  const int chromaEnds[2] = {fullRange ? 0 : 16, fullRange ? 255 : 240};
  for (int i = 0; i < 8; i++) {
    codes[8 + i] = {lumaEnds[(i >> 2) & 1], chromaEnds[(i >> 1) & 1], chromaEnds[i & 1]};
  }
  return codes;
}

/// R, G, B of a code triple (`scale` code steps per 8-bit level) by the textbook
/// equations, each rounded and clamped to 0..255.
std::array<int, 3> textbookColour(Weights w, bool fullRange, Code c, int scale) {
  const double half = 128.0 * scale;
  const double fullMax = 256.0 * scale - 1;
  const double luma = fullRange ? c.y * scale / fullMax : (c.y - 16) / 219.0;
  const double pb = fullRange ? (c.u * scale - half) / fullMax : (c.u - 128) / 224.0;
  const double pr = fullRange ? (c.v * scale - half) / fullMax : (c.v - 128) / 224.0;
  const double r = luma + 2 * (1 - w.kr) * pr;
  const double b = luma + 2 * (1 - w.kb) * pb;
  const double g = (luma - w.kr * r - w.kb * b) / (1 - w.kr - w.kb);
  std::array<int, 3> rgb{};
  const double channels[3] = {r, g, b};
  for (int i = 0; i < 3; i++) {
    rgb[i] = static_cast<int>(std::lround(std::clamp(channels[i], 0.0, 1.0) * 255));
  }
  return rgb;
}

/// A check picture: each colour a bar kBarWidth wide, in planes of samples of type S.
template <typename S>
struct CheckPlanes {
  std::vector<S> y, u, v;
  int chromaStride;  // samples
};

/// The check picture with chroma `chromaShift` times halved across (and down if `halfHeight`).
template <typename S>
CheckPlanes<S> checkPlanes(const std::array<Code, kCheckColours>& codes, int scale, int chromaShift,
                           bool halfHeight) {
  CheckPlanes<S> p;
  p.chromaStride = kCheckWidth >> chromaShift;
  const int chromaRows = halfHeight ? kCheckHeight / 2 : kCheckHeight;
  for (int row = 0; row < kCheckHeight; row++) {
    for (int x = 0; x < kCheckWidth; x++) p.y.push_back(static_cast<S>(codes[x / kBarWidth].y * scale));
  }
  for (int row = 0; row < chromaRows; row++) {
    for (int x = 0; x < p.chromaStride; x++) {
      const Code& c = codes[(x << chromaShift) / kBarWidth];
      p.u.push_back(static_cast<S>(c.u * scale));
      p.v.push_back(static_cast<S>(c.v * scale));
    }
  }
  return p;
}

/// True if every pixel of the converted check picture is within 2 levels of its bar's colour.
bool matchesTextbook(const std::vector<uint8_t>& pixels, const std::array<Code, kCheckColours>& codes,
                     Weights w, bool fullRange, int scale) {
  for (int row = 0; row < kCheckHeight; row++) {
    for (int x = 0; x < kCheckWidth; x++) {
      const std::array<int, 3> expected = textbookColour(w, fullRange, codes[x / kBarWidth], scale);
      const uint8_t* pixel = &pixels[(static_cast<size_t>(row) * kCheckWidth + x) * 4];
      for (int c = 0; c < 3; c++) {
        if (std::abs(pixel[c] - expected[c]) > 2) return false;
      }
      if (pixel[3] != 0xFF) return false;
    }
  }
  return true;
}

enum class Sampling { k420, k422, k444 };

/// A libyuv conversion of three planes of samples of type S into ARGB rows.
template <typename S>
using ToArgb = int (*)(const S*, int, const S*, int, const S*, int, uint8_t*, int,
                       const libyuv::YuvConstants*, int, int);

/// libyuv's 8-bit conversion for the sampling.
ToArgb<uint8_t> conversionFor(Sampling sampling, uint8_t /*sample*/) {
  if (sampling == Sampling::k420) return libyuv::I420ToARGBMatrix;
  return sampling == Sampling::k422 ? libyuv::I422ToARGBMatrix : libyuv::I444ToARGBMatrix;
}

/// libyuv's 10-bit conversion for the sampling.
ToArgb<uint16_t> conversionFor(Sampling sampling, uint16_t /*sample*/) {
  if (sampling == Sampling::k420) return libyuv::I010ToARGBMatrix;
  return sampling == Sampling::k422 ? libyuv::I210ToARGBMatrix : libyuv::I410ToARGBMatrix;
}

/// Converts the check picture of the sampling with libyuv into `pixels`; U and V
/// go in swapped, as the kYvu table wants. Returns libyuv's result.
template <typename S>
int convertCheck(const std::array<Code, kCheckColours>& codes, int scale, Sampling sampling,
                 const libyuv::YuvConstants* table, uint8_t* pixels) {
  const int chromaShift = sampling == Sampling::k444 ? 0 : 1;
  const CheckPlanes<S> p = checkPlanes<S>(codes, scale, chromaShift, sampling == Sampling::k420);
  return conversionFor(sampling, S{})(p.y.data(), kCheckWidth, p.v.data(), p.chromaStride,
                                      p.u.data(), p.chromaStride, pixels, kCheckWidth * 4, table,
                                      kCheckWidth, kCheckHeight);
}

/// True if libyuv's grey conversion with the table gives each bar's luma as its textbook grey.
bool givesTextbookGreys(const libyuv::YuvConstants* table, const std::array<Code, kCheckColours>& codes,
                        Weights w, bool fullRange) {
  std::array<Code, kCheckColours> greys = codes;
  for (Code& c : greys) c.u = c.v = 128;
  const CheckPlanes<uint8_t> p = checkPlanes<uint8_t>(greys, 1, 0, false);
  std::vector<uint8_t> pixels(static_cast<size_t>(kCheckWidth) * kCheckHeight * 4);
  const int ret = libyuv::I400ToARGBMatrix(p.y.data(), kCheckWidth, pixels.data(), kCheckWidth * 4,
                                           table, kCheckWidth, kCheckHeight);
  return ret == 0 && matchesTextbook(pixels, greys, w, fullRange, 1);
}

/// The luma weights of a colorspace; BT.601's for one the library does not know.
Weights weightsOf(AVColorSpace colorspace) {
  const int index = matrixIndex(colorspace);
  return kWeights[index >= 0 ? index : kBt601];
}

}  // namespace

bool givesTextbookColours(const libyuv::YuvConstants* table, AVColorSpace colorspace,
                          bool fullRange, bool tenBit) {
  const Weights w = weightsOf(colorspace);
  const std::array<Code, kCheckColours> codes = checkColours(w, fullRange);
  const int scale = tenBit ? 4 : 1;
  std::vector<uint8_t> pixels(static_cast<size_t>(kCheckWidth) * kCheckHeight * 4);
  for (Sampling sampling : {Sampling::k420, Sampling::k422, Sampling::k444}) {
    std::fill(pixels.begin(), pixels.end(), 0);
    const int ret = tenBit ? convertCheck<uint16_t>(codes, scale, sampling, table, pixels.data())
                           : convertCheck<uint8_t>(codes, scale, sampling, table, pixels.data());
    if (ret != 0 || !matchesTextbook(pixels, codes, w, fullRange, scale)) return false;
  }
  return tenBit || givesTextbookGreys(table, codes, w, fullRange);
}

bool prepareColourTables() { return exactTables().inUse; }

ConversionMatrix conversionMatrix(AVColorSpace colorspace, bool fullRange, bool tenBit) {
  int index = matrixIndex(colorspace);
  // 8-bit pictures that signal no matrix keep libyuv's own BT.601 conversion
  // (I420ToABGR's); 10-bit ones never had it and take the exact BT.601 table.
  if (index < 0 && tenBit) index = kBt601;
  const ExactTables& exact = exactTables();
  if (index < 0 || !exact.inUse) return {libyuvTable(colorspace, fullRange), false};
  return {&exact.tables[index][fullRange ? 1 : 0][tenBit ? 1 : 0], true};
}

}  // namespace qn
