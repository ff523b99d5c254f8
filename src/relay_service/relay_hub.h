// The rooms: each registered computer's link, the devices connected to it
// and the records between them. The hub proves a link (challenge and
// prove), welcomes it with the devices already there, tells it who joined
// and left, forwards records behind their 4-byte connection id, and closes
// whatever breaks a rule with the code its peer reads. Where instances
// share a database, a device whose computer's link another instance holds
// waits here a few seconds while that instance is asked to let the link
// go, so that the host dials again and the proxy sends it here. Pure logic
// on the server's one network thread: sockets are RelayPeers, time an
// injected monotonic clock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/types.h"
#include "relay/relay_words.h"
#include "relay_service/relay_log.h"

namespace morvane::relay_service {

// One WebSocket as the hub sees it. After close() the hub sends nothing
// more to it and forgets it; the server still reports its end.
class RelayPeer {
public:
    virtual ~RelayPeer() = default;
    virtual void sendText(std::string text) = 0;
    virtual void sendBinary(Bytes data) = 0;
    // The record that is `frame` from `from` on. A peer may send the bytes
    // where they are rather than copy them out.
    virtual void sendRecord(Bytes frame, std::size_t from) {
        frame.erase(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(std::min(from, frame.size())));
        sendBinary(std::move(frame));
    }
    virtual void close(int code, std::string reason) = 0;
    // Reads nothing more for `millis`: a device that sends faster than its
    // allowance is held back until it refills, not closed. The sender's
    // network then paces it, and the socket costs only its kernel buffer
    // meanwhile. A close ends the hold.
    virtual void holdReads(std::int64_t millis) = 0;
    // For tests: bytes written as they are, past the WebSocket's framing.
    virtual void sendUnframed(Bytes) {}
};

struct DeviceLimits {
    int connectionsPerAccount = 16;
    int connectionsPerDevice = 4;
    // Read from one device connection, averaged; two seconds' worth may come
    // at once. A device that sends faster is read no faster.
    std::int64_t bytesPerSecond = 4 << 20;
};

class RelayHub {
public:
    struct Hooks {
        std::function<std::int64_t()> monotonicMillis;
        RelayLog log;
        // Every so often, the rooms whose links are held here: whether
        // their computers are still registered is asked of the store (where
        // another instance may have removed them) off this thread, and
        // `removed` is called back for those that are not.
        std::function<void(std::vector<std::string> rooms)> checkRegistrations;
        // A room's link came up or went down, for those who list computers
        // off this thread; `moving` when it went down to come up at
        // another instance (let go of).
        std::function<void(const std::string& room, bool up, bool moving)> onlineChanged;
        // A device waits for the room's link, which the instance `holder`
        // holds: that instance should let it go.
        std::function<void(const std::string& room, const std::string& holder)> askToLetGo;
        // Each second, the rooms whose devices wait for a link that is not
        // proving here: who holds each now is asked of the store, and
        // `holderIs` called back, since the link may have landed on another
        // instance than the one first asked (one that stopped, say).
        std::function<void(std::vector<std::string> rooms)> askHolders;
        // For tests only: each record it carries, either way, as it goes.
        std::function<void(std::span<const std::uint8_t> record)> carried = {};
        // A link that proved is welcomed when `ready` is called, on this
        // thread: once the lists say its computer is online, so that it is
        // never linked while a phone is told it is offline. None: at once.
        std::function<void(const std::string& room, std::function<void()> ready)> proving = {};
    };
    // `instance` names this instance where the store says who holds a link.
    RelayHub(Hooks hooks, DeviceLimits limits, std::string instance = "");

    // A host whose upgrade was admitted: it is sent its challenge.
    void hostOpened(const std::shared_ptr<RelayPeer>& peer, const std::string& room, Bytes publicKey);
    void hostText(RelayPeer* peer, std::string_view text);
    void hostBinary(RelayPeer* peer, std::span<const std::uint8_t> frame);
    // The same for a frame the caller gives away: its record reaches the
    // device without a copy.
    void hostBinary(RelayPeer* peer, Bytes frame);

    // For the next `millis` every link is taken to be on its way: a relay
    // just started, whose computers were linked to it (or to an instance
    // gone with it) before, has them dial again within seconds, and a
    // phone that comes first would otherwise be told its computer is
    // offline and dial again only after a pause of its own.
    void expectLinks(std::int64_t millis) { expectingUntil_ = hooks_.monotonicMillis() + millis; }

    // A device whose ticket opened the room. `holder` is the instance the
    // store names as holding the room's link ("" for none). Without a link
    // here the device waits for one that is proving here, is held by
    // another instance, is awaited already or expected; otherwise it is
    // told its computer is offline.
    void deviceOpened(const std::shared_ptr<RelayPeer>& peer, const std::string& room, const std::string& userId,
                      const std::string& session, const std::string& holder = "");
    // One whole message, or its first bytes when it ran over the record
    // limit (the server stops reading there).
    void deviceMessage(RelayPeer* peer, bool text, std::span<const std::uint8_t> data);

