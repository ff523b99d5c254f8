// Runs the upload and download machines for the controlling session. Every
// call comes on the caller's serial queue (the server's session queue);
// every file-system call and every digest update runs on the serial disk
// queue it is given, and each answer is checked on its way back so that the
// disk work of a transfer that already ended changes nothing.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "core/clock.h"
#include "core/executor.h"
#include "core/file_access.h"
#include "core/types.h"
#include "transfer/file_download_machine.h"
#include "transfer/file_protocol.h"
#include "transfer/file_transfer_report.h"
#include "transfer/file_upload_machine.h"

namespace morvane {

class FileTransferEngine : public std::enable_shared_from_this<FileTransferEngine> {
public:
    // The hooks of one controlling connection.
    struct Peer {
        // Sends one JSON text message, behind earlier control messages;
        // does nothing once the connection is gone.
        std::function<void(const nlohmann::json&)> send;
        // Queues one 0x10 frame for the connection's send pump. Once it has
        // been written the caller calls chunkSent().
        std::function<void(Bytes)> offer;
        // Takes back the offered frame if its write has not started (true);
        // false when there was none to take back.
        std::function<bool()> dropPending;
        // The address of the device's page, marked on the files it sends;
        // empty for this computer's own page.
        std::string origin;
    };

    // `access` may be null (every listing, upload and download is then
    // answered "unavailable") and must otherwise outlive the engine, as must
    // `queue` and `disk`. `isPaused` is asked on the disk queue and must be
    // safe there.
    static std::shared_ptr<FileTransferEngine> create(FileAccess* access, Executor& queue, Executor& disk,
                                                      std::function<bool()> isPaused,
                                                      std::function<std::int64_t()> clock = [] {
                                                          return nowMillis();
                                                      });
    // Waits for the disk work already queued; not on the disk queue.
    ~FileTransferEngine();
    FileTransferEngine(const FileTransferEngine&) = delete;
    FileTransferEngine& operator=(const FileTransferEngine&) = delete;

    // Told of every transfer that was accepted and then ended, on the queue.
    std::function<void(const FileTransferReport&)> onFinished;

    // Everything below on the queue, except drain().
    void attach(Peer peer);
    void detach();
    void handle(const FileRequest& request);
    void handleBinary(std::span<const std::uint8_t> frame);
    void tick();
    // Once for every offered frame that was written to the connection.
    void chunkSent();

    // Waits, at most a second, for the disk work queued so far (such as
    // removing a partial upload). False when it took longer or when called
    // on the disk queue itself.
    bool drain();

private:
    struct Incoming;
    struct Outgoing;

    FileTransferEngine(FileAccess* access, Executor& queue, Executor& disk, std::function<bool()> isPaused,
                       std::function<std::int64_t()> clock);

    void send(const nlohmann::json& message);
    void report(FileTransferReport::Direction direction, std::int64_t bytes, std::int64_t size,
                std::string_view outcome, std::optional<bool> quarantined, std::string name = {});
    void list(std::int64_t id);
    void writeChunk(std::span<const std::uint8_t> data, std::int64_t count);
    void runUpload(const FileUploadMachine::Effects& effects);
    void runDownload(const FileDownloadMachine::Effects& effects);
    // Posts work to the queue that runs only while the engine lives.
    void backOnQueue(std::function<void(FileTransferEngine&)> work);

    FileAccess* access_;
    Executor& queue_;
    std::function<bool()> isPaused_;
    std::function<std::int64_t()> clock_;
    std::optional<Peer> peer_;
    std::uint64_t session_ = 0;
    FileUploadMachine upload_;
    FileDownloadMachine download_;
    std::shared_ptr<Incoming> incoming_;
    std::string incomingName_;  // the upload under way, for its log line
    std::shared_ptr<Outgoing> outgoing_;
    FileRateLimiter listLimiter_;
    bool listing_ = false;
    bool chunkOutstanding_ = false;
    std::int64_t strayChunks_ = 0;
    std::optional<Bytes> readChunk_;
    std::optional<bool> lastQuarantined_;
    Executor& disk_;
};

}  // namespace morvane
