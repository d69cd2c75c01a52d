// The ASIO channel's per-channel conversions, every cell of both tables,
// against an arithmetic statement of the rule: an integer sample of N bits
// moves into a container of M bits MSB-justified (shifted left by M − N when
// widening, right by N − M when narrowing, the rest zero), little-endian on
// both sides. The test never copies bytes the way the routines do.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/asiochannel/asio_sample_conversion.h"
#include "platform/kernel/debug_sink.h"

namespace {

enum class Direction { Render, Capture };

// What a cell must do, stated from the published ASIO type numbers.
enum class CellKind { Integer, Dsd, Nothing, Unsupported };

constexpr ULONG kInt16LSB = 16;
constexpr ULONG kInt24LSB = 17;
constexpr ULONG kInt32LSB = 18;
constexpr ULONG kFloat32LSB = 19;
constexpr ULONG kFloat64LSB = 20;
constexpr ULONG kDSDInt8LSB1 = 32;
constexpr ULONG kDSDInt8MSB1 = 33;

CellKind ExpectedKind(Direction dir, ULONG width, ULONG type) {
    const bool deviceWidth = width >= 2 && width <= 4;
    if (deviceWidth && (type == kInt16LSB || type == kInt24LSB || type == kInt32LSB)) return CellKind::Integer;
    if (deviceWidth && (type == kFloat32LSB || type == kFloat64LSB)) return CellKind::Nothing;
    if (dir == Direction::Render && width == 4 && type == kDSDInt8MSB1) return CellKind::Dsd;
    return CellKind::Unsupported;
}

// Bits of the little-endian integer types.
unsigned IntegerBits(ULONG type) { return type == kInt16LSB ? 16 : type == kInt24LSB ? 24 : 32; }

// MSB-justified move of an unsigned `fromBits` value into `toBits`.
uint64_t Justify(uint64_t value, unsigned fromBits, unsigned toBits) {
    return toBits >= fromBits ? value << (toBits - fromBits) : value >> (fromBits - toBits);
}

void WriteLE(UCHAR* p, uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) p[i] = static_cast<UCHAR>((v >> (8 * i)) % 256);
}

// Deterministic sample values of `bits` bits, covering both signs and the
// extremes.
uint64_t SampleValue(unsigned frame, unsigned bits) {
    const uint64_t mask = (uint64_t{1} << bits) - 1;
    switch (frame % 5) {
        case 0: return mask;                       // -1
        case 1: return uint64_t{1} << (bits - 1);  // most negative
        case 2: return (uint64_t{1} << (bits - 1)) - 1;
        default: return (0x9E3779B97F4A7C15ull * (frame + 1) >> 13) & mask;
    }
}

constexpr UCHAR kGuard = 0xC5;

// Collects the error traces the routines write while alive.
class TraceCounter {
public:
    TraceCounter() {
        platform::SetDebugPrintSink([this](const char* text) {
            if (std::string(text).find("error") != std::string::npos) ++errors_;
        });
    }
    ~TraceCounter() { platform::SetDebugPrintSink(nullptr); }
    int errors() const { return errors_; }

private:
    int errors_ = 0;
};

struct Cell {
    Direction dir;
    ULONG width;
    ULONG type;
};

std::string CellName(const testing::TestParamInfo<Cell>& info) {
    return std::string(info.param.dir == Direction::Render ? "Render" : "Capture") + "W" +
           std::to_string(info.param.width) + "T" + std::to_string(info.param.type);
}

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (Direction dir : {Direction::Render, Direction::Capture}) {
        for (ULONG width = 1; width <= ASIO_CONTAINER_WIDTHS; ++width) {
            for (ULONG type = 0; type < ASIO_SAMPLE_TYPE_COLUMNS; ++type) cells.push_back({dir, width, type});
        }
    }
    return cells;
}

