#include "capture/h264.h"

#include <gtest/gtest.h>

namespace morvane {

namespace {
Bytes bytes(std::initializer_list<int> v) {
    Bytes out;
    for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

// Writes bits most significant first, with Exp-Golomb codes, to build SPS
// units for the reader.
struct BitWriter {
    Bytes out;
    int used = 8;
    void bit(int b) {
        if (used == 8) {
            out.push_back(0);
            used = 0;
        }
        if (b) out.back() |= static_cast<std::uint8_t>(0x80 >> used);
        ++used;
    }
    void bits(std::uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    }
    void ue(std::uint32_t v) {
        std::uint64_t x = std::uint64_t{v} + 1;
        int len = 0;
        while ((x >> len) > 1) ++len;
        for (int i = 0; i < len; ++i) bit(0);
        bits(static_cast<std::uint32_t>(x), len + 1);
    }
    void trailing() {
        bit(1);
        while (used != 8) bit(0);
    }
};

Bytes makeSPS(int profile, int pocType, int refs, bool vui, std::optional<std::pair<int, int>> restriction) {
    BitWriter w;
    w.bits(0x67, 8);
    w.bits(static_cast<std::uint32_t>(profile), 8);
    w.bits(0, 8);
    w.bits(40, 8);
    w.ue(0);  // sps id
    if (profile == 100) {
        w.ue(1);  // chroma 4:2:0
        w.ue(0);
        w.ue(0);
        w.bit(0);
        w.bit(1);  // scaling matrix present
        for (int i = 0; i < 8; ++i) {
            if (i == 0) {
                w.bit(1);
                w.ue(1);  // delta +1 -> 9
                w.ue(18); // delta -9 -> 0 ends the list
            } else {
                w.bit(0);
            }
        }
    }
    w.ue(0);  // log2_max_frame_num_minus4
    w.ue(static_cast<std::uint32_t>(pocType));
    if (pocType == 0) w.ue(2);
    w.ue(static_cast<std::uint32_t>(refs));
    w.bit(0);
    w.ue(119);  // 1920 wide
    w.ue(67);
    w.bit(1);  // frame_mbs_only
    w.bit(1);
    w.bit(1);  // cropping
    w.ue(0);
    w.ue(0);
    w.ue(0);
    w.ue(4);
    w.bit(vui ? 1 : 0);
    if (vui) {
        w.bit(0);  // aspect
        w.bit(0);  // overscan
        w.bit(1);  // video signal
        w.bits(5, 3);
        w.bit(0);
        w.bit(1);
        w.bits(0x010101, 24);
        w.bit(0);  // chroma loc
        w.bit(1);  // timing
        w.bits(1, 32);
        w.bits(60, 32);
        w.bit(0);
        w.bit(0);  // nal hrd
        w.bit(0);  // vcl hrd
        w.bit(0);  // pic struct
        w.bit(restriction ? 1 : 0);
        if (restriction) {
            w.bit(1);
            w.ue(2);
            w.ue(1);
            w.ue(16);
            w.ue(16);
            w.ue(static_cast<std::uint32_t>(restriction->first));
            w.ue(static_cast<std::uint32_t>(restriction->second));
        }
    }
    w.trailing();
    // Escape the payload as an encoder would, so the reader's unescaping is
    // exercised too.
    Bytes escaped;
    int zeros = 0;
    for (std::size_t i = 0; i < w.out.size(); ++i) {
        if (i > 0 && zeros >= 2 && w.out[i] <= 3) {
            escaped.push_back(3);
            zeros = 0;
        }
        escaped.push_back(w.out[i]);
        zeros = w.out[i] == 0 ? zeros + 1 : 0;
    }
    return escaped;
}
}  // namespace

TEST(H264Bitstream, LengthPrefixedUnitsBecomeStartCodeUnitsAndBack) {
    const Bytes avcc = bytes({0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 0, 0, 0, 0, 3, 0x65, 1, 2});
    auto annexB = H264::annexB(avcc, 4);
    ASSERT_TRUE(annexB);
    EXPECT_EQ(*annexB, bytes({0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65, 1, 2}));
    auto units = H264::splitAnnexB(*annexB);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0], bytes({0x67, 0x42}));
    EXPECT_EQ(units[1], bytes({0x65, 1, 2}));
    EXPECT_TRUE(H264::containsIDR(*annexB));

