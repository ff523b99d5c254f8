// An in-memory file store for the transfer engine's tests and its fuzz
// target, and the byte pattern their files are made of.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/file_access.h"

namespace morvane::testing {

// An in-memory file store. It is called on the engine's disk queue; the
// test reads it after settle(), which orders those calls before the reads.
class MemoryFiles final : public FileAccess {
public:
    struct Upload {
        std::string name;
        std::int64_t size = 0;
        std::string origin;  // what the file would be marked with
        Bytes bytes;
        std::optional<std::string> savedAs;
        bool discarded = false;
    };

    std::vector<std::shared_ptr<Upload>> uploads;
    std::map<std::string, Bytes> outbox;
    int listings = 0;
    int failWritesAfter = -1;  // writes that succeed before every one fails
    bool refuseIncoming = false;
    std::optional<std::int64_t> shrinkTo;  // the file yields only this many bytes
    int openDownloads = 0;

    std::unique_ptr<IncomingFile> beginIncoming(const std::string& name, std::int64_t size,
                                                const std::string& origin) override {
        if (refuseIncoming) return nullptr;
        auto upload = std::make_shared<Upload>();
        upload->name = name;
        upload->size = size;
        upload->origin = origin;
        uploads.push_back(upload);
        return std::make_unique<Incoming>(*this, upload);
    }
    std::vector<OutboxEntry> listOutbox() override {
        ++listings;
        std::vector<OutboxEntry> entries;
        for (const auto& [name, bytes] : outbox)
            entries.push_back({name, static_cast<std::int64_t>(bytes.size()), 1000});
        return entries;
    }
    std::unique_ptr<OutgoingFile> openOutbox(const std::string& name) override {
        const auto it = outbox.find(name);
        if (it == outbox.end()) return nullptr;
        ++openDownloads;
        return std::make_unique<Outgoing>(*this, it->second);
    }

private:
    struct Incoming final : IncomingFile {
        Incoming(MemoryFiles& files, std::shared_ptr<Upload> upload) : files(files), upload(std::move(upload)) {}
        bool write(const Bytes& data) override {
            if (files.failWritesAfter == 0) return false;
            if (files.failWritesAfter > 0) --files.failWritesAfter;
            upload->bytes.insert(upload->bytes.end(), data.begin(), data.end());
            return true;
        }
        std::optional<Committed> commit() override {
            upload->savedAs = upload->name;
            return Committed{upload->name, false};
        }
        void discard() override { upload->discarded = true; }
        MemoryFiles& files;
        std::shared_ptr<Upload> upload;
    };
    struct Outgoing final : OutgoingFile {
        Outgoing(MemoryFiles& files, Bytes bytes) : files(files), bytes(std::move(bytes)) {}
        ~Outgoing() override { --files.openDownloads; }
        std::int64_t size() const override { return static_cast<std::int64_t>(bytes.size()); }
        std::optional<Bytes> read(std::int64_t upTo) override {
            const auto end = std::min<std::int64_t>(files.shrinkTo.value_or(size()), size());
            const auto from = std::min(at, end);
            const auto to = std::min(from + upTo, end);
            at = to;
            return Bytes(bytes.begin() + from, bytes.begin() + to);
        }
        void close() override {}
        MemoryFiles& files;
        Bytes bytes;
        std::int64_t at = 0;
    };
};

inline Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

}  // namespace morvane::testing
