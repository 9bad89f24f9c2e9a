#include "media/wave_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "media/wave_metadata.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#endif

using namespace testing_support;

namespace {

using Samples = std::vector<std::int16_t>;

// Each value as `bytes` little-endian bytes.
Bytes Le(std::initializer_list<std::uint64_t> values, int bytes) {
    Bytes b;
    for (std::uint64_t v : values) {
        for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    return b;
}

// `count` bytes, each different from its neighbours.
Bytes Ramp(std::size_t count) {
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return b;
}

template <typename Real>
Bytes Reals(std::initializer_list<Real> values) {
    Bytes b;
    for (Real v : values) {
        std::uint8_t raw[sizeof v];
        std::memcpy(raw, &v, sizeof v);  // little-endian hosts
        b.insert(b.end(), raw, raw + sizeof v);
    }
    return b;
}

// A file of one "fmt " chunk and one "data" chunk.
Bytes Wav(const Bytes& fmt, const Bytes& data = Le({1, 2}, 2)) {
    return MakeRiff({{"fmt ", fmt}, {"data", data}});
}

// Sets the size field of the chunk that follows a 16-byte "fmt " chunk.
void SetSizeAfterFmt(Bytes& file, std::uint32_t size) {
    for (int i = 0; i < 4; ++i) file[40 + i] = static_cast<std::uint8_t>(size >> (8 * i));
}

// A cbSize field followed by that many zero bytes: the tail of a "fmt " body.
Bytes CbSizeAndExtra(std::uint16_t size) {
    Bytes b = Le({size}, 2);
    b.resize(2u + size, 0);
    return b;
}

// A mono "fmt " body at 8 kHz.
Bytes Mono(std::uint16_t tag, std::uint16_t bits, std::uint16_t align = 0) {
    return FormatBody(tag, 1, 8000, bits, align);
}

class WaveRead : public ::testing::Test {
  protected:
    // Writes the bytes as a file and opens it with a fresh parse.
    bool Open(const Bytes& file) {
        wave.Close();
        WriteFileBytes(path, file);
        return wave.OpenFile(Str(path));
    }

    // All sample data from the current position, decoded to 16-bit (and to floats, when given).
    Samples Decoded(std::vector<float>* floats = nullptr) {
        Bytes raw(static_cast<std::size_t>(wave.DataBytes()));
        const std::uint32_t got = wave.Read(raw.data(), static_cast<std::uint32_t>(raw.size()));
        const std::uint32_t frames = got / wave.BlockAlign();
        Samples out(frames * wave.Format().channels);
        if (frames > 0) DecodeFrames(wave.Format(), raw.data(), frames, out.data());
        if (floats != nullptr) {
            floats->assign(out.size(), 0.0f);
            if (frames > 0) DecodeFramesToFloat(wave.Format(), raw.data(), frames, floats->data());
        }
        return out;
    }

    TempFolder folder;
    std::string path = folder.File("in.wav");
    CWaveFile wave;
};

TEST_F(WaveRead, AcceptsCommonHeaderLayouts) {
    const Bytes data = Le({100, 0xFF38, 300, 0xFE70}, 2);  // 100, -200, 300, -400
    const Bytes fmt = FormatBody(1, 2, 8000, 16);
    const Chunk odd{"junk", {1, 2, 3}};
    const Chunk oddUnpadded{"junk", {1, 2, 3}, 0xFFFFFFFFu, false};
    const struct {
        const char* name;
        Bytes file;
        std::uint64_t offset;
    } cases[] = {
        {"canonical", Wav(fmt, data), 44},
        {"18-byte fmt", Wav(FormatBody(1, 2, 8000, 16, 0, {0, 0}), data), 46},
        {"extensible fmt", Wav(ExtensibleFormatBody(1, 2, 8000, 16, 16, 3), data), 68},
        // Metadata reaching far beyond the first kilobyte.
        {"large LIST", MakeRiff({{"fmt ", fmt}, {"LIST", Bytes(3000, 'x')}, {"data", data}}), 3052},
        {"odd chunk padded", MakeRiff({{"fmt ", fmt}, odd, {"data", data}}), 56},
        {"odd chunk unpadded", MakeRiff({{"fmt ", fmt}, oddUnpadded, {"data", data}}), 55},
        {"empty chunk", MakeRiff({{"fmt ", fmt}, {"LIST", {}}, {"data", data}}), 52},
        // Bytes past the 16 that PCM needs are stepped over, with or without the pad byte.
        {"17-byte fmt padded", Wav(FormatBody(1, 2, 8000, 16, 0, {7}), data), 46},
        {"17-byte fmt unpadded",
         MakeRiff(
             {{"fmt ", FormatBody(1, 2, 8000, 16, 0, {7}), 0xFFFFFFFFu, false}, {"data", data}}),
         45},
        {"40-byte PCM fmt", Wav(FormatBody(1, 2, 8000, 16, 0, CbSizeAndExtra(22)), data), 68},
        {"second fmt ignored", MakeRiff({{"fmt ", fmt}, {"fmt ", Mono(1, 8)}, {"data", data}}), 68},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Open(c.file)) << WaveErrorText(wave.OpenError());
        EXPECT_EQ(wave.DataOffset(), c.offset);
        EXPECT_EQ(wave.FrameCount(), 2u);
        EXPECT_EQ(wave.GetParams()->samplingFrequency, 8000);
        EXPECT_EQ(wave.GetParams()->channels, 2);
        EXPECT_EQ(Decoded(), (Samples{100, -200, 300, -400}));
    }
}

TEST_F(WaveRead, TheDataChunkSizeBoundsTheSamples) {
    const Bytes data = Le({1, 2, 3, 4, 5, 6}, 2);  // three stereo frames
    const Chunk list{"LIST", Bytes(20, 'L')};
    const std::vector<Chunk> chunks{{"fmt ", FormatBody(1, 2, 8000, 16)}, {"data", data}, list};
    // Declared size -> sample bytes; "to the end" takes in the 28-byte LIST after the data.
    const std::pair<std::uint32_t, std::uint64_t> cases[] = {
        {12, 12}, {10, 10}, {1000, 40}, {0, 40}, {0xFFFFFFFFu, 40}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Bytes file = MakeRiff(chunks);
        SetSizeAfterFmt(file, c.first);
        // In RF64 form the size is the 64-bit one in "ds64" (at 28).
        Bytes rf64 = MakeRf64(chunks);
        const Bytes size64 = Le({c.first}, 8);
        std::copy(size64.begin(), size64.end(), rf64.begin() + 28);
        for (const Bytes* f : {&file, &rf64}) {
            ASSERT_TRUE(Open(*f)) << WaveErrorText(wave.OpenError());
            EXPECT_EQ(wave.DataBytes(), c.second);
            EXPECT_EQ(wave.FrameCount(), c.second / 4);
        }
    }

    // An empty data chunk that says "to the end" (0, all ones, a ds64 size of 0) followed by
    // whole chunks up to the end of the file: those are metadata, and there are no samples.
    // Bytes that do not make such a chain are samples, as a streaming writer leaves them.
    const Chunk id3{"id3 ", Bytes(512000, 'I')};
    const Chunk oddUnpadded{"junk", {1, 2, 3}, 0xFFFFFFFFu, false};
    const struct {
        const char* name;
        std::vector<Chunk> tail;
        Bytes stray;  // after the chunks
        std::uint64_t bytes;
    } tails[] = {
        {"LIST", {list}, {}, 0},
        {"id3 of 512000 bytes", {id3}, {}, 0},
        {"unpadded odd chunk, LIST", {oddUnpadded, list}, {}, 0},
        {"LIST, then a stray byte", {list}, {0}, 29},
        {"LIST longer than the file", {{"LIST", Bytes(20, 'L'), 21}}, {}, 28},
        {"id with a control byte", {{"LI\x01T", Bytes(20, 'L')}}, {}, 28},
    };
    for (const auto& c : tails) {
        SCOPED_TRACE(c.name);
        std::vector<Chunk> all{{"fmt ", FormatBody(1, 2, 8000, 16)}, {"data", {}}};
        all.insert(all.end(), c.tail.begin(), c.tail.end());
        Bytes file = MakeRiff(all);
        Bytes rf64 = MakeRf64(all);  // its ds64 data size is 0
        for (Bytes* f : {&file, &rf64}) f->insert(f->end(), c.stray.begin(), c.stray.end());
        Bytes allOnes = file;
        SetSizeAfterFmt(allOnes, 0xFFFFFFFFu);
        for (const Bytes* f : {&file, &allOnes, &rf64}) {
            ASSERT_TRUE(Open(*f)) << WaveErrorText(wave.OpenError());
            EXPECT_EQ(wave.DataBytes(), c.bytes);
        }
    }
}

TEST_F(WaveRead, RejectsFilesItCannotRead) {
    const Bytes fmt = FormatBody(1, 2, 8000, 16);
    const Bytes good = Wav(fmt);
    Bytes notRiff = good;
    notRiff[3] = 'X';
    Bytes unknownGuid = ExtensibleFormatBody(1, 1, 8000, 16, 16, 4);
    unknownGuid.back() = 0;  // the sub-format GUID ends differently
    Bytes noAlign = fmt;
    noAlign[12] = noAlign[13] = 0;  // the average bytes per second stay valid
    Bytes noAverage = fmt;
    std::fill(noAverage.begin() + 8, noAverage.begin() + 12, 0);
    // A chunk that claims the rest of the file (and more) hides the "data" after it.
    Bytes hugeList = MakeRiff({{"fmt ", fmt}, {"LIST", {1, 2}}, {"data", {1, 2, 3, 4}}});
    SetSizeAfterFmt(hugeList, 0xFFFFFFFFu);
    const Bytes extensible = ExtensibleFormatBody(1, 2, 8000, 16, 16, 3);
    const Bytes rf64 = MakeRf64({{"fmt ", fmt}, {"data", {1, 2, 3, 4}}});
    Bytes noDs64 = good;
    std::memcpy(noDs64.data(), "RF64", 4);
    Bytes shortDs64 = rf64;
    shortDs64[16] = 24;
    Bytes hugeDs64 = rf64;  // the chunk claims the rest of the file, hiding "fmt "
    std::fill(hugeDs64.begin() + 16, hugeDs64.begin() + 20, 0xF0);
    const struct {
        const char* name;
        Bytes file;
        WaveError error;
    } cases[] = {
        {"not RIFF", notRiff, WaveError::NotRiffWave},
        {"11 bytes", Bytes(good.begin(), good.begin() + 11), WaveError::NotRiffWave},
        {"fmt of 0 bytes", Wav({}), WaveError::FormatTooShort},
        {"fmt of 14 bytes", Wav(Bytes(fmt.begin(), fmt.begin() + 14)), WaveError::FormatTooShort},
        {"no channels", Wav(FormatBody(1, 0, 8000, 16, 4)), WaveError::BadChannels},
        {"65 channels", Wav(FormatBody(1, 65, 8000, 16)), WaveError::BadChannels},
        {"65535 channels", Wav(FormatBody(1, 65535, 8000, 16)), WaveError::BadChannels},
        {"rate 0", Wav(FormatBody(1, 2, 0, 16, 4)), WaveError::BadSamplingFrequency},
        {"rate 2^31", Wav(FormatBody(1, 1, 0x80000000u, 8)), WaveError::BadSamplingFrequency},
        {"no average bytes", Wav(noAverage), WaveError::BadAverageBytes},
        {"block align 0", Wav(noAlign), WaveError::BadBlockAlign},
        {"stereo align 3", Wav(FormatBody(1, 2, 8000, 8, 3)), WaveError::BadBlockAlign},
        {"24 bits in 2 bytes", Wav(Mono(1, 24, 2)), WaveError::BadBitsPerSample},
        {"no bits", Wav(Mono(1, 0, 2)), WaveError::BadBitsPerSample},
        {"ADPCM", Wav(Mono(2, 4, 256)), WaveError::UnsupportedEncoding},
        {"unknown sub-format", Wav(unknownGuid), WaveError::UnsupportedEncoding},
        {"extensible ADPCM", Wav(ExtensibleFormatBody(2, 1, 8000, 8, 4, 4)),
         WaveError::UnsupportedEncoding},
        {"extensible in extensible", Wav(ExtensibleFormatBody(0xFFFE, 1, 8000, 16, 16, 4)),
         WaveError::UnsupportedEncoding},
        // Without its 22 extra bytes the sub-format is unknown.
        {"extensible of 18 bytes", Wav(Bytes(extensible.begin(), extensible.begin() + 18)),
         WaveError::UnsupportedEncoding},
        {"valid bits above the container", Wav(ExtensibleFormatBody(1, 1, 8000, 16, 17, 4)),
         WaveError::BadBitsPerSample},
        {"5-byte container", Wav(Mono(1, 40)), WaveError::BadBitsPerSample},
        {"data first", MakeRiff({{"data", {1, 2}}, {"fmt ", fmt}}), WaveError::DataBeforeFormat},
        {"no data", MakeRiff({{"fmt ", fmt}}), WaveError::NoData},
        // 8 + size wraps to 0 in 32 bits: the walk must not return to the same chunk.
        {"size past the end", MakeRiff({{"fmt ", fmt}, {"LIST", {}, 0xFFFFFFF8u}}),
         WaveError::NoData},
        {"all-ones size before data", hugeList, WaveError::NoData},
        {"RF64 without ds64", noDs64, WaveError::BadDs64},
        {"RF64 cut in ds64", Bytes(rf64.begin(), rf64.begin() + 47), WaveError::BadDs64},
        {"ds64 of 24 bytes", shortDs64, WaveError::BadDs64},
        {"ds64 size past the end", hugeDs64, WaveError::NoFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Open(c.file));
        EXPECT_EQ(wave.OpenError(), c.error);
        EXPECT_FALSE(wave.IsOpen());
    }
    EXPECT_FALSE(wave.OpenFile(Str(folder.File("absent.wav"))));
    EXPECT_EQ(wave.OpenError(), WaveError::CannotOpen);
    // A rejection leaves the object reusable; 64 channels are still accepted.
    EXPECT_TRUE(Open(Wav(FormatBody(1, 64, 8000, 16), Bytes(128, 0))));
}

// A file cut anywhere in its header is refused with the reason of the part that is missing;
// cut in the samples it is read up to its end and no further.
TEST_F(WaveRead, CutFilesAreRefusedOrReadOnlyToTheirEnd) {
    Samples samples;
    for (int i = 0; i < 16; ++i) samples.push_back(static_cast<std::int16_t>(1000 * i - 7000));
    const Bytes whole = Pcm16Wav(8000, 2, samples);  // 44-byte header, 8 frames
    ASSERT_GT(whole.size(), 64u);
    for (std::size_t length = 0; length <= 64; ++length) {
        SCOPED_TRACE(length);
        const bool opened = Open(Bytes(whole.begin(), whole.begin() + length));
        if (length < 44) {
            EXPECT_FALSE(opened);
            EXPECT_FALSE(wave.IsOpen());
            const WaveError expected = length < 12   ? WaveError::NotRiffWave
                                       : length < 20 ? WaveError::NoFormat  // no chunk header
                                       : length < 36 ? WaveError::FormatTooShort
                                                     : WaveError::NoData;
            EXPECT_EQ(wave.OpenError(), expected);
            continue;
        }
        ASSERT_TRUE(opened);
        EXPECT_EQ(wave.DataOffset(), 44u);
        EXPECT_EQ(wave.DataBytes(), length - 44);
        EXPECT_EQ(wave.FrameCount(), (length - 44) / 4);
        const std::size_t frames = (length - 44) / 4;
        EXPECT_EQ(Decoded(), Samples(samples.begin(), samples.begin() + 2 * frames));
    }
}

// To floats, every bit a float holds is kept: x 2^-15 is the 16-bit value x. Float sources keep
// their values past full scale (up to 2^16) for the high quality; to 16 bits they saturate.
TEST_F(WaveRead, DecodesEveryEncodingTo16BitsAndToFloats) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    constexpr float x = 1.0f / 32768;
    constexpr float lsb24 = x / 256;
    const struct {
        const char* name;
        Bytes fmt;
        Bytes data;
        Samples expected;
        std::vector<float> floats;
    } cases[] = {
        {"8-bit",
         Mono(1, 8),
         Le({0x00, 0x80, 0xFF, 0x81}, 1),
         {-32768, 0, 32512, 256},
         {-1, 0, 32512 * x, 256 * x}},
        {"12 in 16",
         Mono(1, 12, 2),
         Le({0x7FF0, 0x8000, 0x0010}, 2),
         {32752, -32768, 16},
         {32752 * x, -1, 16 * x}},
        {"24-bit",
         Mono(1, 24),
         Le({0x7FFFFF, 0x800000, 0x123456}, 3),
         {32767, -32768, 0x1234},
         {0x7FFFFF * lsb24, -1, 0x123456 * lsb24}},
        {"24 in 32",
         ExtensibleFormatBody(1, 1, 8000, 32, 24, 4),
         Le({0xFFFFFF00}, 4),
         {-1},
         {-lsb24}},
        {"32-bit",
         Mono(1, 32),
         Le({0x7FFFFFFF, 0x80000000, 0xFFFF0000}, 4),
         {32767, -32768, -1},
         {1, -1, -x}},
        {"float",
         Mono(3, 32),
         Reals<float>({0.5f, -1.0f, 1.0f, 2.5f, -3.0f, nan, inf, -inf}),
         {16384, -32768, 32767, 32767, -32768, 0, 32767, -32768},
         {0.5f, -1, 1, 2.5f, -3, 0, 65536, -65536}},
        {"extensible float",
         ExtensibleFormatBody(3, 1, 8000, 32, 32, 4),
         Reals({0.25f}),
         {8192},
         {0.25f}},
        // Scaled values are rounded down.
        {"double",
         Mono(3, 64),
         Reals<double>({0.25, -0.5, 1e300, nan, -nan, inf, -inf, 1.5 / 32768, -1.5 / 32768}),
         {8192, -16384, 32767, 0, 0, 32767, -32768, 1, -2},
         {0.25f, -0.5f, 65536, 0, 0, 65536, -65536, 1.5f * x, -1.5f * x}},
        {"A-law",
         Mono(6, 8),
         Le({0xD5, 0x55, 0xAA, 0x2A}, 1),
         {8, -8, 32256, -32256},
         {8 * x, -8 * x, 32256 * x, -32256 * x}},
        {"mu-law",
         Mono(7, 8),
         Le({0xFF, 0x7F, 0x80, 0x00}, 1),
         {0, 0, 32124, -32124},
         {0, 0, 32124 * x, -32124 * x}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Open(Wav(c.fmt, c.data))) << WaveErrorText(wave.OpenError());
        std::vector<float> floats;
        EXPECT_EQ(Decoded(&floats), c.expected);
        EXPECT_EQ(floats, c.floats);
    }
}

