#include "devices/device_store.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "core/bounded_json.h"
#include "core/secure.h"
#include "devices/file_device_storage.h"

namespace morvane {

static_assert(DeviceStore::codeAlphabet.size() == 32, "a code symbol is five bits of one random byte");

namespace {

using Json = nlohmann::json;

// A code, token or id made from weaker randomness is worse than none.
Bytes secureRandom(std::size_t count) {
    try {
        return Secure::randomBytes(count);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "DeviceStore: %s\n", e.what());
        std::abort();
    }
}

std::span<const std::uint8_t> utf8(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Walks the whole list, never stopping early, and keeps the last match.
template <typename Field>
std::optional<std::size_t> findSecret(const std::vector<PairedDevice>& list, std::span<const std::uint8_t> candidate,
                                      Field field) {
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string_view stored = field(list[i]);
        if (Secure::constantTimeEqual(candidate, utf8(stored))) found = i;
    }
    return found;
}

std::string errorText(const std::exception& e) { return e.what(); }

// Grapheme cluster boundaries of a text.
std::vector<std::int32_t> clusterBoundaries(const icu::UnicodeString& text) {
    std::vector<std::int32_t> out;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        // Without break data every code point stands alone.
        for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) out.push_back(i);
        out.push_back(text.length());
        return out;
    }
    it->setText(text);
    for (std::int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next()) out.push_back(b);
    return out;
}

icu::UnicodeString firstClusters(const icu::UnicodeString& text, std::size_t count) {
    auto bounds = clusterBoundaries(text);
    if (bounds.size() <= count + 1) return text;
    return icu::UnicodeString(text, 0, bounds[count]);
}

