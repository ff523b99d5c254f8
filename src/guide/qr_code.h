// The relay page's address as a QR code. The modules come from libqrencode
// at error-correction level M; the matrix checks (trimming the light border,
// turning a mirrored or turned symbol upright by its finder patterns) and
// the drawing (a quiet zone of four modules, a whole number of pixels per
// module, 8-bit grey) are ours, so a faulty generator yields no code rather
// than a code no camera reads. Pure; runs on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

// Rows of modules, row 0 at the top; true is dark.
using QRModules = std::vector<std::vector<bool>>;

namespace QRMatrix {
// Whether the 7 x 7 block at (row, column) is a finder pattern.
bool finder(const QRModules& m, int row, int column);
// The matrix turned upright by its three finders, or none when it is under
// 21 modules, not square, or its finders single out no orientation.
std::optional<QRModules> upright(const QRModules& m);
// Pixels per module for `count` modules (quiet zone included) in about
// `points` display points on a screen of two pixels per point: even, >= 2.
int pixelsPerModule(int count, int points);
}  // namespace QRMatrix

// An 8-bit grey picture, row 0 at the top; 0 is black, 255 white.
struct GreyBitmap {
    int side = 0;
    std::vector<std::uint8_t> pixels;  // side * side
    std::uint8_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * side + x]; }
    bool operator==(const GreyBitmap&) const = default;
};

namespace QRImage {
inline constexpr int quietZone = 4;
// A generator's symbol larger than this many pixels a side is not trusted.
inline constexpr int maxGeneratedSide = 399;

// The upright module matrix of the text's UTF-8 bytes at level M.
std::optional<QRModules> modules(const std::string& text);
// Reads back what a generator returned as grey pixels: dark below 128,
// light border trimmed, then turned upright. Public so a generator's
// mirrored or turned output is tested as such.
std::optional<QRModules> readBack(const GreyBitmap& generated);
// The code with its quiet zone, `pixelsPerModule` pixels a module.
std::optional<GreyBitmap> image(const std::string& text, int pixelsPerModule);
std::optional<GreyBitmap> draw(const QRModules& m, int pixelsPerModule);

struct Fitted {
    GreyBitmap image;
    int points = 0;  // display size: half the pixel side
    bool operator==(const Fitted&) const = default;
};
// The code fitted to about `points` display points.
std::optional<Fitted> fit(const std::string& text, int points);
}  // namespace QRImage

// The one-entry cache of the Connect window's code: making it runs once per
// distinct address; a text whose code cannot be made leaves the entry as
// it was.
class QRCache {
public:
    static constexpr int targetPoints = 200;
    using Maker = std::function<std::optional<QRImage::Fitted>(const std::string&)>;

    explicit QRCache(Maker make = [](const std::string& text) { return QRImage::fit(text, targetPoints); })
        : make_(std::move(make)) {}
    static QRCache& shared();

    std::optional<QRImage::Fitted> code(const std::string& text);

private:
    Maker make_;
    std::optional<std::pair<std::string, QRImage::Fitted>> made_;
};

}  // namespace morvane