// "id:size" of each chunk kept, in order.
std::string KeptChunks(const WaveMetadata& metadata) {
    std::string kept;
    for (const WaveChunk& chunk : metadata.chunks) {
        kept += (kept.empty() ? "" : " ") + std::string(chunk.id, 4) + ":" +
                std::to_string(chunk.body.size());
    }
    return kept;
}

// A list's type and sub-chunks, or one sub-chunk with its pad byte.
Bytes Joined(const char* id, const Bytes& rest) {
    Bytes b(id, id + 4);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}
Bytes SubChunk(const char* id, const Bytes& body) {
    Bytes b = Joined(id, Le({body.size()}, 4));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) b.push_back(0);
    return b;
}

// Which chunks are kept from sources whole, damaged or hostile, wherever they lie.
TEST_F(WaveRead, MetadataKeptIsWholeAndOfKnownKinds) {
    const Bytes fmt = FormatBody(1, 1, 8000, 16);
    const Bytes data = Le({1, 2, 3}, 2);
    const Bytes info = Joined("INFO", SubChunk("ICMT", Bytes{'h', 'i', 0}));
    const Bytes cue2 = Le({2, 1, 100, 0x61746164, 0, 0, 100, 2, 200, 0x61746164, 0, 0, 200}, 4);
    Bytes cueShort = cue2;
    cueShort[0] = 3;  // three points counted, two there
    const Bytes smpl = Le({0, 0, 125000, 60, 0, 0, 0, 1, 0, 0, 0, 10, 20, 0, 0}, 4);
    Bytes smplShort = smpl;
    smplShort[28] = 2;
    const Bytes ltxt = SubChunk("ltxt", Le({1, 800, 0x206E6772, 0, 0}, 4));
    Bytes cutLabel = Joined("adtl", ltxt);
    Put32(cutLabel, 0);  // a 4-byte tail that does not hold a sub-chunk's header
    const struct {
        const char* name;
        std::vector<Chunk> chunks;
        std::string kept;
    } cases[] = {
        {"kinds before and after the samples, structural and unknown ones left out",
         {{"bext", Bytes(602, 0)},
          {"fmt ", fmt},
          {"fact", Le({3}, 4)},
          {"iXML", Bytes(5, 'x')},
          {"PEAK", Bytes(24, 0)},
          {"data", data},
          {"LIST", info},
          {"cue ", cue2},
          {"LIST", Joined("adtl", ltxt)},
          {"smpl", smpl},
          {"axml", Bytes(3, 'a')},
          {"id3 ", Bytes(10, 'i')},
          {"LIST", Joined("exif", {})}},
         "bext:602 iXML:5 LIST:16 cue :52 LIST:32 smpl:60 axml:3 id3 :10"},
        {"the first of each kind",
         {{"fmt ", fmt},
          {"LIST", info},
          {"data", data},
          {"LIST", info},
          {"id3 ", {}},
          {"ID3 ", {}}},
         "LIST:16 id3 :0"},
        {"counts that do not fit their chunk, a bext without its time reference",
         {{"fmt ", fmt},
          {"data", data},
          {"cue ", cueShort},
          {"smpl", smplShort},
          {"bext", Bytes(345, 0)},
          {"LIST", cutLabel},
          {"cue ", {1, 0, 0}},
          {"smpl", Bytes(35, 0)}},
         ""},
        {"a chunk that runs past the end, after an odd one without its pad byte",
         {{"fmt ", fmt},
          {"data", data},
          {"iXML", Bytes(3, 'x'), 0xFFFFFFFFu, false},
          {"axml", Bytes(4, 'a'), 9}},
         "iXML:3"},
        {"a data chunk left empty before them",
         {{"fmt ", fmt}, {"data", {}, 0}, {"LIST", info}},
         "LIST:16"},
        {"past the 16 MiB kept",
         {{"fmt ", fmt},
          {"data", data},
          {"iXML", Bytes(kMaxMetadataBytes - 10, 'x')},
          {"axml", Bytes(11, 'a')},
          {"id3 ", Bytes(10, 'i')}},
         "iXML:16777206 id3 :10"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Open(MakeRiff(c.chunks))) << c.name;
        EXPECT_EQ(KeptChunks(ReadWaveMetadata(wave)), c.kept) << c.name;
    }
    ASSERT_TRUE(Open(MakeRf64(cases[0].chunks)));
    EXPECT_EQ(KeptChunks(ReadWaveMetadata(wave)), cases[0].kept) << "RF64";
}

