#include "server/relayed_connection.h"

#include "server/remote_connection.h"

namespace morvane {

RelayedConnection RelayedConnection::bridge(const std::weak_ptr<RemoteConnection>& weak) {
    RelayedConnection entries;
    entries.receive = [weak](WSOpcode opcode, const Bytes& data) {
        if (auto c = weak.lock()) c->receiveRelayed(opcode, data);
    };
    entries.peerClosed = [weak] {
        if (auto c = weak.lock();
            c && (c->phase() == ConnectionPhase::awaitingAuth || c->phase() == ConnectionPhase::controller))
            c->closeWebSocket(1000);
    };
    entries.transportLost = [weak] {
        if (auto c = weak.lock()) c->hardClose();
    };
    entries.bye = [weak](const std::string& reason) {
        if (auto c = weak.lock()) c->bye(reason);
    };
    return entries;
}

}  // namespace morvane
