#include "media/wave_metadata.h"

#include <cstring>

#include "base/diagnostic.h"
#include "media/wave_file.h"

namespace {

// Chunks walked through a file at most, as the header's own walk.
constexpr unsigned kMaxChunks = 65536;
// Bytes read at a time into a kept chunk's body.
constexpr std::uint32_t kReadPiece = 1u << 20;

// The byte offsets of the fields that hold sample positions.
constexpr std::uint32_t kBextTimeReference = 338;  // after the description and origin fields
constexpr std::uint32_t kCuePoint = 24;            // bytes per cue point, after a 4-byte count
constexpr std::uint32_t kSmplHeader = 36;          // before the loops
constexpr std::uint32_t kSmplLoop = 24;
constexpr std::uint32_t kLtxtHeader = 20;

std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void Put32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool IsId(const void* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

// The kinds kept, each once.
enum Kind { kInfo, kAdtl, kBext, kIxml, kAxml, kId3, kCue, kSmpl, kKinds, kNotKept = kKinds };

Kind KindOf(const std::uint8_t* id, const std::uint8_t* listType) {
    if (IsId(id, "LIST")) {
        if (listType == nullptr) return kNotKept;
        if (IsId(listType, "INFO")) return kInfo;
        if (IsId(listType, "adtl")) return kAdtl;
        return kNotKept;
    }
    if (IsId(id, "bext")) return kBext;
    if (IsId(id, "iXML")) return kIxml;
    if (IsId(id, "axml")) return kAxml;
    if (IsId(id, "id3 ") || IsId(id, "ID3 ")) return kId3;
    if (IsId(id, "cue ")) return kCue;
    if (IsId(id, "smpl")) return kSmpl;
    return kNotKept;
}

// Chunks that describe the file's layout rather than its content: never kept, never mentioned.
bool IsStructural(const std::uint8_t* id) {
    return IsId(id, "fmt ") || IsId(id, "data") || IsId(id, "fact") || IsId(id, "ds64") ||
           IsId(id, "JUNK") || IsId(id, "junk") || IsId(id, "PAD ") || IsId(id, "FLLR");
}

// A chunk id for a diagnostic line: printable characters as they are, others as '?'.
struct IdText {
    wchar_t text[5];
    explicit IdText(const std::uint8_t* id) {
        for (int i = 0; i < 4; ++i) {
            text[i] = id[i] >= 0x20 && id[i] < 0x7F ? static_cast<wchar_t>(id[i]) : L'?';
        }
        text[4] = 0;
    }
};

void Note(const std::uint8_t* id, const wchar_t* why) {
    DiagnosticPrint(L"metadata: chunk '%s' left out: %s\n", IdText(id).text, why);
}

// Whether the sub-chunks of a LIST of type "adtl" (after its type) lie whole in the body, each
// "ltxt" long enough to hold its length field.
bool AdtlFits(const std::vector<std::uint8_t>& body) {
    std::size_t pos = 4;
    while (pos < body.size()) {
        if (body.size() - pos < 8) return false;
        const std::uint32_t size = Get32(&body[pos + 4]);
        if (size > body.size() - pos - 8) return false;
        if (IsId(&body[pos], "ltxt") && size < kLtxtHeader) return false;
        pos += 8 + static_cast<std::size_t>(size) + (size & 1);
    }
    return true;
}

// Why a chunk of a kind cannot be kept as it is read, or null when it can.
const wchar_t* Unfit(Kind kind, const std::vector<std::uint8_t>& body) {
    const std::size_t size = body.size();
    switch (kind) {
        case kAdtl:
            return AdtlFits(body) ? nullptr : L"a label does not fit the list";
        case kBext:
            return size >= kBextTimeReference + 8 ? nullptr : L"too short for its time reference";
        case kCue:
            if (size < 4) return L"too short for its count";
            return Get32(body.data()) <= (size - 4) / kCuePoint ? nullptr
                                                                : L"more points than it holds";
        case kSmpl:
            if (size < kSmplHeader) return L"too short for its header";
            return Get32(&body[28]) <= (size - kSmplHeader) / kSmplLoop
                       ? nullptr
                       : L"more loops than it holds";
        default:
            return nullptr;
    }
}

// Reads a body of `size` bytes at pos whole; false when the file gives fewer.
bool ReadBody(CWaveFile& file, std::uint64_t pos, std::uint32_t size,
              std::vector<std::uint8_t>* body) {
    body->resize(size);
    std::uint32_t done = 0;
    while (done < size) {
        const std::uint32_t want = size - done < kReadPiece ? size - done : kReadPiece;
        const std::uint32_t got = file.Read(body->data() + done, want, pos + done);
        if (got == 0) return false;
        done += got;
    }
    return true;
}

// A sample position scaled and limited to the output's length.
std::uint32_t Position32(std::uint32_t position, std::uint32_t from, std::uint32_t to,
                         std::uint64_t frames) {
    std::uint64_t scaled = ScalePosition(position, from, to);
    if (scaled > frames) scaled = frames;
    return scaled > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(scaled);
}

void Retime32(std::uint8_t* field, std::uint32_t from, std::uint32_t to, std::uint64_t frames) {
    Put32(field, Position32(Get32(field), from, to, frames));
}

// The body of a kept chunk with its positions moved to the new frequency.
void Retime(const WaveChunk& chunk, std::vector<std::uint8_t>& body, std::uint32_t from,
            std::uint32_t to, std::uint64_t frames) {
    std::uint8_t* b = body.data();
    if (IsId(chunk.id, "bext")) {
        // A count of samples since midnight: scaled, never limited to the file's length.
        const std::uint64_t reference =
            Get32(b + kBextTimeReference) |
            static_cast<std::uint64_t>(Get32(b + kBextTimeReference + 4)) << 32;
        const std::uint64_t scaled = ScalePosition(reference, from, to);
        Put32(b + kBextTimeReference, static_cast<std::uint32_t>(scaled));
        Put32(b + kBextTimeReference + 4, static_cast<std::uint32_t>(scaled >> 32));
    } else if (IsId(chunk.id, "cue ")) {
        // Name, position, chunk id, chunk start, block start, sample offset. The output has one
        // data chunk of PCM: its points start at 0 in it.
        const std::uint32_t count = Get32(b);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint8_t* point = b + 4 + i * kCuePoint;
            Retime32(point + 4, from, to, frames);
            Put32(point + 12, 0);
            Put32(point + 16, 0);
            Retime32(point + 20, from, to, frames);
        }
    } else if (IsId(chunk.id, "smpl")) {
        // The sample period is in nanoseconds.
        Put32(b + 8, static_cast<std::uint32_t>((1000000000ull + to / 2) / to));
        const std::uint32_t loops = Get32(b + 28);
        for (std::uint32_t i = 0; i < loops; ++i) {
            std::uint8_t* loop = b + kSmplHeader + i * kSmplLoop;
            Retime32(loop + 8, from, to, frames);
            Retime32(loop + 12, from, to, frames);
        }
    } else if (IsId(chunk.id, "LIST") && IsId(b, "adtl")) {
        std::size_t pos = 4;
        while (pos + 8 <= body.size()) {
            const std::uint32_t size = Get32(b + pos + 4);
            if (IsId(b + pos, "ltxt")) Retime32(b + pos + 12, from, to, frames);
            pos += 8 + static_cast<std::size_t>(size) + (size & 1);
        }
    }
}

}  // namespace