// Exact rounding to the nearest, also where a double would not hold the product.
TEST(MetadataPositions, AreScaledExactlyToTheNearest) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::uint64_t position;
        std::uint32_t from, to;
        std::uint64_t scaled;
    } cases[] = {
        {44100, 44100, 48000, 48000},
        {1, 44100, 48000, 1},                                      // 1.088
        {441, 88200, 48000, 240},                                  // 240.0
        {3, 2, 1, 2},                                              // 1.5 rounds up
        {9007199254740993ull, 48000, 48000, 9007199254740993ull},  // 2^53 + 1
        {max, 48000, 44100, 16947946117720650546ull},
        {max, 44100, 48000, max},  // does not fit: the largest value
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScalePosition(c.position, c.from, c.to), c.scaled) << c.position;
    }
}

#ifndef _WIN32
// Cheap only where the extended file is sparse.
TEST_F(WaveRead, SourcesBeyond4GiBAreReadByTheirDataSize) {
    const std::uint64_t size = (std::uint64_t{5} << 30) + 2;
    for (std::uint32_t declared : {8u, 0u, 0xFFFFFFFFu}) {  // 0 and all ones: to the end
        Bytes file = Wav(FormatBody(1, 2, 8000, 16), {});
        SetSizeAfterFmt(file, declared);
        WriteFileBytes(path, file);
        std::error_code error;
        std::filesystem::resize_file(path, size, error);
        if (error) GTEST_SKIP() << "no sparse file: " << error.message();
        ASSERT_TRUE(wave.OpenFile(Str(path)));
        EXPECT_EQ(wave.DataBytes(), declared == 8 ? 8 : size - 44);
        wave.Close();
    }
}
#endif

