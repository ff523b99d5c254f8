// The service's fixed limits: what the host's wire allows, and what keeps
// one account, device or address from using more than its share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/relay_control.h"
#include "relay_service/code_mailer.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service::RelayLimits {

// Sign-in codes.
// The e-mail tells the reader how long the code lives.
inline constexpr std::int64_t codeLifetimeSeconds = signInCodeLifetimeMinutes * 60;
inline constexpr int codeTries = 5;
// Codes asked for one address, and from one client address, in a window.
inline constexpr int codesPerAddress = 3;
inline constexpr int codesPerClient = 10;
inline constexpr std::int64_t codeWindowSeconds = 600;
// Codes one address may be asked for in a window from each network it
// signed in from (its owner's own: more than a person asks at home), and
// those networks, remembered for each.
inline constexpr int codesPerAddressAtHome = 12;
inline constexpr std::size_t homesPerAddress = 4;
// Codes mailed to one address in a window, in all, and of them for codes
// asked from networks it never signed in from. A code asked past them is
// the newest code mailed to the address, while it lives, mailed to no one
// again: strangers cannot flood a person's mailbox, nor spend the codes of
// the person away from home.
inline constexpr int mailsPerAddress = 10;
inline constexpr int mailsPerAddressElsewhere = 6;
// Guesses compared in a day at one address's codes from each network it
// never signed in from (the network each is tried from, NetworkScale::
// asking): a stranger's network gets no more guesses than a few codes
// allow, and spends none of the owner's, who tries from their own.
inline constexpr int guessesAwayPerDay = 2 * codeTries;
inline constexpr std::int64_t guessWindowSeconds = 24 * 3600;
// Codes mailed to one mailbox in a window, whatever "+tag" its addresses
// carry (mailboxOf): a stranger naming countless tags of one address fills
// no one's mailbox.
inline constexpr int mailsPerMailbox = 10;
// Codes the whole relay mails in an hour, through every instance sharing
// its database: a flood of sign-ins for countless addresses gets the
// operator's sending account no further than this, which a mail provider
// allows; past it code requests are told to try later, and the log says
// why.
inline constexpr int mailsPerHour = 1'000;
inline constexpr std::int64_t mailHourSeconds = 3600;
// Verifications tried from one client address in the same window.
inline constexpr int verifiesPerClient = 20;
// Code requests and verifications from one network in the same window,
// whatever the address (an IPv4 address or IPv6 /64; each wider network by
// NetworkScale, up to the /48); a person's own at a network they signed in
// from are not counted.
inline constexpr int signInAsksPerNetwork = 24;
// A code from a network that asked no more than newcomerAsks sign-in calls
// in the window (each wider network by NetworkScale, up to the /32), and
// the first tries of such a code from the network that asked for it, are a
// newcomer's and go ahead. Strangers'
// other code requests and tries share this much of the store's time (a
// quarter of it, a second's worth saved up at most), each call counted as
// at least the floor; past it they are told to try again in a few seconds.
inline constexpr int newcomerAsks = 12;
// Newcomers' calls waiting for the store at once, at most.
inline constexpr std::size_t newcomersWaiting = 12;
inline constexpr int newcomerTries = 2;
inline constexpr std::int64_t strangerStoreMillisPerSecond = 250;
inline constexpr std::int64_t strangerStoreBurstMillis = 1'000;
inline constexpr std::int64_t strangerCallFloorMillis = 5;
inline constexpr std::int64_t strangerRetrySeconds = 5;
// Other account calls (register, remove, refresh, tickets, lists) from one
// client address a minute.
inline constexpr int callsPerClientMinute = 120;
// Client addresses whose calls are counted at once (in memory, per
// instance); past it, the oldest counts make room for newcomers.
inline constexpr std::size_t maxCountedClients = 50'000;
// Places of the store queue held at once by what anyone may send without
// an account: per client network (an IPv4 address or IPv6 /64; each wider
// network by NetworkScale) and per sign-in code; and among calls with a
// token this relay sealed, per sign-in, and a person's calls from a
// network they signed in from, per address. An honest caller has one or
// two calls on their way at a time.
inline constexpr int placesPerNetwork = 4;
inline constexpr int placesPerCode = 2;
inline constexpr int placesAtHome = 2;
inline constexpr int placesPerSignIn = 8;
// A computer has one link, dialled again now and then: two places a room.
inline constexpr int placesPerRoom = 2;
// Rooms known to be registered, kept in memory: past it, the oldest known
// are asked of the store in the small lane.
inline constexpr std::size_t maxKnownRooms = 100'000;
// Links for rooms not known here wait for one question to the store, at
// most this many at once; the question brings at most this many rooms
// registered lately.
inline constexpr std::size_t maxRoomWaiters = 1'024;
inline constexpr std::size_t maxRoomsLately = 1'000;
// A code the store said is spent, expired or gone is answered so from
// memory, for at most this many codes at once; this long after the store
// said so, the next verify waits for the store to say whether a new code
// was asked meanwhile (through another instance), one question for all
// such codes at a time, with at most this many verifies waiting for it.
inline constexpr std::int64_t codeVerdictMillis = 2'000;
inline constexpr std::size_t maxCodeVerdicts = 10'000;
inline constexpr std::size_t maxVerdictWaiters = 1'024;

