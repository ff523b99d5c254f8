#pragma once

#include <functional>
#include <string>

#include "core/types.h"

namespace morvane {

class ClipboardAccess {
public:
    virtual ~ClipboardAccess() = default;
    // Reads up to `limit` UTF-16 units and reports once, possibly on another
    // thread.
    virtual void readPlainText(int limit, std::function<void(ClipboardRead)> completion) = 0;
    virtual bool writePlainText(const std::string& text) = 0;
};

}  // namespace morvane