class WaveWrite : public ::testing::Test {
  protected:
    // A 16-bit stereo output at 44.1 kHz, created new.
    int Create(CWaveFile& output) {
        MediaParams params{1, 44100, 2, 16};
        output.SetParams(&params);
        return output.Create(Str(path), false);
    }

    // The whole file, after checking the sizes in its 56-byte header.
    Bytes Written(std::uint32_t dataBytes) {
        Bytes file = ReadFileBytes(path);
        EXPECT_EQ(file.size(), 56u + dataBytes);
        EXPECT_EQ(Get32(file, 4), 48u + dataBytes);  // RIFF
        EXPECT_EQ(Get32(file, 44), dataBytes / 4);   // fact: frames
        EXPECT_EQ(Get32(file, 52), dataBytes);       // data
        EXPECT_TRUE(std::equal(file.begin() + 56, file.end(), data.begin()));
        return file;
    }

    TempFolder folder;
    std::string path = folder.File("out.wav");
    Bytes data = Ramp(4000);
    CWaveFile wave;
};

TEST_F(WaveWrite, CloseCompletesTheHeader) {
    EXPECT_EQ(wave.Create(Str(path), false), -1);  // no format given
    EXPECT_FALSE(FileExists(path));
    ASSERT_EQ(Create(wave), 0);
    Written(0);  // valid and empty until closed
    EXPECT_TRUE(wave.WriteSamples(data.data(), 1000));
    EXPECT_TRUE(wave.WriteSamples(data.data() + 1000, 3000));
    EXPECT_EQ(wave.FrameCount(), 1000u);
    wave.Close();

    const Bytes fact = Le({1000}, 4);
    const Bytes file = Written(4000);
    EXPECT_EQ(file,
              MakeRiff({{"fmt ", FormatBody(1, 2, 44100, 16)}, {"fact", fact}, {"data", data}}));
    EXPECT_EQ(Create(wave), -2);  // never over an existing file
    EXPECT_EQ(ReadFileBytes(path), file);
}