// Tokens.
inline constexpr std::int64_t accessSeconds = 3600;
inline constexpr std::int64_t refreshSeconds = 30LL * 24 * 3600;
inline constexpr std::int64_t ticketSeconds = 30;
// A sign-out outlives the access tokens it refuses by this much: instances
// sharing a database may disagree on the time, and a refresh racing the
// sign-out on another one may hand out a last token an instant later.
inline constexpr std::int64_t signOutMarginSeconds = 300;

// Signed requests: how far a computer's clock may be from ours.
inline constexpr std::int64_t proofWindowSeconds = 300;
inline constexpr int hostsPerAccount = 10;

// Requests.
inline constexpr std::size_t maxRequestHeaderBytes = 8'192;
inline constexpr std::size_t maxRequestBodyBytes = 16'384;
// What a connection reads ahead of the request it parses: a header and more.
inline constexpr std::size_t requestBufferBytes = 16'384;
// Requests a client may send before the answer to the one ahead of them is
// written; the last of them is answered and the connection ends.
inline constexpr int maxPipelinedRequests = 8;
inline constexpr std::size_t maxHostNameBytes = 256;

// The host link. The host sends a device a whole fragment of a message in
// one sealed record behind its 4-byte id: a busy screen's picture or a
// keyframe fills it. What the host reads is smaller: its own limit on one
// message.
inline constexpr std::size_t maxHostFrameBytes =
    4 + SecureChannel::fragmentDataMax + SecureChannel::transportOverhead;
