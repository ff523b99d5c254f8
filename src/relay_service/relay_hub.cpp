#include "relay_service/relay_hub.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_control.h"
#include "relay/relay_signed.h"
#include "relay_service/relay_limits.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service {

using json = nlohmann::json;

RelayHub::RelayHub(Hooks hooks, DeviceLimits limits, std::string instance)
    : hooks_(std::move(hooks)), limits_(limits), instance_(std::move(instance)) {
    lastRegistrationCheck_ = hooks_.monotonicMillis();
}

bool RelayHub::online(const std::string& room) const {
    const auto it = rooms_.find(room);
    return it != rooms_.end() && it->second.link != nullptr;
}

std::string RelayHub::describe(const RelayPeer* peer) const {
    auto* key = const_cast<RelayPeer*>(peer);
    if (const auto link = links_.find(key); link != links_.end()) return "the link of room " + link->second.room;
    if (const auto device = devices_.find(key); device != devices_.end())
        return "device " + std::to_string(device->second.id) + " of room " + device->second.room;
    return "";
}

void RelayHub::hostOpened(const std::shared_ptr<RelayPeer>& peer, const std::string& room, Bytes publicKey) {
    Link link;
    link.peer = peer;
    link.room = room;
    link.publicKey = std::move(publicKey);
    link.challenge = Secure::randomBytes(32);
    link.openedAt = hooks_.monotonicMillis();
    const auto challenge = RelayBytes::b64u(link.challenge);
    links_.emplace(peer.get(), std::move(link));
    ++rooms_[room].links;
    peer->sendText(R"({"t":"challenge","nonce":")" + challenge + "\"}");
}

void RelayHub::hostText(RelayPeer* peer, std::string_view text) {
    const auto found = links_.find(peer);
    if (found == links_.end()) return;
    Link& link = found->second;
    const auto message = text.size() > RelayLimits::maxControlBytes ? json() : json::parse(text, nullptr, false);
    const auto type = message.is_object() && message.contains("t") && message["t"].is_string()
                          ? message["t"].get<std::string>()
                          : std::string();
    if (!link.proved && type == "prove" && message.contains("sig") && message["sig"].is_string()) {
        const auto sig = RelayBytes::fromB64u(message["sig"].get<std::string>());
        const auto roomBytes = SecureChannel::roomID(link.publicKey);
        if (!sig || !RelaySigned::verify(link.publicKey, RelaySigned::proveMessage(roomBytes, link.challenge), *sig))
            return closeLink(peer, RelayLinkClose::refused, "refused: bad prove");
        link.proved = true;
        if (!hooks_.proving) return welcome(peer);
        hooks_.proving(link.room, [this, alive = std::weak_ptr(link.peer)] {
            if (const auto peer = alive.lock()) welcome(peer.get());
        });
        return;
    }
    if (link.up && type == "drop") {
        const auto id = message.contains("c") ? RelayControl::connectionID(message["c"]) : std::nullopt;
        if (!id) return closeLink(peer, RelayLinkClose::badMessage, "malformed drop");
        Room& room = rooms_[link.room];
        if (const auto device = room.devices.find(*id); device != room.devices.end()) {
            hooks_.log.warning("host of room " + link.room + " dropped device " + std::to_string(*id));
            closeDevice(device->second, RelayDeviceClose::refused, false);
        }
        return;
    }
    closeLink(peer, RelayLinkClose::badMessage, link.up ? "unexpected message" : "no prove");
}

void RelayHub::welcome(RelayPeer* peer) {
    const auto found = links_.find(peer);
    if (found == links_.end() || !found->second.proved || found->second.up) return;
    Link& link = found->second;
    Room& room = rooms_[link.room];
    const bool replacing = room.link && room.link != peer;
    if (replacing) closeLink(room.link, RelayLinkClose::replaced, "replaced by a newer link");
    setLink(link.room, room, peer, !replacing);
    link.up = true;
    json devices = json::array();
    for (const auto& [id, device] : room.devices) devices.push_back(id);
    hooks_.log.info("link up for room " + link.room + " with " + std::to_string(room.devices.size()) + " devices");
    link.peer->sendText(json{{"t", "welcome"}, {"room", link.room}, {"devices", devices}}.dump());
    welcomeWaiting(room, peer);
}

