#include "capture/h264.h"

#include <array>
#include <cstdio>

namespace morvane::H264 {

std::string ReorderInfo::summary() const {
    const std::string base =
        "poc type " + std::to_string(picOrderCntType) + ", " + std::to_string(maxNumRefFrames) + " ref";
    if (bitstreamRestriction && maxNumReorderFrames && maxDecFrameBuffering)
        return "reorder: bitstream_restriction max_num_reorder_frames=" + std::to_string(*maxNumReorderFrames) +
               " max_dec_frame_buffering=" + std::to_string(*maxDecFrameBuffering) + " (" + base + ")";
    return "reorder: no bitstream_restriction in the SPS, a decoder may hold frames back (" + base + ")";
}

std::optional<int> nalType(View unit) {
    if (unit.empty() || (unit[0] & 0x80)) return std::nullopt;
    return unit[0] & 0x1F;
}

std::optional<Bytes> annexB(View avcc, int lengthSize) {
    if (lengthSize < 1 || lengthSize > 4 || avcc.empty()) return std::nullopt;
    Bytes out;
    out.reserve(avcc.size() + 16);
    std::size_t at = 0;
    bool any = false;
    while (at < avcc.size()) {
        if (avcc.size() - at < static_cast<std::size_t>(lengthSize)) return std::nullopt;
        std::size_t length = 0;
        for (int i = 0; i < lengthSize; ++i) length = (length << 8) | avcc[at + static_cast<std::size_t>(i)];
        at += static_cast<std::size_t>(lengthSize);
        if (avcc.size() - at < length) return std::nullopt;
        if (length == 0) continue;
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), avcc.begin() + static_cast<std::ptrdiff_t>(at),
                   avcc.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        any = true;
    }
    if (!any) return std::nullopt;
    return out;
}

std::vector<Bytes> splitAnnexB(View data) {
    std::vector<Bytes> units;
    if (data.size() < 3) return units;
    auto emit = [&](std::size_t from, std::size_t to) {
        while (to > from && data[to - 1] == 0) --to;
        if (to > from)
            units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(from),
                               data.begin() + static_cast<std::ptrdiff_t>(to));
    };
    std::optional<std::size_t> unitStart;
    std::size_t i = 0;
    while (i + 3 <= data.size()) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (unitStart) emit(*unitStart, i);
            unitStart = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (unitStart) emit(*unitStart, data.size());
    return units;
}

bool containsIDR(View annexB) {
    for (const auto& unit : splitAnnexB(annexB))
        if (!unit.empty() && (unit[0] & 0x9F) == NALType::idrSlice) return true;
    return false;
}

Bytes prependingParameterSets(const std::vector<Bytes>& sets, View annexB) {
    bool hasSPS = false, hasPPS = false;
    for (const auto& unit : splitAnnexB(annexB)) {
        auto type = nalType(unit);
        if (type == NALType::sps) hasSPS = true;
        if (type == NALType::pps) hasPPS = true;
    }
    if (hasSPS && hasPPS) return Bytes(annexB.begin(), annexB.end());
    Bytes out;
    for (const auto& set : sets) {
        if (set.empty()) continue;
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), set.begin(), set.end());
    }
    out.insert(out.end(), annexB.begin(), annexB.end());
    return out;
}

std::optional<std::string> codecString(View sps) {
    if (sps.size() < 4 || (sps[0] & 0x9F) != NALType::sps) return std::nullopt;
    char text[16];
    std::snprintf(text, sizeof text, "avc1.%02x%02x%02x", sps[1], sps[2], sps[3]);
    return std::string(text);
}