// Every cell in one test per property (one test per cell would make 1344
// test processes); a failure names its cell.
class AsioConversionCellTest : public testing::Test {
 protected:
    const Cell& GetParam() const { return cell_; }
    template <typename Body>
    void ForEachCell(Body body) {
        for (const Cell& c : AllCells()) {
            cell_ = c;
            SCOPED_TRACE(CellName(testing::TestParamInfo<Cell>(c, 0)));
            body();
        }
    }
    Cell cell_{};

protected:
    PASIO_CONVERT Routine() const {
        const Cell& c = GetParam();
        return c.dir == Direction::Render ? AsioRenderConversion(c.width, c.type) : AsioCaptureConversion(c.width, c.type);
    }
    PASIO_CONVERT TableCell() const {
        const Cell& c = GetParam();
        return c.dir == Direction::Render ? AsioRenderConversions[c.width - 1][c.type]
                                          : AsioCaptureConversions[c.width - 1][c.type];
    }
    PASIO_CONVERT Unsupported() const {
        return GetParam().dir == Direction::Render ? AsioRenderUnsupported : AsioCaptureUnsupported;
    }

    // Runs the cell over `frames` frames of a device layout of `stride` bytes
    // per frame with this channel at byte `offset`, the other channels and a
    // tail filled with guard bytes, and checks the result against the rule.
    void Check(ULONG frames, ULONG stride, ULONG offset) {
        const Cell& c = GetParam();
        const CellKind kind = ExpectedKind(c.dir, c.width, c.type);
        // The ASIO run's step: the integer's size, 4 bytes per frame for DSD in
        // 4-byte containers; cells that move nothing get an 8-byte run.
        const ULONG asioStep =
            kind == CellKind::Dsd ? 4 : kind == CellKind::Integer ? IntegerBits(c.type) / 8 : 8;
        const unsigned asioBits = kind == CellKind::Integer ? IntegerBits(c.type) : 32;
        const unsigned deviceBits = 8 * c.width;
        constexpr ULONG kTail = 16;

        std::vector<UCHAR> device(static_cast<size_t>(frames) * stride + kTail, kGuard);
        std::vector<UCHAR> asio(static_cast<size_t>(frames) * asioStep + kTail, kGuard);
        std::vector<UCHAR> expectDevice = device;
        std::vector<UCHAR> expectAsio = asio;

        // Fill the source side with sample values; build the expected
        // destination arithmetically.
        for (ULONG f = 0; f < frames; ++f) {
            UCHAR* dev = device.data() + static_cast<size_t>(f) * stride + offset;
            UCHAR* run = asio.data() + static_cast<size_t>(f) * asioStep;
            if (c.dir == Direction::Render) {
                if (kind == CellKind::Dsd) {
                    const uint64_t word = SampleValue(f, 32);  // four DSD bytes, oldest in byte 0
                    WriteLE(run, word, 4);
                    WriteLE(expectDevice.data() + static_cast<size_t>(f) * stride + offset, word, 4);
                } else {
                    const uint64_t v = SampleValue(f, asioBits);
                    WriteLE(run, v, asioStep);
                    if (kind == CellKind::Integer) {
                        WriteLE(expectDevice.data() + static_cast<size_t>(f) * stride + offset,
                                Justify(v, asioBits, deviceBits), c.width);
                    }
                }
            } else {
                const uint64_t v = SampleValue(f, deviceBits);
                WriteLE(dev, v, c.width);
                WriteLE(expectDevice.data() + static_cast<size_t>(f) * stride + offset, v, c.width);
                if (kind == CellKind::Integer) {
                    WriteLE(expectAsio.data() + static_cast<size_t>(f) * asioStep, Justify(v, deviceBits, asioBits),
                            asioStep);
                }
            }
        }
        if (c.dir == Direction::Render) expectAsio = asio;

        TraceCounter traces;
        const PASIO_CONVERT routine = Routine();
        if (c.dir == Direction::Render) {
            routine(asio.data(), device.data() + offset, frames, stride);
        } else {
            routine(device.data() + offset, asio.data(), frames, stride);
        }

        EXPECT_EQ(device, expectDevice) << "device side, frames " << frames << " stride " << stride;
        EXPECT_EQ(asio, expectAsio) << "ASIO side, frames " << frames;
        // Only the unsupported routine reports; the float cells are silent.
        EXPECT_EQ(traces.errors(), kind == CellKind::Unsupported ? 1 : 0);
    }
};