void RelayHub::hostBinary(RelayPeer* peer, std::span<const std::uint8_t> frame) {
    hostBinary(peer, Bytes(frame.begin(), frame.end()));
}

void RelayHub::hostBinary(RelayPeer* peer, Bytes frame) {
    const auto found = links_.find(peer);
    if (found == links_.end()) return;
    const auto parsed = RelayFrame::split(frame);
    if (!found->second.up || !parsed) return closeLink(peer, RelayLinkClose::badMessage, "malformed frame");
    Room& room = rooms_[found->second.room];
    // A device that left a moment ago may still be named; its records go
    // nowhere.
    const auto device = room.devices.find(parsed->id);
    if (device == room.devices.end()) return;
    if (hooks_.carried) hooks_.carried(parsed->record);
    const auto from = frame.size() - parsed->record.size();
    device->second->sendRecord(std::move(frame), from);
}

void RelayHub::deviceOpened(const std::shared_ptr<RelayPeer>& peer, const std::string& roomID,
                            const std::string& userId, const std::string& session, const std::string& holder) {
    Room& room = rooms_[roomID];
    const auto refuse = [&](RelayCloseWord close, const std::string& why) {
        hooks_.log.warning("refused a device in room " + roomID + ": " + why);
        peer->close(close.code, std::string(close.word));
        dropRoomIfEmpty(roomID);
    };
    // A link on its way here is worth a few seconds: one proving, one that
    // another instance is letting go of, one awaited already, or any in
    // the first seconds after this instance started.
    const bool elsewhere = !holder.empty() && holder != instance_;
    const bool expected = hooks_.monotonicMillis() < expectingUntil_;
    const bool wait = !room.link && (room.links > 0 || elsewhere || !room.devices.empty() || expected);
    if (!room.link && !wait) return refuse(RelayDeviceClose::macOffline, "the computer is offline");
    if (static_cast<int>(room.devices.size()) >= RelayLimits::maxDevicesPerRoom)
        return refuse(RelayDeviceClose::tooMany, "the room is full");
    if (perAccount_[userId] >= limits_.connectionsPerAccount)
        return refuse(RelayDeviceClose::tooMany, "too many connections for the account");
    if (perSession_[session] >= limits_.connectionsPerDevice)
        return refuse(RelayDeviceClose::tooMany, "too many connections for the device");
    // Ids go up and wrap, never 0 and never one in use.
    while (room.nextID == 0 || room.devices.contains(room.nextID)) ++room.nextID;
    const auto id = room.nextID++;
    Device device;
    device.peer = peer;
    device.room = roomID;
    device.id = id;
    device.userId = userId;
    device.session = session;
    device.lastMillis = hooks_.monotonicMillis();
    device.allowance = static_cast<double>(limits_.bytesPerSecond);
    const auto now = device.lastMillis;
    if (wait) device.waitUntil = now + RelayLimits::linkWaitSeconds * 1000;
    devices_.emplace(peer.get(), std::move(device));
    room.devices.emplace(id, peer.get());
    ++perAccount_[userId];
    ++perSession_[session];
    if (wait) {
        waits_.emplace_back(now + RelayLimits::linkWaitSeconds * 1000, peer.get());
        hooks_.log.info("device " + std::to_string(id) + " waits in room " + roomID + " for its computer's link" +
                        (elsewhere ? ", held by " + holder : ""));
        if (elsewhere) askToLetGo(roomID, room, holder, now);
        return;
    }
    hooks_.log.info("device " + std::to_string(id) + " joined room " + roomID);
    links_.at(room.link).peer->sendText(R"({"t":"joined","c":)" + std::to_string(id) + "}");
}

void RelayHub::askToLetGo(const std::string& roomID, Room& room, const std::string& holder, std::int64_t now) {
    // Once a wait long: the holder that heard and let go has nothing more
    // to do, and one that did not hear is asked again.
    if (!hooks_.askToLetGo || (room.askedOf == holder && now - room.askedAt < RelayLimits::linkWaitSeconds * 1000))
        return;
    room.askedOf = holder;
    room.askedAt = now;
    hooks_.askToLetGo(roomID, holder);
}

