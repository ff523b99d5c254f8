// JPEG pictures with libjpeg-turbo: 4:2:0, at the quality of the picture
// setting, and back into pixels for the video encoder.
#pragma once

#include <optional>

#include "capture/picture.h"

namespace morvane {

struct JpegPicture {
    Bytes jpeg;
    int width = 0;
    int height = 0;
};

// Nothing when a side is 65536 or more (sizes travel as 16-bit numbers) or
// encoding fails. Quality is 0...1.
std::optional<JpegPicture> encodeJPEG(const Picture& picture, double quality);
// Decodes into BGRA; each side must be at least 2 and is made even.
std::optional<Picture> decodeJPEG(const Bytes& jpeg);

}  // namespace morvane
