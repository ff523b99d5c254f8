#include "capture/picture_pool.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <sstream>
#include <string>

namespace morvane {

namespace {

// Plays a stream's turnover of pictures: "+b" makes a BGRA picture, "+i" a
// planar one, "-b" and "-i" let the oldest of that format go. The warm-up
// runs once, the frame many times; returns what the last frames made afresh.
int freshInSteadyFrames(PicturePool& pool, const std::string& warmUp, const std::string& frame) {
    std::map<char, std::deque<PicturePtr>> held;
    auto play = [&](const std::string& script) {
        std::istringstream tokens(script);
        for (std::string t; tokens >> t;) {
            const auto format = t[1] == 'b' ? Picture::Format::bgra : Picture::Format::i420;
            if (t[0] == '+')
                held[t[1]].push_back(pool.make(format, 64, 36));
            else
                held[t[1]].pop_front();
        }
    };
    play(warmUp);
    for (int i = 0; i < 10; ++i) play(frame);
    const int before = pool.freshPictures();
    for (int i = 0; i < 20; ++i) play(frame);
    return pool.freshPictures() - before;
}

}  // namespace

TEST(PicturePool, ASteadyStreamMakesNothingAfreshWhateverItsMixOfFormats) {
    struct Case {
        const char* what;
        const char* warmUp;
        const char* frame;
    };
    for (const Case& c : {
             Case{"full-size video, the encoder keeping the last", "+i", "+i -i"},
             Case{"full-size video, one waiting and one kept", "+i +i", "+i -i"},
             Case{"scaled video, the intermediate let go first", "+i", "+b +i -b -i"},
             Case{"scaled video, the planar one let go first", "+i", "+b +i -i -b"},
             Case{"two planar pictures a frame beside one BGRA", "", "+b +i +i -b -i -i"},
             Case{"JPEG pictures", "", "+b -b"},
         }) {
        auto pool = std::make_shared<PicturePool>();
        EXPECT_EQ(freshInSteadyFrames(*pool, c.warmUp, c.frame), 0) << c.what;
    }
}

TEST(PicturePool, SparesOfAnotherSizeOrAClosedPoolAreLetGo) {
    auto pool = std::make_shared<PicturePool>();
    {
        PicturePtr a = pool->make(Picture::Format::i420, 64, 36);
        PicturePtr b = pool->make(Picture::Format::i420, 64, 36);
        PicturePtr c = pool->make(Picture::Format::i420, 64, 36);
        PicturePtr d = pool->make(Picture::Format::bgra, 64, 36);
    }
    EXPECT_EQ(pool->spares(), 3u);  // two of one format, one of the other

    const PicturePtr resized = pool->make(Picture::Format::i420, 32, 18);
    EXPECT_EQ(resized->width, 32);
    EXPECT_EQ(resized->pixels.size(), 32u * 18 * 3 / 2);
    EXPECT_EQ(pool->spares(), 0u);
    const int fresh = pool->freshPictures();
    { PicturePtr old = pool->make(Picture::Format::bgra, 32, 18); }
    EXPECT_EQ(pool->freshPictures(), fresh + 1);
    EXPECT_EQ(pool->spares(), 1u);

    PicturePtr outliving = pool->make(Picture::Format::bgra, 32, 18);
    pool->close();
    EXPECT_EQ(pool->spares(), 0u);
    outliving.reset();
    EXPECT_EQ(pool->spares(), 0u);
    PicturePtr afterPool = pool->make(Picture::Format::i420, 32, 18);
    pool.reset();
    afterPool.reset();  // its pool is gone: freed, not given back
}

}  // namespace morvane