TEST_F(AsioConversionCellTest, LookupAndTableAgreeAndMarkTheCellsKind) {
    ForEachCell([&] {
        const Cell& c = GetParam();
        ASSERT_NE(Routine(), nullptr);
        EXPECT_EQ(Routine(), TableCell());
        EXPECT_EQ(Routine() == Unsupported(), ExpectedKind(c.dir, c.width, c.type) == CellKind::Unsupported);
    });
}

TEST_F(AsioConversionCellTest, PackedFramesFollowTheRule) {
    // One channel: the device frames are the containers back to back.
    ForEachCell([&] { Check(9, GetParam().width, 0); });
}

TEST_F(AsioConversionCellTest, WideFramesTouchOnlyThisChannel) {
    // A channel in the middle of a frame with an odd size: neighbours and
    // padding stay as they were, containers land at unaligned addresses.
    ForEachCell([&] {
        const ULONG width = GetParam().width;
        Check(11, 3 * width + 1, width);
    });
}

TEST_F(AsioConversionCellTest, ZeroFramesWriteNothing) {
    ForEachCell([&] {
        const ULONG width = GetParam().width;
        Check(0, 2 * width, width);
    });
}

// The listed byte-level examples, render and capture.
struct ByteCase {
    const char* name;
    Direction dir;
    ULONG width;
    ULONG type;
    std::vector<UCHAR> source;  // one frame
    std::vector<UCHAR> expect;  // one destination sample
};

TEST(AsioConversionExamples, ListedByteCases) {
    const ByteCase cases[] = {
        {"Int24 into 4", Direction::Render, 4, kInt24LSB, {0x11, 0x22, 0x33}, {0x00, 0x11, 0x22, 0x33}},
        {"Int24 into 2", Direction::Render, 2, kInt24LSB, {0x11, 0x22, 0x33}, {0x22, 0x33}},
        {"Int24 into 3", Direction::Render, 3, kInt24LSB, {0x11, 0x22, 0x33}, {0x11, 0x22, 0x33}},
        {"Int32 into 3", Direction::Render, 3, kInt32LSB, {0x11, 0x22, 0x33, 0x44}, {0x22, 0x33, 0x44}},
        {"Int16 0x8001 into 4", Direction::Render, 4, kInt16LSB, {0x01, 0x80}, {0x00, 0x00, 0x01, 0x80}},
        {"3 into Int32", Direction::Capture, 3, kInt32LSB, {0x11, 0x22, 0x33}, {0x00, 0x11, 0x22, 0x33}},
        {"DSD into 4", Direction::Render, 4, kDSDInt8MSB1, {0x69, 0x96, 0xA5, 0x5A}, {0x69, 0x96, 0xA5, 0x5A}},
    };
    for (const ByteCase& bc : cases) {
        SCOPED_TRACE(bc.name);
        std::vector<UCHAR> source = bc.source;
        std::vector<UCHAR> dest(bc.expect.size(), 0xEE);
        const PASIO_CONVERT routine =
            bc.dir == Direction::Render ? AsioRenderConversion(bc.width, bc.type) : AsioCaptureConversion(bc.width, bc.type);
        routine(source.data(), dest.data(), 1, bc.width);
        EXPECT_EQ(dest, bc.expect);
    }
}

