#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/types.h"

namespace morvane {

class IncomingFile {
public:
    virtual ~IncomingFile() = default;
    virtual bool write(const Bytes& data) = 0;
    struct Committed {
        std::string name;
        bool quarantined = false;
    };
    // Nothing on failure; the file is then gone.
    virtual std::optional<Committed> commit() = 0;
    virtual void discard() = 0;
};

class OutgoingFile {
public:
    virtual ~OutgoingFile() = default;
    virtual std::int64_t size() const = 0;
    virtual std::optional<Bytes> read(std::int64_t upTo) = 0;
    virtual void close() = 0;
};

class FileAccess {
public:
    virtual ~FileAccess() = default;
    // `origin` is the address of the page the file came from (what the
    // received file is marked with); empty for this computer's own page.
    virtual std::unique_ptr<IncomingFile> beginIncoming(const std::string& name, std::int64_t size,
                                                        const std::string& origin) = 0;
    virtual std::vector<OutboxEntry> listOutbox() = 0;
    virtual std::unique_ptr<OutgoingFile> openOutbox(const std::string& name) = 0;
};

}  // namespace morvane