void RelayHub::holderIs(const std::string& roomID, const std::string& holder) {
    const auto found = rooms_.find(roomID);
    if (found == rooms_.end() || found->second.link || found->second.links > 0 || holder.empty() || holder == instance_)
        return;
    askToLetGo(roomID, found->second, holder, hooks_.monotonicMillis());
}

void RelayHub::deviceMessage(RelayPeer* peer, bool text, std::span<const std::uint8_t> data) {
    const auto found = devices_.find(peer);
    if (found == devices_.end()) return;
    Device& device = found->second;
    if (text || data.size() > RelayLimits::maxDeviceRecordBytes) {
        hooks_.log.warning("closed device " + std::to_string(device.id) + " in room " + device.room + ": " +
            (text ? "a text message" : "a record over the limit"));
        return closeDevice(peer, RelayDeviceClose::tooLarge, true);
    }
    // An empty record would reach the host as a frame too short to carry
    // one, which ends its link: it carries nothing, so it goes nowhere.
    if (data.empty()) return;
    const auto now = hooks_.monotonicMillis();
    const auto rate = static_cast<double>(limits_.bytesPerSecond);
    // Two seconds' worth may come at once.
    device.allowance = std::min(2 * rate, device.allowance + rate * static_cast<double>(now - device.lastMillis) / 1000.0);
    device.lastMillis = now;
    device.allowance -= static_cast<double>(data.size());
    // A record that overdrew the allowance is carried all the same (it is
    // read, and the host's stream needs it whole); the device is then read
    // no more until the allowance is back to nothing owed. A phone
    // uploading at its network's speed keeps its session and its file.
    if (device.allowance < 0)
        device.peer->holdReads(static_cast<std::int64_t>(std::ceil(-device.allowance * 1000.0 / rate)));
    if (hooks_.carried) hooks_.carried(data);
    const Room& room = rooms_.at(device.room);
    if (!room.link) {
        // Waiting: the link that comes gets it after its welcome.
        device.heldBytes += data.size();
        if (device.heldBytes > RelayLimits::maxHeldBytes) {
            hooks_.log.warning("closed device " + std::to_string(device.id) + " in room " + device.room +
                               ": more than is held while it waits for its computer's link");
            return closeDevice(peer, RelayDeviceClose::rate, false);
        }
        device.held.emplace_back(data.begin(), data.end());
        return;
    }
    links_.at(room.link).peer->sendBinary(RelayFrame::make(device.id, data));
}

void RelayHub::ended(RelayPeer* peer, const std::string& why) {
    if (links_.contains(peer)) {
        const auto room = links_.at(peer).room;
        const bool wasUp = rooms_[room].link == peer;
        links_.erase(peer);
        --rooms_[room].links;
        if (wasUp) {
            setLink(room, rooms_[room], nullptr);
            hooks_.log.info("link down for room " + room + ": " + why);
            std::vector<RelayPeer*> devices;
            for (const auto& [id, device] : rooms_[room].devices) devices.push_back(device);
            for (auto* device : devices) closeDevice(device, RelayDeviceClose::macOffline, false);
        } else {
            hooks_.log.info("link for room " + room + " ended before it proved: " + why);
        }
        dropRoomIfEmpty(room);
        return;
    }
    const auto found = devices_.find(peer);
    if (found == devices_.end()) return;
    const auto room = found->second.room;
    const auto id = found->second.id;
    hooks_.log.info("device " + std::to_string(id) + " left room " + room);
    forget(found->second);
    devices_.erase(found);
    if (auto* link = rooms_[room].link) links_.at(link).peer->sendText(R"({"t":"left","c":)" + std::to_string(id) + "}");
    dropRoomIfEmpty(room);
}

void RelayHub::removed(const std::string& room) {
    closeRoom(room, RelayLinkClose::notOnAccount, "removed from its account", RelayDeviceClose::unknownHost);
}

void RelayHub::letGo(const std::string& room) {
    // Devices that waited for a link proving here dial again too: the
    // proxy now sends them where the link goes.
    closeRoom(room, RelayLinkClose::moved, "another instance serves the room now", RelayDeviceClose::goingAway);
}