std::uint64_t ScalePosition(std::uint64_t position, std::uint32_t from, std::uint32_t to) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    if (from == 0) return kMax;
    // position = q x from + r: q x to exactly, then r x to (below 2^64) rounded.
    const std::uint64_t q = position / from;
    const std::uint64_t r = position % from;
    if (to != 0 && q > kMax / to) return kMax;
    const std::uint64_t whole = q * to;
    const std::uint64_t part = (r * to + from / 2) / from;
    return whole > kMax - part ? kMax : whole + part;
}

WaveMetadata ReadWaveMetadata(CWaveFile& file) {
    WaveMetadata metadata;
    const std::uint64_t fileSize = file.Size();
    bool kept[kKinds] = {};
    std::uint64_t keptBytes = 0;
    std::uint64_t pos = 12;
    for (unsigned chunks = 0; chunks < kMaxChunks && fileSize - pos >= 8; ++chunks) {
        std::uint8_t head[12];
        const std::uint32_t headBytes = fileSize - pos >= 12 ? 12 : 8;
        if (file.Read(head, headBytes, pos) != headBytes) break;
        const std::uint32_t size = Get32(head + 4);
        const std::uint64_t body = pos + 8;
        std::uint64_t next = body + size;
        if (IsId(head, "data") && body == file.DataOffset()) {
            // The samples, as far as the header's walk took them.
            next = body + file.DataBytes();
        } else {
            const Kind kind = KindOf(head, headBytes == 12 && size >= 4 ? head + 8 : nullptr);
            if (size > fileSize - body) {
                Note(head, L"cut short by the file's end");
                break;
            }
            if (kind == kNotKept) {
                if (!IsStructural(head)) Note(head, L"not kept through a resampling");
            } else if (kept[kind]) {
                Note(head, L"a second one of its kind");
            } else if (size > kMaxMetadataBytes - keptBytes) {
                Note(head, L"past the 16 MiB kept of a file's metadata");
            } else {
                WaveChunk chunk;
                std::memcpy(chunk.id, head, 4);
                if (!ReadBody(file, body, size, &chunk.body)) {
                    Note(head, L"cannot be read");
                    break;
                }
                const wchar_t* why = Unfit(kind, chunk.body);
                if (why != nullptr) {
                    Note(head, why);
                } else {
                    kept[kind] = true;
                    keptBytes += size;
                    metadata.chunks.push_back(std::move(chunk));
                }
            }
        }
        pos = next;
        // The pad byte of an odd-sized chunk, when it is there, as the header's walk takes it.
        if (((next - body) & 1) != 0 && pos < fileSize) {
            std::uint8_t pad = 0xFF;
            if (file.Read(&pad, 1, pos) == 1 && pad == 0) ++pos;
        }
        if (pos > fileSize) break;
    }
    return metadata;
}

std::vector<std::uint8_t> RetimedMetadata(const WaveMetadata& metadata, std::uint32_t from,
                                          std::uint32_t to, std::uint64_t frames) {
    std::vector<std::uint8_t> out;
    for (const WaveChunk& chunk : metadata.chunks) {
        std::vector<std::uint8_t> body = chunk.body;
        // Only the fields a chunk holds are moved, whoever made it.
        const std::uint8_t* id = reinterpret_cast<const std::uint8_t*>(chunk.id);
        const Kind kind = KindOf(id, body.size() >= 4 ? body.data() : nullptr);
        if (from != 0 && to != 0 && kind != kNotKept && Unfit(kind, body) == nullptr) {
            Retime(chunk, body, from, to, frames);
        }
        const std::size_t at = out.size();
        const std::uint32_t size = static_cast<std::uint32_t>(body.size());
        out.resize(at + 8);
        std::memcpy(&out[at], chunk.id, 4);
        Put32(&out[at + 4], size);
        out.insert(out.end(), body.begin(), body.end());
        if ((size & 1) != 0) out.push_back(0);
    }
    return out;
}
