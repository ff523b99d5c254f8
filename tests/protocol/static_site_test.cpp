#include "protocol/static_site.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>

#include "core/secure.h"
#include "protocol/http_request.h"
#include "web/embedded_web.h"
#include "../support/gunzip.h"
#include "../support/text_bytes.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// Rows whose text lives as long as the builder.
struct Rows {
    std::deque<std::string> storage;
    std::vector<EmbeddedFile> rows;

    std::string_view keep(std::string text) { return storage.emplace_back(std::move(text)); }

    Rows& add(std::string_view name, const Bytes& content) {
        return addRaw(name, std::string(content.begin(), content.end()), Secure::sha256Hex(content));
    }
    Rows& addRaw(std::string_view name, std::string content, std::string sha256) {
        rows.push_back({keep(std::string(name)), keep(std::move(content)), keep(std::move(sha256))});
        return *this;
    }
    static Rows complete() {
        Rows r;
        for (const auto& name : StaticSite::expectedNames()) r.add(name, bytes("content of " + name));
        return r;
    }
};

std::string problemOf(const Rows& rows) {
    try {
        StaticSite::fromEmbedded(rows.rows);
    } catch (const StaticSite::Problem& problem) {
        return problem.description();
    }
    return "no problem";
}

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("morvane-site-" + Secure::hex(Secure::randomBytes(6)));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    void write(const std::string& name, const Bytes& content) const {
        std::ofstream(path_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }

private:
    fs::path path_;
};

TEST(StaticSite, BuildsTheSameSiteFromRowsInAnyOrderAndListsHashesByName) {
    Rows rows = Rows::complete();
    const auto site = StaticSite::fromEmbedded(rows.rows);
    std::reverse(rows.rows.begin(), rows.rows.end());
    EXPECT_EQ(StaticSite::fromEmbedded(rows.rows).files, site.files);
    EXPECT_EQ(site.files.at("app.js"), bytes("content of app.js"));

    const auto lines = site.hashLines();
    const std::vector<std::string> order = {"app.js",     "apple-touch-icon.png", "audio-worklet.js", "icon.svg",
                                            "index.html", "manifest.webmanifest", "style.css"};
    ASSERT_EQ(lines.size(), 7u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], Secure::sha256Hex(bytes("content of " + order[i])) + "  " + order[i]);
        EXPECT_TRUE(std::all_of(lines[i].begin(), lines[i].begin() + 64,
                                [](char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }));
    }
    // A recorded hash may be written in upper case.
    Rows upper;
    for (const auto& name : StaticSite::expectedNames()) {
        std::string hash = Secure::sha256Hex(bytes(name));
        std::transform(hash.begin(), hash.end(), hash.begin(), ::toupper);
        upper.addRaw(name, name, hash);
    }
    EXPECT_NO_THROW(StaticSite::fromEmbedded(upper.rows));
}

TEST(StaticSite, RefusesForeignRepeatedDamagedOrAlteredRowsWithTheFirstProblem) {
    Rows foreign = Rows::complete();
    foreign.add("evil.js", bytes("x"));
    EXPECT_EQ(problemOf(foreign), "unexpected file evil.js");
    Rows foreignPacked = Rows::complete();
    foreignPacked.add("evil.js.gz", bytes("x"));
    EXPECT_EQ(problemOf(foreignPacked), "unexpected file evil.js.gz");
    Rows packedTwice = Rows::complete();
    packedTwice.add("app.js.gz", bytes("a")).add("app.js.gz", bytes("a"));
    EXPECT_EQ(problemOf(packedTwice), "unexpected file app.js.gz");
    Rows packedAltered = Rows::complete();
    packedAltered.addRaw("app.js.gz", "a", std::string(64, '0'));
    EXPECT_EQ(problemOf(packedAltered), "app.js.gz does not match its recorded hash");

    Rows repeated;
    repeated.add("app.js", bytes("a")).add("app.js", bytes("a"));
    EXPECT_EQ(problemOf(repeated), "unexpected file app.js");

    Rows empty = Rows::complete();
    empty.rows[1] = {empty.rows[1].name, "", empty.keep(Secure::sha256Hex(Bytes{}))};
    EXPECT_EQ(problemOf(empty), std::string(empty.rows[1].name) + " cannot be served");
    Rows tooLarge = Rows::complete();
    const Bytes big(HTTPLimits::maxStaticFileBytes + 1, 'x');
    tooLarge.rows[0] = {tooLarge.rows[0].name, tooLarge.keep(std::string(big.begin(), big.end())),
                        tooLarge.keep(Secure::sha256Hex(big))};
    EXPECT_EQ(problemOf(tooLarge), std::string(tooLarge.rows[0].name) + " cannot be served");
    Rows largest;
    const Bytes limit(HTTPLimits::maxStaticFileBytes, 'x');
    largest.add("app.js", limit);
    EXPECT_EQ(problemOf(largest), "missing apple-touch-icon.png, audio-worklet.js, icon.svg, index.html, "
                                  "manifest.webmanifest, style.css");

    Rows altered = Rows::complete();
    std::string hash(altered.rows[2].sha256);
    hash[10] = hash[10] == '0' ? '1' : '0';
    altered.rows[2].sha256 = altered.keep(hash);
    EXPECT_EQ(problemOf(altered), std::string(altered.rows[2].name) + " does not match its recorded hash");

    // Only the first bad row is reported.
    Rows twice = Rows::complete();
    twice.rows[1].sha256 = twice.keep(std::string(64, '0'));
    twice.rows[4].bytes = "";
    EXPECT_EQ(problemOf(twice), std::string(twice.rows[1].name) + " does not match its recorded hash");
}