void RelayHub::letGoAll() {
    std::vector<std::string> rooms;
    for (const auto& [room, state] : rooms_) rooms.push_back(room);
    if (!rooms.empty()) hooks_.log.info("letting go of " + std::to_string(rooms.size()) + " rooms");
    for (const auto& room : rooms) letGo(room);
}

void RelayHub::closeRoom(const std::string& room, RelayCloseWord linkClose, const std::string& why,
                         RelayCloseWord deviceClose) {
    std::vector<RelayPeer*> links;
    for (const auto& [peer, link] : links_)
        if (link.room == room) links.push_back(peer);
    for (auto* peer : links) closeLink(peer, linkClose, why);
    const auto found = rooms_.find(room);
    if (found == rooms_.end()) return;
    std::vector<RelayPeer*> devices;
    for (const auto& [id, device] : found->second.devices) devices.push_back(device);
    for (auto* device : devices) closeDevice(device, deviceClose, false);
    dropRoomIfEmpty(room);
}

void RelayHub::signedOut(const std::string& session) {
    if (!perSession_.contains(session)) return;
    std::vector<RelayPeer*> peers;
    for (const auto& [peer, device] : devices_)
        if (device.session == session) peers.push_back(peer);
    hooks_.log.info("closed " + std::to_string(peers.size()) + " device connections of a sign-in that signed out");
    for (auto* peer : peers) closeDevice(peer, RelayDeviceClose::ticketRefused, true);
}

std::vector<std::string> RelayHub::rooms() const {
    std::vector<std::string> out;
    for (const auto& [room, state] : rooms_) out.push_back(room);
    return out;
}

void RelayHub::delisted(const std::string& room) {
    // Its devices first: closed with the link they would hear their
    // computer is offline, and wait for it.
    if (const auto found = rooms_.find(room); found != rooms_.end()) {
        std::vector<RelayPeer*> devices;
        for (const auto& [id, device] : found->second.devices) devices.push_back(device);
        for (auto* device : devices) closeDevice(device, RelayDeviceClose::ticketRefused, false);
    }
    closeRoom(room, RelayLinkClose::refused, "its account is off the accounts list", RelayDeviceClose::ticketRefused);
}

std::vector<std::string> RelayHub::sessions() const {
    std::vector<std::string> out;
    for (const auto& [session, count] : perSession_) out.push_back(session);
    return out;
}

void RelayHub::shutDown() {
    // Devices first: they hear the relay is going, not that their
    // computer went offline.
    std::vector<RelayPeer*> peers;
    for (const auto& [peer, device] : devices_) peers.push_back(peer);
    for (auto* peer : peers) closeDevice(peer, RelayDeviceClose::goingAway, false);
    peers.clear();
    for (const auto& [peer, link] : links_) peers.push_back(peer);
    for (auto* peer : peers) closeLink(peer, RelayLinkClose::goingAway, "the relay is stopping");
}

void RelayHub::tick() {
    const auto now = hooks_.monotonicMillis();
    std::vector<RelayPeer*> late;
    for (const auto& [peer, link] : links_)
        if (!link.up && now - link.openedAt >= RelayLimits::proveSeconds * 1000) late.push_back(peer);
    // Going away, not refused: a host that was merely slow tries again.
    for (auto* peer : late) closeLink(peer, RelayLinkClose::goingAway, "no prove in time");
    while (!waits_.empty() && waits_.front().first <= now) {
        auto* peer = waits_.front().second;
        waits_.pop_front();
        const auto found = devices_.find(peer);
        // Joined, gone, or another device in its place that waits longer.
        if (found == devices_.end() || found->second.waitUntil == 0 || found->second.waitUntil > now) continue;
        hooks_.log.warning("closed device " + std::to_string(found->second.id) + " in room " + found->second.room +
                           ": its computer's link did not come in time");
        closeDevice(peer, RelayDeviceClose::macOffline, false);
    }

    if (hooks_.askHolders) {
        std::vector<std::string> waiting;
        for (const auto& [room, state] : rooms_)
            if (!state.link && state.links == 0 && !state.devices.empty()) waiting.push_back(room);
        if (!waiting.empty()) hooks_.askHolders(std::move(waiting));
    }

    if (!hooks_.checkRegistrations || now - lastRegistrationCheck_ < RelayLimits::registrationCheckSeconds * 1000)
        return;
    lastRegistrationCheck_ = now;
    std::vector<std::string> held;
    for (const auto& [room, state] : rooms_)
        if (state.links > 0) held.push_back(room);
    if (!held.empty()) hooks_.checkRegistrations(std::move(held));
}

