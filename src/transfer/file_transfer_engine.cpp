#include "transfer/file_transfer_engine.h"

#include <openssl/evp.h>

#include <future>
#include <utility>

#include "core/secure.h"

namespace morvane {

namespace {

// A running SHA-256. A digest that cannot be made gives an empty string,
// which never matches a device's 64 digits.
class Sha256 {
public:
    Sha256() : ctx_(EVP_MD_CTX_new()) {
        if (ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) failed_ = true;
    }
    ~Sha256() { EVP_MD_CTX_free(ctx_); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> bytes) {
        if (!ctx_ || failed_) return;
        if (EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1) failed_ = true;
    }
    std::string finishHex() {
        if (!ctx_ || failed_) return {};
        std::uint8_t digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        failed_ = true;  // finished: no more updates
        if (EVP_DigestFinal_ex(ctx_, digest, &length) != 1) return {};
        return Secure::hex(std::span<const std::uint8_t>(digest, length));
    }

private:
    EVP_MD_CTX* ctx_;
    bool failed_ = false;
};

}  // namespace

// Disk-side state of one transfer. `file`, `hasher` and `dead` are touched
// only on the disk queue once the object has been handed to it; the engine
// compares the objects by identity to recognise answers that still count.
struct FileTransferEngine::Incoming {
    std::unique_ptr<IncomingFile> file;
    Sha256 hasher;
    bool dead = false;
};

struct FileTransferEngine::Outgoing {
    std::unique_ptr<OutgoingFile> file;
    Sha256 hasher;
    bool dead = false;
};

std::shared_ptr<FileTransferEngine> FileTransferEngine::create(FileAccess* access, Executor& queue, Executor& disk,
                                                               std::function<bool()> isPaused,
                                                               std::function<std::int64_t()> clock) {
    return std::shared_ptr<FileTransferEngine>(
        new FileTransferEngine(access, queue, disk, std::move(isPaused), std::move(clock)));
}

FileTransferEngine::FileTransferEngine(FileAccess* access, Executor& queue, Executor& disk,
                                       std::function<bool()> isPaused, std::function<std::int64_t()> clock)
    : access_(access),
      queue_(queue),
      isPaused_(isPaused ? std::move(isPaused) : [] { return false; }),
      clock_(std::move(clock)),
      disk_(disk) {}

// The disk work holds the engine: it finishes while every field it uses is
// still there. Without files there never was any.
FileTransferEngine::~FileTransferEngine() {
    if (access_) disk_.drain();
}

void FileTransferEngine::backOnQueue(std::function<void(FileTransferEngine&)> work) {
    std::weak_ptr<FileTransferEngine> weak = weak_from_this();
    queue_.post([weak, work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

void FileTransferEngine::send(const nlohmann::json& message) {
    if (peer_ && peer_->send) peer_->send(message);
}

void FileTransferEngine::report(FileTransferReport::Direction direction, std::int64_t bytes, std::int64_t size,
                                std::string_view outcome, std::optional<bool> quarantined, std::string name) {
    if (onFinished)
        onFinished(FileTransferReport{direction, bytes, size, std::string(outcome), quarantined, std::move(name)});
}

void FileTransferEngine::attach(Peer peer) {
    expectOn(queue_, "FileTransferEngine::attach");
    detach();
    peer_ = std::move(peer);
}

void FileTransferEngine::detach() {
    expectOn(queue_, "FileTransferEngine::detach");
    peer_.reset();
    ++session_;
    runUpload(upload_.reset());
    runDownload(download_.reset());
    listing_ = false;
    chunkOutstanding_ = false;
    strayChunks_ = 0;
    readChunk_.reset();
}

void FileTransferEngine::handle(const FileRequest& request) {
    expectOn(queue_, "FileTransferEngine::handle");
    if (!peer_) return;
    const auto now = clock_();
    if (!access_) {
        const auto unavailable = [this](std::string_view type, std::int64_t id) {
            send(FileMessage::failure(type, id, FileReason::unavailable));
        };
        if (const auto* r = std::get_if<file_request::List>(&request.value)) unavailable("file-list-result", r->id);
        if (const auto* r = std::get_if<file_request::Put>(&request.value)) unavailable("file-put-result", r->id);
        if (const auto* r = std::get_if<file_request::Get>(&request.value)) unavailable("file-get-result", r->id);
        return;
    }
    std::visit(
        [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, file_request::List>) {
                list(r.id);
            } else if constexpr (std::is_same_v<R, file_request::Put>) {
                runUpload(upload_.begin(r.id, r.name, r.size, now));
            } else if constexpr (std::is_same_v<R, file_request::PutEnd>) {
                runUpload(upload_.end(r.id, r.sha256, now));
            } else if constexpr (std::is_same_v<R, file_request::Get>) {
                runDownload(download_.begin(r.id, r.name, now));
            } else {
                runUpload(upload_.cancel(r.id));
                runDownload(download_.cancel(r.id));
            }
        },
        request.value);
}

void FileTransferEngine::handleBinary(std::span<const std::uint8_t> frame) {
    expectOn(queue_, "FileTransferEngine::handleBinary");
    if (!peer_) return;
    const auto chunk = FileChunk::decodeUpload(frame);
    if (!chunk) return;
    const auto count = static_cast<std::int64_t>(chunk->data.size());
    auto effects = upload_.chunk(chunk->id, chunk->offset, count, clock_());
    if (effects == FileUploadMachine::Effects{FileUploadMachine::Write{count}} && incoming_) {
        writeChunk(chunk->data, count);
        return;
    }
    runUpload(effects);
}

void FileTransferEngine::writeChunk(std::span<const std::uint8_t> data, std::int64_t count) {
    auto in = incoming_;
    disk_.post([this, in, bytes = Bytes(data.begin(), data.end()), count] {
        const bool ok = !in->dead && !isPaused_() && in->file && in->file->write(bytes);
        if (ok) in->hasher.update(bytes);
        backOnQueue([in, count, ok](FileTransferEngine& e) {
            if (e.incoming_ != in) return;
            e.runUpload(e.upload_.wrote(count, ok, e.clock_()));
        });
    });
}

void FileTransferEngine::tick() {
    expectOn(queue_, "FileTransferEngine::tick");
    const auto now = clock_();
    runUpload(upload_.expire(now));
    runDownload(download_.expire(now));
}

void FileTransferEngine::chunkSent() {
    expectOn(queue_, "FileTransferEngine::chunkSent");
    if (strayChunks_ > 0) {
        --strayChunks_;
        return;
    }
    if (!chunkOutstanding_) return;
    chunkOutstanding_ = false;
    runDownload(download_.chunkSent(clock_()));
}

bool FileTransferEngine::drain() {
    if (disk_.isCurrent()) return false;
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    disk_.post([done] { done->set_value(); });
    return future.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
}

void FileTransferEngine::list(std::int64_t id) {
    if (listing_) return send(FileMessage::failure("file-list-result", id, FileReason::busy));
    if (!listLimiter_.allow(clock_())) return send(FileMessage::failure("file-list-result", id, FileReason::tooSoon));
    listing_ = true;
    const auto session = session_;
    disk_.post([this, id, session] {
        // While paused the folder is not read and the device hears nothing.
        std::optional<std::vector<OutboxEntry>> entries;
        if (!isPaused_()) entries = access_->listOutbox();
        backOnQueue([id, session, entries = std::move(entries)](FileTransferEngine& e) {
            if (e.session_ != session) return;
            e.listing_ = false;
            if (entries && e.peer_) e.send(FileMessage::list(id, *entries));
        });
    });
}

void FileTransferEngine::runUpload(const FileUploadMachine::Effects& effects) {
    using M = FileUploadMachine;
    for (const auto& effect : effects) {
        if (const auto* e = std::get_if<M::Refuse>(&effect)) {
            send(FileMessage::failure("file-put-result", e->id, e->reason));
        } else if (const auto* e = std::get_if<M::Open>(&effect)) {
            if (!access_) continue;
            auto in = std::make_shared<Incoming>();
            incoming_ = in;
            incomingName_ = e->name;
            disk_.post([this, in, name = e->name, size = e->size, origin = peer_ ? peer_->origin : std::string()] {
                if (!in->dead && !isPaused_()) in->file = access_->beginIncoming(name, size, origin);
                const bool ok = in->file != nullptr;
                backOnQueue([in, ok](FileTransferEngine& eng) {
                    if (eng.incoming_ != in) return;
                    eng.runUpload(eng.upload_.opened(ok, eng.clock_()));
                });
            });
        } else if (const auto* e = std::get_if<M::Ready>(&effect)) {
            send(FileMessage::putReady(e->id));
        } else if (std::holds_alternative<M::Write>(effect)) {
            // The bytes are written by handleBinary, which has them.
        } else if (const auto* e = std::get_if<M::Ack>(&effect)) {
            send(FileMessage::ack(e->id, e->written));
        } else if (const auto* e = std::get_if<M::Verify>(&effect)) {
            if (!incoming_) continue;
            auto in = incoming_;
            disk_.post([this, in, expected = e->sha256] {
                M::Check check = M::Failed{};
                std::optional<bool> quarantined;
                if (!in->dead && !isPaused_() && in->file) {
                    const auto digest = in->hasher.finishHex();
                    if (digest.empty() || digest != expected) {
                        check = M::HashMismatch{};
                    } else if (auto committed = in->file->commit()) {
                        check = M::Saved{committed->name};
                        quarantined = committed->quarantined;
                        in->file.reset();
                    }
                }
                backOnQueue([in, check, quarantined](FileTransferEngine& eng) {
                    if (eng.incoming_ != in) return;
                    eng.lastQuarantined_ = quarantined;
                    eng.runUpload(eng.upload_.verified(check));
                });
            });
        } else if (const auto* e = std::get_if<M::Done>(&effect)) {
            incoming_.reset();
            send(FileMessage::putDone(e->id, e->name));
            report(FileTransferReport::Direction::toMac, e->size, e->size, FileReason::ok, lastQuarantined_, e->name);
            incomingName_.clear();
        } else if (const auto* e = std::get_if<M::Fail>(&effect)) {
            if (incoming_) {
                auto in = std::move(incoming_);
                incoming_.reset();
                disk_.post([in] {
                    in->dead = true;
                    if (in->file) in->file->discard();
                    in->file.reset();
                });
            }
            if (e->reason != FileReason::sessionEnded)
                send(FileMessage::failure("file-put-result", e->id, e->reason));
            report(FileTransferReport::Direction::toMac, e->written, e->size, e->reason, std::nullopt,
                   std::exchange(incomingName_, {}));
        }
    }
}

void FileTransferEngine::runDownload(const FileDownloadMachine::Effects& effects) {
    using M = FileDownloadMachine;
    for (const auto& effect : effects) {
        if (const auto* e = std::get_if<M::Refuse>(&effect)) {
            send(FileMessage::failure("file-get-result", e->id, e->reason));
        } else if (const auto* e = std::get_if<M::Open>(&effect)) {
            if (!access_) continue;
            auto out = std::make_shared<Outgoing>();
            outgoing_ = out;
            disk_.post([this, out, name = e->name] {
                if (!out->dead && !isPaused_()) out->file = access_->openOutbox(name);
                std::optional<std::int64_t> size;
                if (out->file) size = out->file->size();
                backOnQueue([out, size](FileTransferEngine& eng) {
                    if (eng.outgoing_ != out) return;
                    eng.runDownload(eng.download_.opened(size, eng.clock_()));
                });
            });
        } else if (const auto* e = std::get_if<M::Ready>(&effect)) {
            send(FileMessage::getReady(e->id, e->size));
        } else if (const auto* e = std::get_if<M::Read>(&effect)) {
            if (!outgoing_) continue;
            auto out = outgoing_;
            disk_.post([this, out, count = e->count] {
                std::optional<Bytes> bytes;
                if (!out->dead && !isPaused_() && out->file) bytes = out->file->read(count);
                if (bytes && static_cast<std::int64_t>(bytes->size()) == count) out->hasher.update(*bytes);
                backOnQueue([out, bytes = std::move(bytes)](FileTransferEngine& eng) mutable {
                    if (eng.outgoing_ != out) return;
                    std::optional<std::int64_t> got;
                    if (bytes) got = static_cast<std::int64_t>(bytes->size());
                    eng.readChunk_ = std::move(bytes);
                    eng.runDownload(eng.download_.readDone(got));
                    eng.readChunk_.reset();
                });
            });
        } else if (const auto* e = std::get_if<M::Offer>(&effect)) {
            if (!readChunk_) continue;
            auto frame = FileChunk::encode(FileChunk::downloadTag, e->id, e->offset, *readChunk_);
            if (!frame) continue;
            readChunk_.reset();
            chunkOutstanding_ = true;
            if (peer_ && peer_->offer) peer_->offer(std::move(*frame));
        } else if (const auto* e = std::get_if<M::Finish>(&effect)) {
            if (!outgoing_) continue;
            auto out = outgoing_;
            disk_.post([this, out, id = e->id, size = e->size] {
                auto digest = out->hasher.finishHex();
                out->dead = true;
                if (out->file) out->file->close();
                out->file.reset();
                backOnQueue([out, id, size, digest = std::move(digest)](FileTransferEngine& eng) {
                    if (eng.outgoing_ != out) return;
                    eng.outgoing_.reset();
                    eng.download_.finished();
                    eng.send(FileMessage::getDone(id, digest));
                    eng.report(FileTransferReport::Direction::fromMac, size, size, FileReason::ok, std::nullopt);
                });
            });
        } else if (const auto* e = std::get_if<M::Fail>(&effect)) {
            if (outgoing_) {
                auto out = std::move(outgoing_);
                outgoing_.reset();
                readChunk_.reset();
                if (chunkOutstanding_) {
                    chunkOutstanding_ = false;
                    // A frame already on its way will still be confirmed;
                    // that confirmation must not count for a later download.
                    if (peer_ && !(peer_->dropPending && peer_->dropPending())) ++strayChunks_;
                }
                disk_.post([out] {
                    out->dead = true;
                    if (out->file) out->file->close();
                    out->file.reset();
                });
            }
            if (e->reason != FileReason::sessionEnded)
                send(FileMessage::failure("file-get-result", e->id, e->reason));
            report(FileTransferReport::Direction::fromMac, e->sent, e->size, e->reason, std::nullopt);
        }
    }
}

}  // namespace morvane