    // The store names `holder` ("" for none) as holding the room's link:
    // another instance that was not asked yet during the devices' wait is
    // asked to let it go.
    void holderIs(const std::string& room, const std::string& holder);

    // The socket ended, for the reason given (for the log).
    void ended(RelayPeer* peer, const std::string& why);
    // The room's computer left its account.
    void removed(const std::string& room);
    // Another instance serves the room now: its links here close with
    // "moved" and its devices go away, to dial again where the proxy sends
    // them.
    void letGo(const std::string& room);
    // This instance cannot serve its rooms (its store is out of reach):
    // every room is let go as above.
    void letGoAll();
    // A sign-in signed out: its device connections close as their ticket
    // would now be refused.
    void signedOut(const std::string& session);
    // The sign-ins whose devices are connected here.
    std::vector<std::string> sessions() const;
    // Every room with a link or a device here.
    std::vector<std::string> rooms() const;
    // The room's account was taken off the accounts list: its links close
    // as refused and its devices as their tickets now would be, at once,
    // whatever their tokens had left to live.
    void delisted(const std::string& room);
    // Closes every socket, going away.
    void shutDown();
    // Ends links that did not prove in time, tells devices that waited in
    // vain that their computer is offline and, every so often, hands the
    // rooms held here to the registration check.
    void tick();

    bool online(const std::string& room) const;
    // Which socket this is, for the log: "device 3 of room …", "the link of
    // room …", or "" for one the hub does not hold.
    std::string describe(const RelayPeer* peer) const;
    std::size_t links() const { return links_.size(); }
    // For tests: the links' sockets, to misbehave on.
    std::vector<RelayPeer*> linkPeers() const {
        std::vector<RelayPeer*> peers;
        for (const auto& [peer, link] : links_) peers.push_back(peer);
        return peers;
    }
    std::size_t devices() const { return devices_.size(); }

private:
    struct Link {
        std::shared_ptr<RelayPeer> peer;
        std::string room;
        Bytes publicKey;
        Bytes challenge;
        bool up = false;
        bool proved = false;  // and up once welcomed
        std::int64_t openedAt = 0;
    };
    struct Device {
        std::shared_ptr<RelayPeer> peer;
        std::string room;
        std::uint32_t id = 0;
        std::string userId;
        std::string session;
        double allowance = 0;
        std::int64_t lastMillis = 0;
        // Waiting for the room's link until then (0: joined), holding what
        // it sent meanwhile.
        std::int64_t waitUntil = 0;
        std::vector<Bytes> held;
        std::size_t heldBytes = 0;
    };
    // While a room has no link up, every device in it is waiting.
    struct Room {
        RelayPeer* link = nullptr;  // the link that is up, if any
        std::map<std::uint32_t, RelayPeer*> devices;
        std::uint32_t nextID = 1;
        int links = 0;  // proving or up
        // The last instance asked to let the link go, and when.
        std::string askedOf;
        std::int64_t askedAt = 0;
    };

    // Up and welcomed, unless it ended meanwhile.
    void welcome(RelayPeer* peer);
    void closeLink(RelayPeer* peer, RelayCloseWord close, const std::string& why);
    // Every link of the room here (proving or up), then every device left.
    void closeRoom(const std::string& room, RelayCloseWord linkClose, const std::string& why, RelayCloseWord deviceClose);
    // Closes and forgets a device; the host hears it left unless it asked.
    void closeDevice(RelayPeer* peer, RelayCloseWord close, bool tellHost);
    // Every change of a room's link that is up goes through here, so those
    // who keep a list of online rooms hear of it.
    void setLink(const std::string& roomID, Room& room, RelayPeer* link, bool tell = true, bool moving = false);
    void forget(Device& device);
    void dropRoomIfEmpty(const std::string& room);
    // The room's link proved: the devices that waited for it are there.
    void welcomeWaiting(Room& room, RelayPeer* link);
    // Asks `holder` to let the room's link go, once a wait.
    void askToLetGo(const std::string& roomID, Room& room, const std::string& holder, std::int64_t now);

    Hooks hooks_;
    DeviceLimits limits_;
    std::string instance_;
    std::unordered_map<RelayPeer*, Link> links_;
    std::unordered_map<RelayPeer*, Device> devices_;
    std::unordered_map<std::string, Room> rooms_;
    std::unordered_map<std::string, int> perAccount_;
    std::unordered_map<std::string, int> perSession_;
    std::int64_t lastRegistrationCheck_ = 0;
    std::int64_t expectingUntil_ = 0;
    // Devices that began waiting, oldest first (their deadlines come in
    // order); one that joined or left since is passed over.
    std::deque<std::pair<std::int64_t, RelayPeer*>> waits_;
};

}  // namespace morvane::relay_service
