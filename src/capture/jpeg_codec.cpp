#include "capture/jpeg_codec.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace morvane {

namespace {
struct Handle {
    explicit Handle(tjhandle h) : h(h) {}
    ~Handle() {
        if (h) tjDestroy(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    tjhandle h;
};
// TurboJPEG handles are not shared between threads; each thread keeps its own.
tjhandle compressor() {
    thread_local Handle handle(tjInitCompress());
    return handle.h;
}
tjhandle decompressor() {
    thread_local Handle handle(tjInitDecompress());
    return handle.h;
}
}  // namespace

std::optional<JpegPicture> encodeJPEG(const Picture& picture, double quality) {
    if (picture.width < 1 || picture.height < 1 || picture.width >= 65536 || picture.height >= 65536)
        return std::nullopt;
    if (picture.format == Picture::Format::i420) return encodeJPEG(toBGRA(picture), quality);
    tjhandle h = compressor();
    if (!h) return std::nullopt;
    const int q = std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(h, picture.bgra(), picture.width, picture.stride(), picture.height, TJPF_BGRX, &out,
                    &size, TJSAMP_420, q, TJFLAG_FASTDCT) != 0) {
        if (out) tjFree(out);
        return std::nullopt;
    }
    JpegPicture result{Bytes(out, out + size), picture.width, picture.height};
    tjFree(out);
    return result;
}

std::optional<Picture> decodeJPEG(const Bytes& jpeg) {
    tjhandle h = decompressor();
    if (!h || jpeg.empty()) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colourspace) != 0)
        return std::nullopt;
    if (width < 2 || height < 2 || width >= 65536 || height >= 65536) return std::nullopt;
    Picture full = Picture::makeBGRA(width, height);
    if (tjDecompress2(h, jpeg.data(), jpeg.size(), full.pixels.data(), width, full.stride(), height, TJPF_BGRX,
                      TJFLAG_FASTDCT) != 0)
        return std::nullopt;
    const int evenWidth = width & ~1, evenHeight = height & ~1;
    if (evenWidth == width && evenHeight == height) return full;
    Picture out = Picture::makeBGRA(evenWidth, evenHeight);
    for (int row = 0; row < evenHeight; ++row)
        std::copy_n(full.pixels.data() + static_cast<std::size_t>(row) * full.stride(),
                    static_cast<std::size_t>(out.stride()),
                    out.pixels.data() + static_cast<std::size_t>(row) * out.stride());
    return out;
}

}  // namespace morvane
