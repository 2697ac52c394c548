// The libyuv coefficient tables of the bitmap conversion. libyuv's built-in
// limited-range tables hold the blue-from-U gain at 2.0 (BT.709 needs 2.112,
// BT.2020 2.141), so the library builds exact tables of its own for every
// matrix a picture can signal, in libyuv's table layout, and checks them once
// against the textbook colours before it uses them.
#pragma once

#include <libyuv/row.h>  // struct YuvConstants, the layout libyuv's row functions read

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace qn {

/// The table a picture is converted with, in its V/U-swapped (kYvu) form.
struct ConversionMatrix {
  const libyuv::YuvConstants* table;
  bool exact;  // the library's own exact table (its 10-bit chroma is rounded, not truncated)
};

/// The table for a picture's matrix, range and sample depth: the library's exact
/// one for a matrix the picture signals and for every 10-bit picture (BT.601 if
/// it signals none); libyuv's own for an 8-bit picture that signals no matrix
/// (as I420ToABGR converts it), and for every picture if the exact tables failed
/// their check.
ConversionMatrix conversionMatrix(AVColorSpace colorspace, bool fullRange, bool tenBit);

/// Builds and checks the exact tables (once per process; later calls return at
/// once); true if they are in use, false if libyuv's own are, which is logged once.
bool prepareColourTables();

/// True if libyuv's 4:2:0, 4:2:2 and 4:4:4 conversions (8-bit, or 10-bit if
/// `tenBit`) with the V/U-swapped `table` give saturated colours and the corners of
/// the code range within 2 levels of the textbook values of the matrix and range.
bool givesTextbookColours(const libyuv::YuvConstants* table, AVColorSpace colorspace,
                          bool fullRange, bool tenBit);

}  // namespace qn
