#include "capture/screen_picture.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include <libyuv/scale_argb.h>

namespace morvane {

bool CursorImage::valid() const {
    return width > 0 && height > 0 && width <= 1024 && height <= 1024 &&
           argb.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

void compositeCursor(const CursorImage& cursor, int originX, int originY, double scaleX, double scaleY,
                     std::uint8_t* frame, int stride, int width, int height) {
    if (!cursor.valid()) return;
    const int left = static_cast<int>((cursor.x - originX) * scaleX) - cursor.xhot;
    const int top = static_cast<int>((cursor.y - originY) * scaleY) - cursor.yhot;
    for (int row = 0; row < cursor.height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= height) continue;
        for (int col = 0; col < cursor.width; ++col) {
            const int x = left + col;
            if (x < 0 || x >= width) continue;
            const std::uint32_t argb = cursor.argb[static_cast<std::size_t>(row) * cursor.width + col];
            const std::uint32_t a = argb >> 24;
            if (a == 0) continue;
            std::uint8_t* px = frame + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
            const std::uint32_t keep = 255 - a;
            px[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (argb & 0xFF) + px[0] * keep / 255));
            px[1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, ((argb >> 8) & 0xFF) + px[1] * keep / 255));
            px[2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, ((argb >> 16) & 0xFF) + px[2] * keep / 255));
        }
    }
}

namespace {

// The rectangle of a full-size planar picture that the pointer touches,
// widened to the colour's 2x2 grid, and the screen's pixels there: they are
// taken as the rows pass, then drawn over and converted again.
class PointerPatch {
public:
    PointerPatch(const CursorImage& cursor, int originX, int originY, int width, int height)
        : cursor_(cursor), originX_(originX), originY_(originY) {
        if (!cursor.valid()) return;
        int left = cursor.x - cursor.xhot - originX, top = cursor.y - cursor.yhot - originY;
        int right = std::min(left + cursor.width, width), bottom = std::min(top + cursor.height, height);
        left = std::max(left, 0) & ~1;
        top = std::max(top, 0) & ~1;
        right = std::min((right + 1) & ~1, width);
        bottom = std::min((bottom + 1) & ~1, height);
        if (right <= left || bottom <= top) return;
        left_ = left;
        top_ = top;
        patch_ = Picture::makeBGRA(right - left, bottom - top);
    }

    // Keeps what falls into the patch of the given rows of the screen.
    void take(const std::uint8_t* rows, int stride, int first, int count) {
        const int from = std::max(first, top_), to = std::min(first + count, top_ + patch_.height);
        for (int row = from; row < to; ++row)
            std::memcpy(patch_.pixels.data() + static_cast<std::size_t>(row - top_) * patch_.stride(),
                        rows + static_cast<std::size_t>(row - first) * stride + static_cast<std::size_t>(left_) * 4,
                        static_cast<std::size_t>(patch_.width) * 4);
    }

    void drawInto(Picture& picture) {
        if (patch_.width == 0) return;
        const int w = patch_.width, h = patch_.height;
        compositeCursor(cursor_, originX_ + left_, originY_ + top_, 1.0, 1.0, patch_.pixels.data(), patch_.stride(), w,
                        h);
        const Picture small = toI420(patch_);
        for (int row = 0; row < h; ++row)
            std::memcpy(picture.y() + static_cast<std::size_t>(top_ + row) * picture.width + left_,
                        small.y() + static_cast<std::size_t>(row) * w, static_cast<std::size_t>(w));
        const int cw = picture.chromaWidth();
        for (int row = 0; row < small.chromaHeight(); ++row) {
            const std::size_t at = static_cast<std::size_t>(top_ / 2 + row) * cw + left_ / 2;
            std::memcpy(picture.u() + at, small.u() + static_cast<std::size_t>(row) * small.chromaWidth(),
                        static_cast<std::size_t>(small.chromaWidth()));
            std::memcpy(picture.v() + at, small.v() + static_cast<std::size_t>(row) * small.chromaWidth(),
                        static_cast<std::size_t>(small.chromaWidth()));
        }
    }

private:
    const CursorImage& cursor_;
    int originX_, originY_;
    int left_ = 0, top_ = 0;
    Picture patch_;
};

}  // namespace

void compositeCursorI420(const CursorImage& cursor, const ScreenPixels& screen, Picture& picture) {
    PointerPatch patch(cursor, screen.originX, screen.originY, picture.width, picture.height);
    patch.take(screen.data, screen.stride, 0, screen.height);
    patch.drawInto(picture);
}

UnderPointer drawPointerOver(const CursorImage& cursor, const ScreenPixels& screen, std::uint8_t* pixels) {
    UnderPointer under;
    if (!cursor.valid()) return under;
    const int left = cursor.x - cursor.xhot - screen.originX, top = cursor.y - cursor.yhot - screen.originY;
    under.x = std::max(left, 0);
    under.y = std::max(top, 0);
    under.width = std::min(left + cursor.width, screen.width) - under.x;
    under.height = std::min(top + cursor.height, screen.height) - under.y;
    if (under.empty()) return UnderPointer{};
    const std::size_t rowBytes = static_cast<std::size_t>(under.width) * 4;
    under.bgra.resize(rowBytes * static_cast<std::size_t>(under.height));
    for (int row = 0; row < under.height; ++row)
        std::memcpy(under.bgra.data() + row * rowBytes,
                    pixels + static_cast<std::size_t>(under.y + row) * screen.stride + static_cast<std::size_t>(under.x) * 4,
                    rowBytes);
    compositeCursor(cursor, screen.originX, screen.originY, 1.0, 1.0, pixels, screen.stride, screen.width,
                    screen.height);
    return under;
}