// Chunks given for after the samples follow them, with the pad byte that odd sample data needs,
// and count in the RIFF size only; the header stays the same 56 bytes.
TEST_F(WaveWrite, ChunksAfterTheSamplesAreCountedInTheRiffSize) {
    const Bytes trailer = Joined("iXML", Le({3}, 4));
    for (const int channels : {2, 1}) {
        const std::string name = folder.File("with" + std::to_string(channels) + ".wav");
        CWaveFile output;
        MediaParams params{1, 44100, channels, 24};
        output.SetParams(&params);
        ASSERT_EQ(output.Create(Str(name), false), 0);
        const std::uint32_t bytes = 3u * channels * 5;  // 15 bytes in mono: a pad byte
        EXPECT_TRUE(output.WriteSamples(data.data(), bytes));
        Bytes chunks = trailer;
        chunks.insert(chunks.end(), {'x', 'y', 'z', 0});
        output.SetTrailer(chunks);
        ASSERT_TRUE(output.Finish());
        const Bytes file = ReadFileBytes(name);
        EXPECT_EQ(
            file,
            MakeRiff({{"fmt ", FormatBody(1, static_cast<std::uint16_t>(channels), 44100, 24)},
                      {"fact", Le({5}, 4)},
                      {"data", Bytes(data.begin(), data.begin() + bytes)},
                      {"iXML", Bytes{'x', 'y', 'z'}}}));
        ASSERT_TRUE(output.OpenFile(Str(name)));
        EXPECT_EQ(output.DataBytes(), bytes);
        EXPECT_EQ(KeptChunks(ReadWaveMetadata(output)), "iXML:3");
        output.Close();

        // Chunks that would take the file past its size limit are left out.
        const std::string limited = name + ".limited.wav";
        output.SetDataLimit(bytes + 11);
        ASSERT_EQ(output.Create(Str(limited), false), 0);
        EXPECT_TRUE(output.WriteSamples(data.data(), bytes));
        output.SetTrailer(chunks);
        ASSERT_TRUE(output.Finish());
        EXPECT_EQ(ReadFileBytes(limited).size(), kWaveHeaderBytes + bytes);
    }
}

