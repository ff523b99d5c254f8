// One HTTPS POST to the relay's account interface and its answer, behind
// an interface so the account client's rules can be tested without a
// socket. BeastRelayHttp is the real one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/types.h"
#include "relay/relay_tls.h"
#include "relay/relay_url.h"

namespace morvane {

struct RelayHttpRequest {
    RelayURL url;  // origin; `target` is the path asked for
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::int64_t timeoutMillis = 15'000;
};

struct RelayHttpAnswer {
    // `untrusted`: the relay's certificate was refused (`why` says why).
    enum class Kind { answered, unreachable, untrusted, cancelled };
    Kind kind = Kind::unreachable;
    int status = 0;
    // The body as read; at most the reader's limit plus one byte, so an
    // over-long body is recognisable without being kept whole.
    std::optional<Bytes> body;
    // Unreachable and untrusted only: why, naming the address
    // ("relay.example.com:443: connection refused").
    std::string why;
};

class RelayHttpTask {
public:
    virtual ~RelayHttpTask() = default;
    // The answer becomes `cancelled` unless it has already been given.
    virtual void cancel() = 0;
};

class RelayHttpTransport {
public:
    virtual ~RelayHttpTransport() = default;
    // `done` runs exactly once, later, on the transport's own queue.
    virtual std::shared_ptr<RelayHttpTask> post(RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done) = 0;
};

// Beast over TLS (verified; plain HTTP only for the loopback), on a thread
// of its own that runs one completion at a time. Reads at most
// `maxAnswerBytes` + 1 of a body. Names are looked up by `resolve`, the
// system's resolver when empty.
class BeastRelayHttp final : public RelayHttpTransport {
public:
    explicit BeastRelayHttp(std::size_t maxAnswerBytes, RelayNameResolver resolve = {});
    ~BeastRelayHttp() override;
    std::shared_ptr<RelayHttpTask> post(RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace morvane
