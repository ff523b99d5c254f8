#include "relay_service/relay_page.h"

#include "relay_service/web/relay_web.h"

namespace morvane::relay_service {

namespace {

std::string mediaType(const std::string& name) {
    const auto dot = name.rfind('.');
    const auto ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "webmanifest") return "application/manifest+json";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    if (ext == "json") return "application/json";
    return "application/octet-stream";
}

}  // namespace

RelayPage::RelayPage() {
    bool first = true;
    for (const auto& row : RelayWeb::files()) {
        PageFile file{mediaType(std::string(row.name)), std::string(row.bytes)};
        if (first) files_["/"] = file;
        first = false;
        files_["/" + std::string(row.name)] = std::move(file);
    }
}

const PageFile* RelayPage::find(const std::string& path) const {
    const auto found = files_.find(path);
    return found == files_.end() ? nullptr : &found->second;
}

}  // namespace morvane::relay_service