    EXPECT_FALSE(H264::annexB(bytes({0, 0, 0, 9, 0x65}), 4));  // claims more than remains
    EXPECT_FALSE(H264::annexB(bytes({0, 0}), 4));
    EXPECT_FALSE(H264::annexB(bytes({0, 0, 0, 0}), 4));  // nothing but empty units
    EXPECT_FALSE(H264::annexB(avcc, 5));
    EXPECT_FALSE(H264::annexB({}, 4));
    EXPECT_EQ(*H264::annexB(bytes({1, 0x41, 2, 0x41, 7}), 1), bytes({0, 0, 0, 1, 0x41, 0, 0, 0, 1, 0x41, 7}));

    EXPECT_TRUE(H264::splitAnnexB(bytes({0x65, 1, 2})).empty());
    EXPECT_TRUE(H264::splitAnnexB(bytes({0, 1})).empty());
    auto three = H264::splitAnnexB(bytes({0, 0, 1, 0x41, 9, 0, 0, 0, 0, 1, 0x06, 0, 0}));
    ASSERT_EQ(three.size(), 2u);
    EXPECT_EQ(three[0], bytes({0x41, 9}));
    EXPECT_EQ(three[1], bytes({0x06}));
    EXPECT_FALSE(H264::containsIDR(bytes({0, 0, 0, 1, 0x41, 1})));
    EXPECT_TRUE(H264::containsIDR(bytes({0, 0, 0, 1, 0x25, 1})));   // reference bits ignored
    EXPECT_FALSE(H264::containsIDR(bytes({0, 0, 0, 1, 0x85, 1})));  // forbidden bit set
    EXPECT_EQ(H264::nalType(bytes({0x67})), 7);
    EXPECT_FALSE(H264::nalType(bytes({0xE7})));
    EXPECT_FALSE(H264::nalType({}));
}

TEST(H264Bitstream, ParameterSetsArePutInFrontOnlyWhenMissing) {
    const Bytes sps = bytes({0x67, 0x64, 0, 0x28});
    const Bytes pps = bytes({0x68, 0xEE});
    const Bytes idr = bytes({0, 0, 0, 1, 0x65, 0x88});
    EXPECT_EQ(H264::prependingParameterSets({sps, {}, pps}, idr),
              bytes({0, 0, 0, 1, 0x67, 0x64, 0, 0x28, 0, 0, 0, 1, 0x68, 0xEE, 0, 0, 0, 1, 0x65, 0x88}));
    const Bytes complete = H264::prependingParameterSets({sps, pps}, idr);
    EXPECT_EQ(H264::prependingParameterSets({sps, pps}, complete), complete);
    const Bytes onlySPS = bytes({0, 0, 0, 1, 0x67, 0x64, 0, 0x28, 0, 0, 0, 1, 0x65, 0x88});
    EXPECT_EQ(H264::prependingParameterSets({sps, pps}, onlySPS).size(), onlySPS.size() + 14);
}

