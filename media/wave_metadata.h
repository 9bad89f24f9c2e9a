// The metadata chunks of a WAV file that a conversion carries over to its output, and their
// positions moved to the output's sampling frequency.
//
// Kept, the first of each kind: "LIST" of type "INFO" (tags) and "iXML", "axml", "id3 " or
// "ID3 " as they are; "bext" with its time reference (a 64-bit sample count since midnight)
// scaled; "cue " with each point's position and sample offset scaled and limited to the output's
// length; "LIST" of type "adtl" (labl, note, ltxt: the length of an ltxt scaled and limited
// too); "smpl" with its loops' start and end scaled and limited and its sample period set for the
// new frequency. Every other chunk ("fact", "PEAK", "JUNK", unknown ones) is left out: what it
// says about the samples need not hold once they are resampled.
#pragma once

#include <cstdint>
#include <vector>

class CWaveFile;

// The most bytes of chunk bodies kept from one file; a chunk that would pass it is left out.
constexpr std::uint32_t kMaxMetadataBytes = 16u * 1024 * 1024;

struct WaveChunk {
    char id[4] = {};
    std::vector<std::uint8_t> body;
};

struct WaveMetadata {
    std::vector<WaveChunk> chunks;  // in the order of the file
};

// The chunks kept from a WAV file that opened (every chunk but the sample data is looked at,
// before and after it). A chunk that is cut short by the end of the file, whose counts do not
// fit its size, that repeats a kind already kept or that would pass kMaxMetadataBytes is left
// out with a diagnostic line. The file position is left anywhere: Rewind before reading samples.
WaveMetadata ReadWaveMetadata(CWaveFile& file);

// position x to / from, rounded to the nearest whole number (halves up) in exact integer
// arithmetic; the largest 64-bit value when the result does not fit.
std::uint64_t ScalePosition(std::uint64_t position, std::uint32_t from, std::uint32_t to);

// The chunks as they follow the sample data of an output at `to` Hz holding `frames` frames,
// converted from `from` Hz: headers, bodies with their positions moved, a pad byte after each
// odd-sized body. Empty when there are none.
std::vector<std::uint8_t> RetimedMetadata(const WaveMetadata& metadata, std::uint32_t from,
                                          std::uint32_t to, std::uint64_t frames);