void RelayHub::closeLink(RelayPeer* peer, RelayCloseWord close, const std::string& why) {
    const auto found = links_.find(peer);
    if (found == links_.end()) return;
    auto link = std::move(found->second);
    links_.erase(found);
    Room& room = rooms_[link.room];
    --room.links;
    if (room.link == peer) {
        // A replaced link's room stays online: the newer link takes it at once.
        setLink(link.room, room, nullptr, close.code != RelayLinkClose::replaced.code,
                close.code == RelayLinkClose::moved.code);
        hooks_.log.info("link down for room " + link.room + ": " + why);
        // A link replaced by a newer one hands its devices on; one that
        // moved sends them after it; any other end leaves them without
        // their computer.
        if (close.code != RelayLinkClose::replaced.code) {
            const auto gone = close.code == RelayLinkClose::notOnAccount.code ? RelayDeviceClose::unknownHost
                              : close.code == RelayLinkClose::moved.code      ? RelayDeviceClose::goingAway
                                                                              : RelayDeviceClose::macOffline;
            std::vector<RelayPeer*> devices;
            for (const auto& [id, device] : room.devices) devices.push_back(device);
            for (auto* device : devices) closeDevice(device, gone, false);
        }
    } else if (close.code == RelayLinkClose::moved.code) {
        hooks_.log.info("link for room " + link.room + " ended before it proved: " + why);
    } else {
        hooks_.log.warning("refused link for room " + link.room + ": " + why);
    }
    link.peer->close(close.code, std::string(close.word));
    dropRoomIfEmpty(link.room);
}

void RelayHub::closeDevice(RelayPeer* peer, RelayCloseWord close, bool tellHost) {
    const auto found = devices_.find(peer);
    if (found == devices_.end()) return;
    auto device = std::move(found->second);
    devices_.erase(found);
    forget(device);
    if (tellHost)
        if (auto* link = rooms_[device.room].link)
            links_.at(link).peer->sendText(R"({"t":"left","c":)" + std::to_string(device.id) + "}");
    device.peer->close(close.code, std::string(close.word));
    dropRoomIfEmpty(device.room);
}

void RelayHub::setLink(const std::string& roomID, Room& room, RelayPeer* link, bool tell, bool moving) {
    const bool was = room.link != nullptr;
    room.link = link;
    if (tell && was != (link != nullptr) && hooks_.onlineChanged)
        hooks_.onlineChanged(roomID, link != nullptr, moving && !link);
}

void RelayHub::welcomeWaiting(Room& room, RelayPeer* link) {
    const auto now = hooks_.monotonicMillis();
    auto& peer = *links_.at(link).peer;
    for (const auto& [id, devicePeer] : room.devices) {
        auto& device = devices_.at(devicePeer);
        if (device.waitUntil == 0) continue;
        const auto waited = now - (device.waitUntil - RelayLimits::linkWaitSeconds * 1000);
        hooks_.log.info("device " + std::to_string(id) + " joined room " + device.room + " after waiting " +
                        std::to_string(waited) + " ms for its computer's link");
        device.waitUntil = 0;
        for (const auto& record : device.held) peer.sendBinary(RelayFrame::make(id, record));
        device.held.clear();
        device.heldBytes = 0;
    }
}

void RelayHub::forget(Device& device) {
    rooms_[device.room].devices.erase(device.id);
    if (--perAccount_[device.userId] <= 0) perAccount_.erase(device.userId);
    if (--perSession_[device.session] <= 0) perSession_.erase(device.session);
}

void RelayHub::dropRoomIfEmpty(const std::string& room) {
    const auto found = rooms_.find(room);
    if (found == rooms_.end() || found->second.links > 0 || !found->second.devices.empty()) return;
    rooms_.erase(found);
}

}  // namespace morvane::relay_service