TEST_F(WaveWrite, OutputsEndAtTheLastWholeFrame) {
    wave.SetDataLimit(3003);
    ASSERT_EQ(Create(wave), 0);
    EXPECT_FALSE(wave.WriteSamples(data.data(), 4000));
    EXPECT_TRUE(wave.LimitReached());
    EXPECT_EQ(wave.DataBytes(), 3000u);
    EXPECT_FALSE(wave.WriteSamples(data.data(), 4));
    EXPECT_TRUE(wave.Finish());
    Written(3000);

    // A partial frame (left by a write cut short) is dropped; destruction completes the file.
    path = folder.File("partial.wav");
    {
        CWaveFile output;
        ASSERT_EQ(Create(output), 0);
        output.WriteSamples(data.data(), 2002);
    }
    Written(2000);
}

#ifndef _WIN32
// The process file size limit stops a write part-way, as a full disk does.
TEST_F(WaveWrite, AFailedWriteStillLeavesWholeFramesAndAValidHeader) {
    ASSERT_EQ(Create(wave), 0);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 56 + 3001;
    auto* handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const bool wrote = wave.WriteSamples(data.data(), 4000);
    const bool finished = wave.Finish();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(wrote);
    EXPECT_TRUE(finished);
    Written(3000);

    // Chunks after the samples that the disk cannot take: the file is cut back to its samples,
    // with a header that says so, and the failure is reported.
    path = folder.File("trailer.wav");
    ASSERT_EQ(Create(wave), 0);
    EXPECT_TRUE(wave.WriteSamples(data.data(), 4000));
    wave.SetTrailer(Bytes(100, 'x'));
    limited.rlim_cur = 56 + 4000 + 50;
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const bool trailerFinished = wave.Finish();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(trailerFinished);
    Written(4000);
}
#endif

}  // namespace
