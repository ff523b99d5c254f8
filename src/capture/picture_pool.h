// Reuses picture buffers once their users let go, so a steady stream costs
// no fresh pages. The stream's thread makes pictures, the encode queue and
// the server let them go on theirs: everything sits behind one lock.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/picture.h"

namespace morvane {

class PicturePool : public std::enable_shared_from_this<PicturePool> {
public:
    // Per format: one picture is being filled, one waits for the encoder and
    // one is kept by it for repeats; two spares cover the turnover.
    static constexpr std::size_t sparesPerFormat = 2;

    // A picture of the format and size, a spare one when there is one. A new
    // size lets the spares of the old one go: a stream has one size at a
    // time, whichever formats it goes through.
    PicturePtr make(Picture::Format format, int width, int height);
    // Frees the spares and keeps none from now on: the stream is over.
    void close();

    // Pictures made afresh so far, and spares kept now.
    int freshPictures() const;
    std::size_t spares() const;

private:
    void giveBack(std::unique_ptr<Picture> picture);

    mutable std::mutex m_;
    std::vector<std::unique_ptr<Picture>> spare_;
    int width_ = 0;
    int height_ = 0;
    int fresh_ = 0;
    bool closed_ = false;
};

}  // namespace morvane