TEST(H264Bitstream, CodecStringsAndLevelsFollowTheStream) {
    EXPECT_EQ(H264::codecString(bytes({0x67, 0x64, 0x00, 0x28, 0xAC})), "avc1.640028");
    EXPECT_EQ(H264::codecString(bytes({0x27, 0x42, 0xC0, 0x1F})), "avc1.42c01f");
    EXPECT_FALSE(H264::codecString(bytes({0x68, 0x64, 0x00, 0x28})));
    EXPECT_FALSE(H264::codecString(bytes({0x67, 0x64, 0x00})));
    EXPECT_TRUE(H264::isCodecString("avc1.640028"));
    EXPECT_FALSE(H264::isCodecString("avc1.64002A"));
    EXPECT_FALSE(H264::isCodecString("avc1.6400280"));
    EXPECT_FALSE(H264::isCodecString("avc3.640028"));
    EXPECT_FALSE(H264::isCodecString("avc1.64002g"));

    EXPECT_EQ(H264::levelIDC(1920, 1080, 30), 40);
    EXPECT_EQ(H264::levelIDC(1920, 1080, 60), 42);
    EXPECT_EQ(H264::levelIDC(1280, 720, 30), 31);
    EXPECT_EQ(H264::levelIDC(1280, 720, 60), 32);
    EXPECT_EQ(H264::levelIDC(3840, 2160, 30), 51);
    EXPECT_EQ(H264::levelIDC(3840, 2160, 60), 52);
    EXPECT_EQ(H264::levelIDC(16, 8192, 1), 51);  // a thin picture needs the level of its long side
    EXPECT_FALSE(H264::levelIDC(16385, 100, 30));
    EXPECT_FALSE(H264::levelIDC(0, 100, 30));
    EXPECT_FALSE(H264::levelIDC(100, 100, 0));
    EXPECT_FALSE(H264::levelIDC(7680, 4320, 60));

    EXPECT_EQ(H264::profileName(66, 0x40), "Constrained Baseline");
    EXPECT_EQ(H264::profileName(66, 0), "Baseline");
    EXPECT_EQ(H264::profileName(77, 0), "Main");
    EXPECT_EQ(H264::profileName(88, 0), "Extended");
    EXPECT_EQ(H264::profileName(100, 0x0C), "Constrained High");
    EXPECT_EQ(H264::profileName(100, 0x08), "High");
    EXPECT_EQ(H264::profileName(244, 0), "profile 244");
}

TEST(H264Bitstream, SequenceParameterSetsTellWhetherFramesMayBeHeldBack) {
    EXPECT_EQ(H264::rbsp(bytes({0, 0, 3, 1, 0, 0, 3, 0, 0, 3})), bytes({0, 0, 1, 0, 0, 0, 0}));

    auto none = H264::reorderInfo(makeSPS(66, 2, 1, false, std::nullopt));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->bitstreamRestriction);
    EXPECT_EQ(none->summary(),
              "reorder: no bitstream_restriction in the SPS, a decoder may hold frames back (poc type 2, 1 ref)");

    auto vuiNoRestriction = H264::reorderInfo(makeSPS(77, 0, 3, true, std::nullopt));
    ASSERT_TRUE(vuiNoRestriction);
    EXPECT_EQ(vuiNoRestriction->picOrderCntType, 0);
    EXPECT_EQ(vuiNoRestriction->maxNumRefFrames, 3);
    EXPECT_FALSE(vuiNoRestriction->bitstreamRestriction);

    auto high = H264::reorderInfo(makeSPS(100, 2, 1, true, std::pair{0, 1}));
    ASSERT_TRUE(high);
    EXPECT_EQ(*high, (H264::ReorderInfo{2, 1, true, 0, 1}));
    EXPECT_EQ(high->summary(),
              "reorder: bitstream_restriction max_num_reorder_frames=0 max_dec_frame_buffering=1 (poc type 2, 1 ref)");

    Bytes cut = makeSPS(100, 2, 1, true, std::pair{0, 1});
    cut.resize(cut.size() - 3);
    EXPECT_FALSE(H264::reorderInfo(cut));
    EXPECT_FALSE(H264::reorderInfo(bytes({0x68, 1, 2, 3, 4})));
    EXPECT_FALSE(H264::reorderInfo(bytes({0x67, 0x64, 0})));
    EXPECT_FALSE(H264::reorderInfo(bytes({0x67, 0x42, 0, 0x28, 0, 0, 0, 0, 0, 0})));  // runaway Exp-Golomb
}

}  // namespace morvane