bool isWhiteOrNewline(UChar32 c) { return u_isUWhiteSpace(c); }
bool isWhite(UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

template <typename Pred>
icu::UnicodeString trim(const icu::UnicodeString& text, Pred drop) {
    std::int32_t start = 0, end = text.length();
    while (start < end && drop(text.char32At(start))) start = text.moveIndex32(start, 1);
    while (end > start) {
        std::int32_t prev = text.moveIndex32(end, -1);
        if (!drop(text.char32At(prev))) break;
        end = prev;
    }
    return icu::UnicodeString(text, start, end - start);
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = floorDiv(y, 400);
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

}  // namespace

DeviceStore::DeviceStore(std::shared_ptr<DeviceStorage> storage, Executor* saveQueue)
    : storage_(std::move(storage)), saveQueue_(saveQueue) {
    std::lock_guard guard(lock_);
    loadLocked();
}

DeviceStore::DeviceStore(const std::filesystem::path& fileURL)
    : DeviceStore(std::make_shared<FileDeviceStorage>(fileURL), nullptr) {}

DeviceStore::~DeviceStore() {
    {
        // A retry still waiting finds the store gone and does nothing.
        std::lock_guard guard(lock_);
        alive_.reset();
    }
    // Saves already queued still run, while every field they use is alive.
    if (saveQueue_) saveQueue_->drain();
}

void DeviceStore::setClock(WallClock clock) {
    std::lock_guard guard(lock_);
    clock_ = clock ? std::move(clock) : WallClock(systemWallMillis);
}

void DeviceStore::setOnSaveChange(std::function<void(const std::optional<std::string>&)> callback) {
    std::lock_guard guard(lock_);
    onSaveChange_ = std::move(callback);
}

std::vector<PairedDevice> DeviceStore::devices() const {
    std::lock_guard guard(lock_);
    return list_;
}

std::optional<std::string> DeviceStore::storageFailure() const {
    std::lock_guard guard(lock_);
    return loadFailure_;
}

std::optional<std::string> DeviceStore::lastSaveFailure() const {
    std::lock_guard guard(lock_);
    return saveFailure_;
}

DeviceStore::UnsavedRevocation DeviceStore::unsavedRevocation() const {
    std::lock_guard guard(lock_);
    return unsavedRevocationLocked();
}

DeviceStore::UnsavedRevocation DeviceStore::unsavedRevocationLocked() const {
    if (listRemoved_) return UnsavedRevocation::listRemoved;
    if (revocations_ > savedRevocations_) return UnsavedRevocation::listKept;
    return UnsavedRevocation::none;
}

bool DeviceStore::pairingWindowOpen() {
    std::lock_guard guard(lock_);
    return windowOpenLocked();
}

std::int64_t DeviceStore::nowSeconds() const { return floorDiv(clock_(), 1000); }

void DeviceStore::loadLocked() {
    list_.clear();
    saveFailure_.reset();
    // What is in memory now is what is stored: nothing is left to save.
    savedRevocations_ = revocations_;
    unsavedIds_.clear();
    listRemoved_ = false;
    recordsKept_ = false;
    std::optional<Bytes> data;
    try {
        data = storage_->load();
    } catch (const std::exception& e) {
        loadFailure_ = errorText(e);
        return;
    }
    if (data) {
        auto decoded = decode(*data);
        if (!decoded) {
            loadFailure_ = invalidListText;
            return;
        }
        list_ = std::move(*decoded);
    }
    loadFailure_.reset();
    // Revocations that an earlier run could only record: their devices stay
    // out, every other is kept, and the list is written again as soon as
    // there is room.
    const auto recorded = storage_->recordedRevocations();
    if (recorded.empty()) return;
    recordsKept_ = true;
    const auto dropped = std::erase_if(list_, [&](const PairedDevice& d) {
        return std::find(recorded.begin(), recorded.end(), d.id) != recorded.end();
    });
    if (dropped > 0) saveLocked();
}

std::vector<std::string> DeviceStore::idsToRecordLocked(std::uint64_t revocations) const {
    std::vector<std::string> ids;
    for (const auto& [number, id] : unsavedIds_)
        if (number > savedRevocations_ && number <= revocations) ids.push_back(id);
    return ids;
}

void DeviceStore::saveLocked() {
    // A list that could not be read is never replaced by the empty one here.
    if (loadFailure_) return;
    auto data = encode(list_);
    if (!data) {
        // What is stored stays as it was; writing an empty list instead would
        // unpair every device. Trying again would fail the same way: only a
        // change can mend it.
        const bool changed = saveFailure_ != unencodableListText;
        saveFailure_ = unencodableListText;
        if (!changed) return;
        if (saveQueue_) {
            saveQueue_->post([this] {
                std::function<void(const std::optional<std::string>&)> callback;
                {
                    std::lock_guard guard(lock_);
                    callback = onSaveChange_;
                }
                if (callback) callback(std::string(unencodableListText));
            });
        } else {
            std::cerr << "DeviceStore: " << unencodableListText << "\n";
        }
        return;
    }
    const std::uint64_t revocations = revocations_;
    if (saveQueue_) {
        saveQueue_->post([this, bytes = std::move(*data), revocations] {
            // Read when the save runs: the saves before it may have made
            // records, or saved what they held.
            std::vector<std::string> toRecord;
            bool forget = false;
            {
                std::lock_guard guard(lock_);
                toRecord = idsToRecordLocked(revocations);
                forget = recordsKept_;
            }
            const Written written = write(bytes, toRecord, forget);
            std::function<void(const std::optional<std::string>&)> callback;
            std::optional<std::string> outcome;
            bool changed = false;
            {
                std::lock_guard guard(lock_);
                changed = recordLocked(written, revocations);
                callback = onSaveChange_;
                outcome = saveFailure_;
            }
            if (changed && callback) callback(outcome);
        });
        return;
    }
    const Written written = write(*data, idsToRecordLocked(revocations), recordsKept_);
    // One line per new reason: a disk that stays full is not told at every change.
    if (recordLocked(written, revocations) && written.failure)
        std::cerr << "DeviceStore: " << *written.failure << "\n";
}

DeviceStore::Written DeviceStore::write(std::span<const std::uint8_t> data, const std::vector<std::string>& toRecord,
                                        bool forget) {
    Written out;
    try {
        storage_->save(data);
        // The list now holds every revocation the records kept.
        if (forget) storage_->forgetRevocations();
        out.recordsGone = forget;
        return out;
    } catch (const std::exception& e) {
        out.failure = errorText(e);
    }
    if (toRecord.empty()) return out;
    // The stored list still names a revoked device, which a restart would
    // let in again. Records beside it need no room (a full disk is the
    // usual cause) and keep it out while the others stay paired.
    try {
        for (const auto& id : toRecord) storage_->recordRevoked(id);
        out.recorded = true;
        return out;
    } catch (const std::exception&) {
    }
    // Where not even a record can be made, removing the list needs no room
    // and frees what the smaller list needs, so the list is written again at
    // once; if that fails too, no list is stored, and after a restart no
    // device is accepted rather than the revoked one.
    try {
        storage_->remove();
    } catch (const std::exception&) {
        return out;
    }
    storage_->forgetRevocations();  // nothing left for them to apply to
    out.listRemoved = true;
    out.recordsGone = true;
    try {
        storage_->save(data);
        Written saved;
        saved.recordsGone = true;
        return saved;
    } catch (const std::exception& e) {
        out.failure = errorText(e);
    }
    return out;
}

bool DeviceStore::recordLocked(const Written& written, std::uint64_t revocations) {
    if (written.recordsGone) recordsKept_ = false;
    if (!written.failure || written.recorded) {
        // Every revocation this save carried now holds after a restart.
        savedRevocations_ = std::max(savedRevocations_, revocations);
        std::erase_if(unsavedIds_, [&](const auto& entry) { return entry.first <= savedRevocations_; });
    }
    if (written.recorded) recordsKept_ = true;
    if (!written.failure) {
        const bool changed = saveFailure_.has_value();
        saveFailure_.reset();
        listRemoved_ = false;
        return changed;
    }
    const bool changed = saveFailure_ != written.failure;
    saveFailure_ = written.failure;
    if (written.listRemoved) listRemoved_ = true;
    scheduleRetryLocked();
    return changed;
}

void DeviceStore::scheduleRetryLocked() {
    if (!saveQueue_ || !alive_ || retryScheduled_) return;
    retryScheduled_ = true;
    saveQueue_->postAfter(retryMillis, [this, alive = std::weak_ptr<int>(alive_)] {
        const auto held = alive.lock();
        if (!held) return;
        std::lock_guard guard(lock_);
        retryScheduled_ = false;
        if (saveFailure_) saveLocked();
    });
}

void DeviceStore::retrySave() {
    std::lock_guard guard(lock_);
    if (saveFailure_) saveLocked();
}

bool DeviceStore::windowOpenLocked() {
    if (!codeHash_) return false;
    if (clock_() >= codeExpiryMillis_) {
        closeWindowLocked();
        return false;
    }
    return true;
}

void DeviceStore::closeWindowLocked() {
    codeHash_.reset();
    codeExpiryMillis_ = INT64_MIN;
    wrongAttempts_ = 0;
}

std::string DeviceStore::openPairingWindow() {
    auto random = secureRandom(codeLength);
    std::string code;
    for (auto b : random) code += codeAlphabet[b & 31];
    auto hash = Secure::sha256(code);
    std::lock_guard guard(lock_);
    if (loadFailure_) return code;
    codeHash_ = std::move(hash);
    codeExpiryMillis_ = clock_() + windowMillis;
    wrongAttempts_ = 0;
    return code;
}

void DeviceStore::closePairingWindow() {
    std::lock_guard guard(lock_);
    closeWindowLocked();
}

DeviceStore::PairOutcome DeviceStore::attemptPair(std::string_view code, std::string_view name) {
    auto hash = Secure::sha256(normalize(code));
    std::unique_lock guard(lock_);
    if (!windowOpenLocked()) return pair_outcome::Closed{};
    if (!Secure::constantTimeEqual(hash, *codeHash_)) {
        if (++wrongAttempts_ >= maxWrongAttempts) closeWindowLocked();
        return pair_outcome::WrongCode{};
    }
    closeWindowLocked();  // one code pairs one browser
    auto token = Secure::hex(secureRandom(32));
    PairedDevice device;
    device.id = Secure::hex(secureRandom(8));
    device.name = clean(name);
    device.tokenHash = Secure::sha256Hex(token);
    device.pairedAt = nowSeconds();
    list_.push_back(device);
    saveLocked();
    if (saveQueue_) {
        // The answer waits for the save: a token is handed out only once the
        // list holding its device is stored.
        guard.unlock();
        waitForSaves();
        guard.lock();
    }
    if (saveFailure_) {
        std::erase_if(list_, [&](const PairedDevice& d) { return d.id == device.id; });
        return pair_outcome::NotSaved{*saveFailure_};
    }
    return pair_outcome::Paired{std::move(token), std::move(device)};
}

std::optional<DeviceStore::Pairing> DeviceStore::pair(std::string_view code, std::string_view name) {
    auto outcome = attemptPair(code, name);
    if (auto* paired = std::get_if<pair_outcome::Paired>(&outcome))
        return Pairing{std::move(paired->token), std::move(paired->device)};
    return std::nullopt;
}

std::optional<PairedDevice> DeviceStore::validate(std::string_view token) {
    const auto candidate = Secure::sha256Hex(token);
    std::lock_guard guard(lock_);
    auto found = findSecret(list_, utf8(candidate), [](const PairedDevice& d) -> std::string_view { return d.tokenHash; });
    if (!found) return std::nullopt;
    list_[*found].lastSeen = nowSeconds();
    PairedDevice copy = list_[*found];
    saveLocked();
    return copy;
}

std::optional<PairedDevice> DeviceStore::touch(std::string_view id) {
    std::lock_guard guard(lock_);
    if (loadFailure_) return std::nullopt;
    for (auto& device : list_) {
        if (device.id != id) continue;
        device.lastSeen = nowSeconds();
        PairedDevice copy = device;
        saveLocked();
        return copy;
    }
    return std::nullopt;
}

namespace {
std::string_view relayKeyOf(const PairedDevice& d) { return d.relayKey ? std::string_view(*d.relayKey) : std::string_view(); }
}  // namespace

std::optional<PairedDevice> DeviceStore::relayDevice(std::span<const std::uint8_t> key) {
    const auto keyText = base64url(key);
    std::lock_guard guard(lock_);
    if (loadFailure_ || key.size() != relayKeyBytes) return std::nullopt;
    auto found = findSecret(list_, utf8(keyText), relayKeyOf);
    if (!found) return std::nullopt;
    return list_[*found];
}

std::optional<PairedDevice> DeviceStore::enrolRelayDevice(std::span<const std::uint8_t> key, std::string_view name) {
    if (key.size() != relayKeyBytes || key[0] != 0x04) return std::nullopt;
    const auto keyText = base64url(key);
    const auto cleanName = clean(name);
    std::unique_lock guard(lock_);
    if (loadFailure_) return std::nullopt;
    if (auto found = findSecret(list_, utf8(keyText), relayKeyOf)) {
        list_[*found].name = cleanName;
        PairedDevice copy = list_[*found];
        saveLocked();
        return copy;
    }
    PairedDevice device;
    device.id = Secure::hex(secureRandom(8));
    device.name = cleanName;
    device.pairedAt = nowSeconds();
    device.relayKey = keyText;
    list_.push_back(device);
    // As with a pairing: the device is told it is enrolled only once the
    // list naming it is stored, or it would be a stranger after a restart.
    if (saveAndWaitLocked(guard)) {
        std::erase_if(list_, [&](const PairedDevice& d) { return d.id == device.id; });
        return std::nullopt;
    }
    return device;
}

// A revocation answers only once its save has landed: the caller reports
// the device as gone, which must then hold after a restart.
std::optional<std::string> DeviceStore::saveAndWaitLocked(std::unique_lock<std::mutex>& guard) {
    saveLocked();
    if (saveQueue_) {
        guard.unlock();
        waitForSaves();
        guard.lock();
    }
    return saveFailure_;
}

std::optional<std::string> DeviceStore::revoke(std::string_view id) {
    std::unique_lock guard(lock_);
    if (std::erase_if(list_, [&](const PairedDevice& d) { return d.id == id; }) > 0)
        unsavedIds_.emplace_back(++revocations_, std::string(id));
    const auto failure = saveAndWaitLocked(guard);
    if (unsavedRevocationLocked() == UnsavedRevocation::none) return std::nullopt;
    return failure;
}

std::optional<std::string> DeviceStore::revokeAll() {
    std::unique_lock guard(lock_);
    if (!list_.empty()) {
        ++revocations_;
        for (const auto& device : list_) unsavedIds_.emplace_back(revocations_, device.id);
    }
    list_.clear();
    const auto failure = saveAndWaitLocked(guard);
    if (unsavedRevocationLocked() == UnsavedRevocation::none) return std::nullopt;
    return failure;
}

std::optional<std::string> DeviceStore::reload() {
    // A save still queued would otherwise land after the read and be lost
    // from memory.
    if (saveQueue_ && !saveQueue_->isCurrent()) saveQueue_->drain();
    std::lock_guard guard(lock_);
    closeWindowLocked();
    loadLocked();
    return loadFailure_;
}

void DeviceStore::resetStorage() {
    // A queued save must not bring the removed item back.
    if (saveQueue_ && !saveQueue_->isCurrent()) saveQueue_->drain();
    std::lock_guard guard(lock_);
    storage_->remove();
    storage_->forgetRevocations();
    list_.clear();
    loadFailure_.reset();
    saveFailure_.reset();
    savedRevocations_ = revocations_;
    unsavedIds_.clear();
    listRemoved_ = false;
    recordsKept_ = false;
    closeWindowLocked();
}

void DeviceStore::waitForSaves() {
    if (saveQueue_) saveQueue_->drain();
}

std::string DeviceStore::normalize(std::string_view code) {
    auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(code.data(), static_cast<std::int32_t>(code.size())));
    text = firstClusters(text, 64);
    text.toUpper(icu::Locale::getRoot());
    auto bounds = clusterBoundaries(text);
    icu::UnicodeString out;
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
        icu::UnicodeString cluster(text, bounds[i], bounds[i + 1] - bounds[i]);
        if (u_isUWhiteSpace(cluster.char32At(0)) || cluster == icu::UnicodeString(u"-")) continue;
        out += cluster;
    }
    return toUtf8(out);
}