bool isCodecString(std::string_view text) {
    if (text.size() != 11 || text.substr(0, 5) != "avc1.") return false;
    for (char c : text.substr(5))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::optional<int> levelIDC(int width, int height, int framesPerSecond) {
    if (width < 1 || width > 16384 || height < 1 || height > 16384 || framesPerSecond < 1) return std::nullopt;
    struct Row {
        int level;
        std::int64_t frame, rate, square;
    };
    static constexpr std::array<Row, 7> rows = {{
        {31, 3600, 108000, 28800},
        {32, 5120, 216000, 40960},
        {40, 8192, 245760, 65536},
        {42, 8704, 522240, 69632},
        {50, 22080, 589824, 176640},
        {51, 36864, 983040, 294912},
        {52, 36864, 2073600, 294912},
    }};
    const std::int64_t w = (width + 15) / 16, h = (height + 15) / 16;
    const std::int64_t frame = w * h, rate = frame * framesPerSecond, side = std::max(w, h), square = side * side;
    for (const auto& row : rows)
        if (frame <= row.frame && rate <= row.rate && square <= row.square) return row.level;
    return std::nullopt;
}

std::string profileName(std::uint8_t profile, std::uint8_t constraints) {
    switch (profile) {
        case 66: return (constraints & 0x40) ? "Constrained Baseline" : "Baseline";
        case 77: return "Main";
        case 88: return "Extended";
        case 100: return ((constraints & 0x08) && (constraints & 0x04)) ? "Constrained High" : "High";
        default: return "profile " + std::to_string(profile);
    }
}

Bytes rbsp(View nal) {
    Bytes out;
    out.reserve(nal.size());
    int zeros = 0;
    for (std::size_t i = 0; i < nal.size(); ++i) {
        std::uint8_t b = nal[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

namespace {

class BitReader {
public:
    explicit BitReader(const Bytes& bytes, std::size_t startBit = 0) : bytes_(bytes), pos_(startBit) {}

    std::optional<std::uint32_t> bit() {
        if (pos_ >= bytes_.size() * 8) return std::nullopt;
        std::uint32_t v = (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u;
        ++pos_;
        return v;
    }
    std::optional<std::uint32_t> bits(int n) {
        if (n > 32 || n < 0) return std::nullopt;
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            auto b = bit();
            if (!b) return std::nullopt;
            v = (v << 1) | *b;
        }
        return static_cast<std::uint32_t>(v);
    }
    std::optional<std::uint32_t> unsignedGolomb() {
        int zeros = 0;
        while (true) {
            auto b = bit();
            if (!b) return std::nullopt;
            if (*b == 1) break;
            if (++zeros >= 32) return std::nullopt;
        }
        auto rest = bits(zeros);
        if (!rest) return std::nullopt;
        return static_cast<std::uint32_t>(((std::uint64_t{1} << zeros) - 1) + *rest);
    }
    bool skip(int n) {
        for (; n > 32; n -= 32)
            if (!bits(32)) return false;
        return bits(n).has_value();
    }
    bool skipHRD() {
        auto count = unsignedGolomb();
        if (!count || *count > 31) return false;
        if (!skip(8)) return false;
        for (std::uint32_t i = 0; i <= *count; ++i)
            if (!unsignedGolomb() || !unsignedGolomb() || !skip(1)) return false;
        return skip(20);
    }

private:
    const Bytes& bytes_;
    std::size_t pos_;
};

bool isHighProfile(std::uint32_t p) {
    for (std::uint32_t q : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u})
        if (p == q) return true;
    return false;
}

}  // namespace

std::optional<ReorderInfo> reorderInfo(View sps) {
    if (sps.size() < 5 || (sps[0] & 0x9F) != NALType::sps) return std::nullopt;
    const Bytes body = rbsp(sps.subspan(1));
    if (body.size() < 3) return std::nullopt;
    const std::uint32_t profile = body[0];
    BitReader r(body, 24);
#define MORVANE_READ(name, expr) \
    auto name = (expr);          \
    if (!name) return std::nullopt
    MORVANE_READ(spsID, r.unsignedGolomb());
    if (isHighProfile(profile)) {
        MORVANE_READ(chroma, r.unsignedGolomb());
        if (*chroma > 3) return std::nullopt;
        if (*chroma == 3 && !r.skip(1)) return std::nullopt;
        if (!r.unsignedGolomb() || !r.unsignedGolomb() || !r.skip(1)) return std::nullopt;
        MORVANE_READ(scaling, r.bit());
        if (*scaling) {
            const int lists = *chroma == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                MORVANE_READ(present, r.bit());
                if (!*present) continue;
                const int size = i < 6 ? 16 : 64;
                int last = 8, next = 8;
                for (int j = 0; j < size && next != 0; ++j) {
                    MORVANE_READ(code, r.unsignedGolomb());
                    // Signed Exp-Golomb: odd codes are positive.
                    const std::int64_t delta = (*code & 1) ? (static_cast<std::int64_t>(*code) + 1) / 2
                                                           : -static_cast<std::int64_t>(*code) / 2;
                    next = static_cast<int>(((last + delta) % 256 + 256) % 256);
                    if (next != 0) last = next;
                }
            }
        }
    }
    if (!r.unsignedGolomb()) return std::nullopt;  // log2_max_frame_num_minus4
    MORVANE_READ(pocType, r.unsignedGolomb());
    if (*pocType > 2) return std::nullopt;
    if (*pocType == 0) {
        if (!r.unsignedGolomb()) return std::nullopt;
    } else if (*pocType == 1) {
        if (!r.skip(1) || !r.unsignedGolomb() || !r.unsignedGolomb()) return std::nullopt;
        MORVANE_READ(cycle, r.unsignedGolomb());
        if (*cycle > 255) return std::nullopt;
        for (std::uint32_t i = 0; i < *cycle; ++i)
            if (!r.unsignedGolomb()) return std::nullopt;
    }
    MORVANE_READ(refFrames, r.unsignedGolomb());
    if (!r.skip(1) || !r.unsignedGolomb() || !r.unsignedGolomb()) return std::nullopt;
    MORVANE_READ(frameMbsOnly, r.bit());
    if (!*frameMbsOnly && !r.skip(1)) return std::nullopt;
    if (!r.skip(1)) return std::nullopt;
    MORVANE_READ(cropping, r.bit());
    if (*cropping)
        for (int i = 0; i < 4; ++i)
            if (!r.unsignedGolomb()) return std::nullopt;
    ReorderInfo info;
    info.picOrderCntType = static_cast<int>(*pocType);
    info.maxNumRefFrames = static_cast<int>(*refFrames);
    MORVANE_READ(vui, r.bit());
    if (!*vui) return info;
    MORVANE_READ(aspect, r.bit());
    if (*aspect) {
        MORVANE_READ(idc, r.bits(8));
        if (*idc == 255 && !r.skip(32)) return std::nullopt;
    }
    MORVANE_READ(overscan, r.bit());
    if (*overscan && !r.skip(1)) return std::nullopt;
    MORVANE_READ(signal, r.bit());
    if (*signal) {
        if (!r.skip(4)) return std::nullopt;
        MORVANE_READ(colour, r.bit());
        if (*colour && !r.skip(24)) return std::nullopt;
    }
    MORVANE_READ(chromaLoc, r.bit());
    if (*chromaLoc && (!r.unsignedGolomb() || !r.unsignedGolomb())) return std::nullopt;
    MORVANE_READ(timing, r.bit());
    if (*timing && !r.skip(65)) return std::nullopt;
    MORVANE_READ(nalHRD, r.bit());
    if (*nalHRD && !r.skipHRD()) return std::nullopt;
    MORVANE_READ(vclHRD, r.bit());
    if (*vclHRD && !r.skipHRD()) return std::nullopt;
    if ((*nalHRD || *vclHRD) && !r.skip(1)) return std::nullopt;
    if (!r.skip(1)) return std::nullopt;  // pic_struct_present_flag
    MORVANE_READ(restriction, r.bit());
    if (!*restriction) return info;
    if (!r.skip(1)) return std::nullopt;
    for (int i = 0; i < 4; ++i)
        if (!r.unsignedGolomb()) return std::nullopt;
    MORVANE_READ(reorder, r.unsignedGolomb());
    MORVANE_READ(buffering, r.unsignedGolomb());
#undef MORVANE_READ
    info.bitstreamRestriction = true;
    info.maxNumReorderFrames = static_cast<int>(*reorder);
    info.maxDecFrameBuffering = static_cast<int>(*buffering);
    return info;
}

}  // namespace morvane::H264