void putBack(const UnderPointer& under, std::uint8_t* pixels, int stride) {
    if (under.empty()) return;
    const std::size_t rowBytes = static_cast<std::size_t>(under.width) * 4;
    for (int row = 0; row < under.height; ++row)
        std::memcpy(pixels + static_cast<std::size_t>(under.y + row) * stride + static_cast<std::size_t>(under.x) * 4,
                    under.bgra.data() + row * rowBytes, rowBytes);
}

PicturePtr shapePicture(const ScreenPixels& screen, const CursorImage* cursor, int width, int height, bool video,
                        const PictureMaker& make) {
    const bool fullSize = width == screen.width && height == screen.height;
    if (video && fullSize) {
        // Straight from the grabbed pixels into the video format.
        PicturePtr picture = make(Picture::Format::i420, width, height);
        auto* out = const_cast<Picture*>(picture.get());
        bgraToI420(screen.data, screen.stride, width, height, *out);
        if (cursor) compositeCursorI420(*cursor, screen, *out);
        return picture;
    }
    PicturePtr shown = make(Picture::Format::bgra, width, height);
    auto* out = const_cast<Picture*>(shown.get());
    if (fullSize) {
        for (int row = 0; row < height; ++row)
            std::memcpy(out->pixels.data() + static_cast<std::size_t>(row) * out->stride(),
                        screen.data + static_cast<std::size_t>(row) * screen.stride, static_cast<std::size_t>(width) * 4);
    } else {
        libyuv::ARGBScale(screen.data, screen.stride, screen.width, screen.height, out->pixels.data(), out->stride(),
                          width, height, libyuv::kFilterBox);
    }
    if (cursor)
        compositeCursor(*cursor, screen.originX, screen.originY, static_cast<double>(width) / screen.width,
                        static_cast<double>(height) / screen.height, out->pixels.data(), out->stride(), width, height);
    if (!video) return shown;
    PicturePtr picture = make(Picture::Format::i420, width, height);
    bgraToI420(out->pixels.data(), out->stride(), width, height, *const_cast<Picture*>(picture.get()));
    return picture;
}

namespace {

// Converts the wanted bands (all without a list), the pointer drawn in.
bool convertBands(int width, int height, int originX, int originY, int bandRows, const CursorImage* cursor,
                  const std::vector<bool>* wanted, const BandGrab& grab, Picture& out) {
    std::optional<PointerPatch> patch;
    if (cursor) patch.emplace(*cursor, originX, originY, width, height);
    for (int first = 0, band = 0; first < height; first += bandRows, ++band) {
        if (wanted && !(*wanted)[static_cast<std::size_t>(band)]) continue;
        const int rows = std::min(bandRows, height - first);
        const ScreenPixels piece = grab(first, rows);
        if (!piece.data) return false;
        bgraRowsToI420(piece.data, piece.stride, first, rows, out);
        if (patch) patch->take(piece.data, piece.stride, first, rows);
    }
    if (patch) patch->drawInto(out);
    return true;
}

int evenBand(int bandRows) { return std::max(2, bandRows & ~1); }

}  // namespace

bool shapeBandedI420(int width, int height, int originX, int originY, int bandRows, const CursorImage* cursor,
                     const BandGrab& grab, Picture& out) {
    if (out.format != Picture::Format::i420 || out.width != width || out.height != height)
        out = Picture::makeI420(width, height);
    return convertBands(width, height, originX, originY, evenBand(bandRows), cursor, nullptr, grab, out);
}

RowSpan pointerRows(const CursorImage& cursor, int originY) {
    return {cursor.y - cursor.yhot - originY - 1, cursor.height + 2};
}

bool updateBandedI420(const Picture& last, const std::vector<RowSpan>& changed, int originX, int originY,
                      int bandRows, const CursorImage* cursor, const BandGrab& grab, Picture& out) {
    const int width = last.width, height = last.height;
    bandRows = evenBand(bandRows);
    const int bands = (height + bandRows - 1) / bandRows;
    std::vector<bool> wanted(static_cast<std::size_t>(bands), false);
    int count = 0;
    auto mark = [&](RowSpan span) {
        const int from = std::max(span.first, 0), to = std::min(span.first + span.count, height);
        for (int band = from / bandRows; from < to && band <= (to - 1) / bandRows; ++band)
            if (!wanted[static_cast<std::size_t>(band)]) {
                wanted[static_cast<std::size_t>(band)] = true;
                ++count;
            }
    };
    for (const RowSpan& span : changed) mark(span);
    if (cursor && cursor->valid()) mark(pointerRows(*cursor, originY));
    // Copying the rest costs about a third of converting it.
    if (count * 3 > bands * 2 || last.format != Picture::Format::i420)
        return shapeBandedI420(width, height, originX, originY, bandRows, cursor, grab, out);
    if (out.format != Picture::Format::i420 || out.width != width || out.height != height)
        out = Picture::makeI420(width, height);
    std::memcpy(out.pixels.data(), last.pixels.data(), last.pixels.size());
    return convertBands(width, height, originX, originY, bandRows, cursor, &wanted, grab, out);
}

}  // namespace morvane