std::string DeviceStore::clean(std::string_view name) {
    // Ill-formed UTF-8 becomes U+FFFD, so a cleaned name always encodes.
    auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), static_cast<std::int32_t>(name.size())));
    icu::UnicodeString kept;
    for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        UChar32 c = text.char32At(i);
        auto type = u_charType(c);
        if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR) continue;
        kept.append(c);
    }
    kept = trim(kept, isWhiteOrNewline);
    kept = firstClusters(kept, maxNameLength);
    kept = trim(kept, isWhite);
    if (kept.isEmpty()) return "Device";
    return toUtf8(kept);
}

std::string DeviceStore::base64url(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (bytes.size() - i == 1) {
        std::uint32_t v = bytes[i] << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (bytes.size() - i == 2) {
        std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

std::string DeviceStore::formatDate(std::int64_t seconds) {
    std::int64_t days = floorDiv(seconds, 86400);
    std::int64_t rest = seconds - days * 86400;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return buffer;
}

std::optional<std::int64_t> DeviceStore::parseDate(std::string_view t) {
    // Exactly YYYY-MM-DDTHH:MM:SSZ.
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z')
        return std::nullopt;
    auto number = [&](std::size_t at, std::size_t len) -> std::optional<int> {
        int v = 0;
        for (std::size_t i = at; i < at + len; ++i) {
            if (t[i] < '0' || t[i] > '9') return std::nullopt;
            v = v * 10 + (t[i] - '0');
        }
        return v;
    };
    auto y = number(0, 4), mo = number(5, 2), d = number(8, 2), h = number(11, 2), mi = number(14, 2),
         s = number(17, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    if (*mo < 1 || *mo > 12 || *d < 1 || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    static constexpr int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*y % 4 == 0 && *y % 100 != 0) || *y % 400 == 0;
    const int last = monthDays[*mo - 1] + (*mo == 2 && leap ? 1 : 0);
    if (*d > last) return std::nullopt;
    return daysFromCivil(*y, static_cast<unsigned>(*mo), static_cast<unsigned>(*d)) * 86400 + *h * 3600 + *mi * 60 + *s;
}

std::optional<Bytes> DeviceStore::encode(const std::vector<PairedDevice>& devices) {
    Json list = Json::array();
    for (const auto& d : devices) {
        Json item = {{"id", d.id}, {"name", d.name}, {"tokenHash", d.tokenHash}, {"pairedAt", formatDate(d.pairedAt)}};
        if (d.lastSeen) item["lastSeen"] = formatDate(*d.lastSeen);
        if (d.relayKey) item["relayKey"] = *d.relayKey;
        list.push_back(std::move(item));
    }
    try {
        auto text = list.dump(2);  // strict: text that is not UTF-8 throws
        // Indented where it fits; a list near the storage's limit loses its
        // white space rather than its readability.
        if (text.size() > maxStoredBytes) text = list.dump();
        return Bytes(text.begin(), text.end());
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<PairedDevice>> DeviceStore::decode(std::span<const std::uint8_t> data) {
    auto parsed = BoundedJson::parse(data, BoundedJson::storedFileDepth);
    auto* list = std::get_if<Json>(&parsed);
    if (!list || !list->is_array()) return std::nullopt;
    std::vector<PairedDevice> out;
    out.reserve(list->size());
    auto text = [](const Json& item, const char* key) -> const std::string* {
        auto it = item.find(key);
        if (it == item.end() || !it->is_string()) return nullptr;
        return it->get_ptr<const std::string*>();
    };
    for (const auto& item : *list) {
        if (!item.is_object()) return std::nullopt;
        auto id = text(item, "id"), name = text(item, "name"), hash = text(item, "tokenHash"),
             paired = text(item, "pairedAt");
        if (!id || !name || !hash || !paired) return std::nullopt;
        PairedDevice d;
        d.id = *id;
        d.name = *name;
        d.tokenHash = *hash;
        auto pairedAt = parseDate(*paired);
        if (!pairedAt) return std::nullopt;
        d.pairedAt = *pairedAt;
        if (auto it = item.find("lastSeen"); it != item.end() && !it->is_null()) {
            auto seen = it->is_string() ? parseDate(it->get_ref<const std::string&>()) : std::nullopt;
            if (!seen) return std::nullopt;
            d.lastSeen = *seen;
        }
        if (auto it = item.find("relayKey"); it != item.end() && !it->is_null()) {
            if (!it->is_string()) return std::nullopt;
            d.relayKey = it->get<std::string>();
        }
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace morvane
