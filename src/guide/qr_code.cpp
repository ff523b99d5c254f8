#include "guide/qr_code.h"

#include <qrencode.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace morvane {

namespace QRMatrix {

bool finder(const QRModules& m, int row, int column) {
    if (row < 0 || column < 0 || static_cast<std::size_t>(row) + 7 > m.size()) return false;
    for (int r = 0; r < 7; ++r) {
        const auto& line = m[static_cast<std::size_t>(row + r)];
        if (line.size() < static_cast<std::size_t>(column) + 7) return false;
        for (int c = 0; c < 7; ++c) {
            const bool ring = r == 0 || r == 6 || c == 0 || c == 6;
            const bool core = r >= 2 && r <= 4 && c >= 2 && c <= 4;
            if (line[static_cast<std::size_t>(column + c)] != (ring || core)) return false;
        }
    }
    return true;
}

std::optional<QRModules> upright(const QRModules& m) {
    const int n = static_cast<int>(m.size());
    if (n < 21) return std::nullopt;
    for (const auto& row : m)
        if (static_cast<int>(row.size()) != n) return std::nullopt;
    const bool tl = finder(m, 0, 0), tr = finder(m, 0, n - 7), bl = finder(m, n - 7, 0), br = finder(m, n - 7, n - 7);
    QRModules out = m;
    const auto reverseRows = [&] { std::reverse(out.begin(), out.end()); };
    const auto reverseEach = [&] {
        for (auto& row : out) std::reverse(row.begin(), row.end());
    };
    if (!tl) {
        if (!(tr && bl && br)) return std::nullopt;
        reverseRows();
        reverseEach();
        return out;
    }
    if (!tr) {
        if (!(bl && br)) return std::nullopt;
        reverseRows();
        return out;
    }
    if (!bl) {
        if (!br) return std::nullopt;
        reverseEach();
        return out;
    }
    if (br) return std::nullopt;
    return out;
}

int pixelsPerModule(int count, int points) {
    if (count < 1) return 2;
    const long r = std::lround(static_cast<double>(points) / static_cast<double>(count));
    return static_cast<int>(std::max<long>(2 * r, 2));
}

}  // namespace QRMatrix

namespace QRImage {

std::optional<QRModules> readBack(const GreyBitmap& generated) {
    const int w = generated.side;
    if (w < 1 || w > maxGeneratedSide || generated.pixels.size() != static_cast<std::size_t>(w) * w)
        return std::nullopt;
    int top = w, bottom = -1, left = w, right = -1;
    for (int y = 0; y < w; ++y)
        for (int x = 0; x < w; ++x)
            if (generated.at(x, y) < 128) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                left = std::min(left, x);
                right = std::max(right, x);
            }
    if (bottom < 0) return std::nullopt;
    if (bottom - top != right - left) return std::nullopt;
    QRModules m;
    for (int y = top; y <= bottom; ++y) {
        std::vector<bool> row;
        row.reserve(static_cast<std::size_t>(right - left + 1));
        for (int x = left; x <= right; ++x) row.push_back(generated.at(x, y) < 128);
        m.push_back(std::move(row));
    }
    return QRMatrix::upright(m);
}

std::optional<QRModules> modules(const std::string& text) {
    // The generator's symbol is handed over as a one-pixel-a-module grey
    // picture with a light border and read back like any generator's output.
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code || code->width < 1) return std::nullopt;
    const int n = code->width;
    GreyBitmap generated;
    generated.side = n + 2;
    generated.pixels.assign(static_cast<std::size_t>(generated.side) * generated.side, 255);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            if (code->data[static_cast<std::size_t>(y) * n + x] & 1)
                generated.pixels[static_cast<std::size_t>(y + 1) * generated.side + (x + 1)] = 0;
    return readBack(generated);
}

std::optional<GreyBitmap> draw(const QRModules& m, int p) {
    if (p < 1 || m.empty()) return std::nullopt;
    const int n = static_cast<int>(m.size());
    const int side = (n + 2 * quietZone) * p;
    GreyBitmap out;
    out.side = side;
    out.pixels.assign(static_cast<std::size_t>(side) * side, 255);
    for (int r = 0; r < n; ++r) {
        if (static_cast<int>(m[static_cast<std::size_t>(r)].size()) != n) return std::nullopt;
        for (int c = 0; c < n; ++c) {
            if (!m[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]) continue;
            for (int y = (r + quietZone) * p; y < (r + quietZone + 1) * p; ++y)
                std::fill_n(out.pixels.begin() + static_cast<std::ptrdiff_t>(y) * side + (c + quietZone) * p, p, 0);
        }
    }
    return out;
}

std::optional<GreyBitmap> image(const std::string& text, int pixelsPerModule) {
    auto m = modules(text);
    if (!m) return std::nullopt;
    return draw(*m, pixelsPerModule);
}

std::optional<Fitted> fit(const std::string& text, int points) {
    auto m = modules(text);
    if (!m) return std::nullopt;
    const int side = static_cast<int>(m->size()) + 2 * quietZone;
    const int p = QRMatrix::pixelsPerModule(side, points);
    auto bitmap = draw(*m, p);
    if (!bitmap) return std::nullopt;
    return Fitted{std::move(*bitmap), side * p / 2};
}

}  // namespace QRImage

QRCache& QRCache::shared() {
    static QRCache* cache = new QRCache();  // lives to the end of the process
    return *cache;
}

std::optional<QRImage::Fitted> QRCache::code(const std::string& text) {
    if (made_ && made_->first == text) return made_->second;
    auto fitted = make_(text);
    if (!fitted) return std::nullopt;
    made_.emplace(text, *fitted);
    return fitted;
}

}  // namespace morvane