inline constexpr std::size_t maxHostMessageBytes = RelayLinkLimits::maxIncomingMessageBytes;
inline constexpr std::size_t maxControlBytes = 4'096;
inline constexpr std::int64_t proveSeconds = 15;
// How often the links held here are checked against the store: instances
// sharing a database hear of a removal made through another one no sooner.
inline constexpr std::int64_t registrationCheckSeconds = 30;
// Instances sharing a database: each refreshes the presence rows of the
// links it holds this often, and a row three beats old is an instance that
// died. A device whose computer's link is held by another instance (or is
// proving here) waits this long for the link to come here, and what it
// sends meanwhile is held, up to one record's worth.
inline constexpr std::int64_t presenceBeatSeconds = 5;
inline constexpr std::int64_t presenceFreshSeconds = 3 * presenceBeatSeconds;
// A write of those rows that the database runs later than this after it
// was sent does nothing: it may be a dead instance's, held in a paused
// database, and the beat after it writes them anyway.
inline constexpr std::int64_t presenceLateMillis = 1'500;
inline constexpr std::int64_t linkWaitSeconds = 5;
// An instance that stops leaves its rows to count this long: its computers
// dial again within a second or two, and a phone that dials one meanwhile
// (a second or two later, or after the page's back-off) still waits for it.
inline constexpr std::int64_t movingSeconds = 2 * linkWaitSeconds;
inline constexpr std::size_t maxHeldBytes = maxHostMessageBytes;
// A device's record travels to the host behind a 4-byte id, so it may be
// four bytes short of the host's limit.
inline constexpr std::size_t maxDeviceRecordBytes = maxHostMessageBytes - 4;
inline constexpr int maxDevicesPerRoom = 64;
// The least a connection's queue may be set to: what an honest host may
// have on its way to a device (the credit window) and one more record.
inline constexpr std::size_t minQueuedBytesPerConnection = 2u << 20;
static_assert(minQueuedBytesPerConnection >= SecureChannel::creditWindow + maxHostFrameBytes);
// How long a close that went out at once, with nothing before it, waits
// for the peer's reply before the socket is reset.
inline constexpr std::int64_t closeReplyMillis = 1'000;
// What the kernel may hold to send on one socket (it doubles the figure
// for its own bookkeeping: 1 MiB, the credit window an honest host may have
// on its way to a device). Left to the kernel, a peer that stops reading
// keeps some 4 MiB there, outside every budget the relay counts.
inline constexpr int sendBufferBytes = 512 << 10;
// The same for a connection that has not upgraded: its answers are the
// page's files and the account's replies, which a phone reads at once. A
// client that asks and never reads holds 64 KiB of the kernel's memory,
// not 1 MiB; a phone on a slow link still has some 60 KB on their way, more
// than its link carries in a round trip.
inline constexpr int answerSendBufferBytes = 32 << 10;
// What the kernel may hold that an upgraded socket has not read (doubled, as
// above): a socket whose reads are held back while what it sent waits keeps
// no more than this there, and a host's stream to its phones needs no more.
inline constexpr int receiveBufferBytes = 512 << 10;
// The same for a device's socket. A phone uploads a file a window of 128 KB
// at a time and sends little else: the window the kernel offers here, some
// 120 KB, is no narrower, and a round trip to the relay is shorter than one
// to the computer and back. Held back, the sixteen devices an account may
// have keep 3 MiB of the kernel's memory at most between them, not 16.
inline constexpr int deviceReceiveBufferBytes = 96 << 10;
// What the kernel may hold of an upgraded socket's writes before it sends
// them. Past it, the rest waits in the relay's queue, where the budget sees
// it and a close can go ahead of it, and the writer is woken as soon as
// half of it has gone rather than once a third of the whole buffer is free
// (seconds apart for a slow phone). A peer that reads keeps nothing unsent.
inline constexpr int unsentBytes = 64 << 10;
// What a socket that is streaming reads from the network at once, so that
// a host's message in many small frames costs a few reads, not one a frame.
inline constexpr std::size_t readAheadBytes = 65'536;
// Hosts' records written to their devices whose room is kept to read the
// next ones into (each the largest frame's).
inline constexpr std::size_t spareRecords = 8;

// The heap is handed back to the system once the connections open have
// fallen to half their most since it last was, and by at least this many.
inline constexpr int heapEbbConnections = 256;

// The listener. Descriptors kept for the store, the mail and refusing at
// accept, beside the connections.
inline constexpr std::uint64_t reservedDescriptors = 64;
// How long accepting pauses when it fails for want of descriptors.
inline constexpr std::int64_t acceptBackOffMillis = 100;
// The kernel's queue of connections not accepted yet, as nginx has it:
// every turn takes in all that wait, so a flood's connects wait on the
// flooder's side rather than in a line no precedence of ours can see.
inline constexpr int listenBacklog = 511;

}  // namespace morvane::relay_service::RelayLimits