TEST(AsioConversionExamples, UnsupportedAndSilentCellsLeaveTheFramesUnchanged) {
    // A Float32LSB channel, a type-32 channel and a 1-byte container, each on
    // a 4-frame run of two 4-byte channels.
    struct Case {
        const char* name;
        ULONG width;
        ULONG type;
        int errors;
    } const cases[] = {
        {"Float32LSB", 4, kFloat32LSB, 0},
        {"Float64LSB", 3, kFloat64LSB, 0},
        {"DSDInt8LSB1", 4, kDSDInt8LSB1, 1},
        {"1-byte container", 1, kInt16LSB, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> asio(64, 0x7F);
        std::vector<UCHAR> device(32, kGuard);
        {
            TraceCounter traces;
            AsioRenderConversion(c.width, c.type)(asio.data(), device.data(), 4, 8);
            AsioCaptureConversion(c.width, c.type)(device.data(), asio.data(), 4, 8);
            EXPECT_EQ(traces.errors(), 2 * c.errors);
        }
        EXPECT_EQ(device, std::vector<UCHAR>(32, kGuard));
        EXPECT_EQ(asio, std::vector<UCHAR>(64, 0x7F));
    }
}

TEST(AsioConversionExamples, DsdRenderIgnoresNullAddresses) {
    const PASIO_CONVERT dsd = AsioRenderConversion(4, kDSDInt8MSB1);
    std::vector<UCHAR> run(16, 0x69);
    std::vector<UCHAR> device(16, kGuard);
    dsd(nullptr, device.data(), 4, 4);
    EXPECT_EQ(device, std::vector<UCHAR>(16, kGuard));
    dsd(run.data(), nullptr, 4, 4);  // must not fault
    EXPECT_EQ(run, std::vector<UCHAR>(16, 0x69));
}

TEST(AsioConversionLookup, OutOfRangeWidthsAndTypesAreUnsupported) {
    const ULONG widths[] = {0, 5, 8, 0x80000000u, 0xFFFFFFFFu};
    const ULONG types[] = {kInt16LSB, kInt32LSB, kDSDInt8MSB1, 42, 43, 255, 0xFFFFFFFFu};
    for (ULONG w : widths) {
        for (ULONG t : types) {
            EXPECT_EQ(AsioRenderConversion(w, t), AsioRenderUnsupported) << w << "/" << t;
            EXPECT_EQ(AsioCaptureConversion(w, t), AsioCaptureUnsupported) << w << "/" << t;
        }
    }
    for (ULONG w = 1; w <= 4; ++w) {
        for (ULONG t : {42u, 43u, 255u, 0xFFFFFFFFu}) {
            EXPECT_EQ(AsioRenderConversion(w, t), AsioRenderUnsupported) << w << "/" << t;
            EXPECT_EQ(AsioCaptureConversion(w, t), AsioCaptureUnsupported) << w << "/" << t;
        }
    }
}

TEST(AsioSampleBytesTest, EveryTypeNumber) {
    // Sizes of the published ASIO types; everything else is unknown (0).
    auto published = [](ULONG t) -> ULONG {
        if (t == 0 || t == 16) return 2;                  // Int16
        if (t == 1 || t == 17) return 3;                  // Int24
        if (t == 2 || t == 18 || t == 3 || t == 19) return 4;  // Int32, Float32
        if ((t >= 8 && t <= 11) || (t >= 24 && t <= 27)) return 4;  // Int32 with 16..24 bits used
        if (t == 4 || t == 20) return 8;                  // Float64
        if (t == 32 || t == 33) return 1;                 // DSD, one byte of 8 bits
        return 0;                                         // 5-7, 12-15, 21-23, 28-31, 34+ (40 included)
    };
    for (ULONG t = 0; t < 256; ++t) EXPECT_EQ(AsioSampleBytes(t), published(t)) << "type " << t;
    EXPECT_EQ(AsioSampleBytes(0xFFFFFFFFu), 0u);
}

}  // namespace