// A gzipped form serves in place of its file only where it saves bytes;
// the hash lines, which describe the files as written, leave it out.
TEST(StaticSite, KeepsAGzippedFormOnlyWhenItIsSmaller) {
    Rows rows = Rows::complete();
    rows.add("app.js.gz", bytes("small")).add("style.css.gz", bytes("content of style.css, no smaller"));
    const auto site = StaticSite::fromEmbedded(rows.rows);
    EXPECT_EQ(site.gzipped, (std::map<std::string, SiteFile>{{"app.js", bytes("small")}}));
    EXPECT_EQ(site.hashLines(), StaticSite::fromEmbedded(Rows::complete().rows).hashLines());
    EXPECT_EQ(site.files.at("app.js").etag(), "\"" + Secure::sha256Hex(bytes("content of app.js")).substr(0, 32) + "\"");
    EXPECT_NE(site.gzipped.at("app.js").etag(), site.files.at("app.js").etag());
}

TEST(StaticSite, NamesEveryMissingFileInOrder) {
    Rows rows;
    for (const auto& name : StaticSite::expectedNames())
        if (name != "icon.svg" && name != "app.js") rows.add(name, bytes("x"));
    EXPECT_EQ(problemOf(rows), "missing app.js, icon.svg");
    EXPECT_EQ(problemOf(Rows{}), "missing app.js, apple-touch-icon.png, audio-worklet.js, icon.svg, index.html, "
                                 "manifest.webmanifest, style.css");
}

TEST(StaticSite, DirectorySiteHoldsWhateverItCouldReadWithinTheLimit) {
    EXPECT_TRUE(StaticSite::fromDirectory("/nonexistent/morvane").files.empty());
    TempDir empty;
    const auto none = StaticSite::fromDirectory(empty.path());
    EXPECT_TRUE(none.files.empty());
    EXPECT_TRUE(none.hashLines().empty());

    TempDir dir;
    dir.write("style.css", bytes("body{}"));
    dir.write("app.js", Bytes(5 * 1024 * 1024, 'x'));
    dir.write("other.txt", bytes("not served"));
    fs::create_directory(dir.path() / "index.html");
    const auto site = StaticSite::fromDirectory(dir.path());
    EXPECT_EQ(site.files, (std::map<std::string, SiteFile>{{"style.css", bytes("body{}")}}));
    EXPECT_EQ(site.hashLines(), std::vector<std::string>{Secure::sha256Hex(bytes("body{}")) + "  style.css"});
}

TEST(EmbeddedWeb, TableHoldsTheWebFolderAsWrittenInItsOrder) {
    const auto rows = EmbeddedWeb::files();
    const std::vector<std::string> order = {
        "index.html",         "app.js",          "style.css",        "manifest.webmanifest", "icon.svg",
        "apple-touch-icon.png", "audio-worklet.js", "index.html.gz",    "app.js.gz",            "style.css.gz",
        "manifest.webmanifest.gz", "icon.svg.gz", "audio-worklet.js.gz"};
    ASSERT_EQ(rows.size(), order.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].name, order[i]);

    const auto site = StaticSite::fromEmbedded(rows);
    // The script is joined from its modules by the build; the rest is served as written.
    auto onDisk = StaticSite::fromDirectory(MORVANE_WEB_DIR);
    const auto built = StaticSite::fromDirectory(MORVANE_WEB_BUILT_DIR);
    ASSERT_EQ(built.files.size(), 1u);
    ASSERT_EQ(built.files.count("app.js"), 1u);
    onDisk.files.insert(built.files.begin(), built.files.end());
    EXPECT_EQ(site.files, onDisk.files);
    EXPECT_EQ(site.hashLines(), onDisk.hashLines());
    // Every text file has its gzipped form, which unpacks to it (a stale one
    // would not).
    EXPECT_EQ(site.gzipped.size(), 6u);
    for (const auto& [name, packed] : site.gzipped) {
        const auto plain = site.files.at(name).bytes();
        EXPECT_LT(packed.bytes().size(), plain.size()) << name;
        const auto packedBytes = packed.bytes();
        EXPECT_EQ(testing::gunzip(std::string_view(reinterpret_cast<const char*>(packedBytes.data()), packedBytes.size())),
                  std::string(plain.begin(), plain.end()))
            << name;
    }
    for (const auto& row : rows) {
        EXPECT_EQ(row.sha256.size(), 64u);
        // Served from the program's data where it lies, not from a copy.
        const std::string name(row.name);
        const auto& served = name.ends_with(".gz") ? site.gzipped.at(name.substr(0, name.size() - 3)) : site.files.at(name);
        EXPECT_EQ(static_cast<const void*>(served.bytes().data()), static_cast<const void*>(row.bytes.data())) << name;
    }
}

}  // namespace
}  // namespace morvane
