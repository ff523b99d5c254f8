// The page a device opens at the relay, as the server answers it: each
// embedded file at "/<name>", and the first one (the page itself) at "/".
#pragma once

#include <map>
#include <string>

namespace morvane::relay_service {

struct PageFile {
    std::string type;  // the Content-Type
    std::string bytes;
};

class RelayPage {
public:
    RelayPage();
    // The file served at a request path (without its query), or null.
    const PageFile* find(const std::string& path) const;

private:
    std::map<std::string, PageFile> files_;
};

}  // namespace morvane::relay_service
