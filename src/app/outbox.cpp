#include "app/outbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/paths.h"
#include "transfer/file_names.h"

namespace morvane {

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

enum class CopyOutcome { copied, tooLarge, failed };

CopyOutcome copyOne(const std::filesystem::path& source, const std::filesystem::path& outbox,
                    const OutboxNaming& naming, std::int64_t maxBytes) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) return CopyOutcome::failed;
    struct stat st {};
    // A pipe, a device or a folder has no size to trust: not copied.
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return CopyOutcome::failed;
    }
    if (st.st_size > maxBytes) {
        ::close(in);
        return CopyOutcome::tooLarge;
    }
    const auto name = naming.sanitise(source.filename().string());
    if (!name) {
        ::close(in);
        return CopyOutcome::failed;
    }
    int out = -1;
    std::filesystem::path destination;
    for (int attempt = 1; attempt <= OutboxLimits::maxAttempts && out < 0; ++attempt) {
        destination = outbox / naming.candidate(*name, attempt);
        out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) {
        ::close(in);
        return CopyOutcome::failed;
    }
    bool ok = true;
    bool grew = false;
    std::int64_t total = 0;
    char buffer[65'536];
    while (true) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        total += n;
        if (total > maxBytes) {
            grew = true;
            break;
        }
        if (!writeAll(out, buffer, static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    if (!ok || grew) {
        ::unlink(destination.c_str());
        return grew ? CopyOutcome::tooLarge : CopyOutcome::failed;
    }
    return CopyOutcome::copied;
}

}  // namespace

OutboxNaming OutboxNaming::basic() {
    OutboxNaming naming;
    naming.sanitise = [](const std::string& raw) -> std::optional<std::string> {
        std::string name;
        for (const char c : raw) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) continue;
            name.push_back(c == ':' ? '-' : c);
        }
        while (!name.empty() && (name.front() == '.' || name.front() == ' ')) name.erase(name.begin());
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos) return std::nullopt;
        return name;
    };
    naming.candidate = [](const std::string& name, int attempt) {
        if (attempt < 2) return name;
        const auto dot = name.rfind('.');
        const bool hasExt = dot != std::string::npos && dot > 0 && name.size() - dot >= 2 && name.size() - dot <= 17 &&
                            name.find(' ', dot) == std::string::npos;
        const std::string stem = hasExt ? name.substr(0, dot) : name;
        const std::string ext = hasExt ? name.substr(dot) : "";
        return stem + " (" + std::to_string(attempt) + ")" + ext;
    };
    return naming;
}

OutboxNaming OutboxNaming::transfer() {
    OutboxNaming naming;
    naming.sanitise = [](const std::string& raw) { return FileName::sanitise(raw); };
    naming.candidate = [](const std::string& name, int attempt) { return FileNaming::candidate(name, attempt); };
    return naming;
}

std::filesystem::path prepareOutbox(const std::filesystem::path& outbox) {
    createFolders(outbox, 0700);
    return outbox;
}

OutboxCopyResult copyIntoOutbox(const std::vector<std::filesystem::path>& chosen,
                                const std::filesystem::path& outbox, const OutboxNaming& naming,
                                std::int64_t maxBytes) {
    OutboxCopyResult result;
    for (const auto& file : chosen) {
        switch (copyOne(file, outbox, naming, maxBytes)) {
            case CopyOutcome::copied:
                ++result.copied;
                break;
            case CopyOutcome::tooLarge:
                ++result.tooLarge;
                break;
            case CopyOutcome::failed:
                ++result.failed;
                break;
        }
    }
    return result;
}

std::optional<std::string> outboxProblemText(const OutboxCopyResult& result) {
    if (result.tooLarge == 0 && result.failed == 0) return std::nullopt;
    std::string text;
    if (result.tooLarge > 0)
        text += std::to_string(result.tooLarge) + " larger than 200 MB, the most a device can fetch.";
    if (result.failed > 0) {
        if (!text.empty()) text += "\n";
        text += std::to_string(result.failed) + " could not be copied.";
    }
    return text;
}

}  // namespace morvane
