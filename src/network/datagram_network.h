#pragma once
// The datagram service that carries the chat between copies of the program.
//
// What the messaging layer relies on: three kinds of address (this computer, every
// computer of this computer's own group, and a name that is either one computer or a
// whole workgroup), delivery of whole datagrams, a receiving name per computer owned by
// one process, and a count of waiting datagrams with the size of the next one.
//
// Two implementations: UdpNetwork (the real one, IPv4 UDP, see udp_network.h and
// docs/protocol.md) and InMemoryNetwork (several computers inside one process, for tests).

#include "platform/system_error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

namespace kalvento::network {

// What this service knows of a computer it would send to by name.
enum class Reach {
    Unknown,   // never heard from: a send to it goes to every interface and static peer
    Heard,     // heard from an address, which anyone may have written on a datagram
    Confirmed, // its address answered a question only a receiver there could have seen
};

// Largest datagram any implementation carries: what fits in one UDP datagram (65,507
// bytes of IPv4 payload) with room to spare for the service's own frame header.
inline constexpr quint32 kMaxDatagramSize = 65000;

enum class AddressKind {
    LocalComputer, // this computer only
    PrimaryGroup,  // every computer of this computer's own group
    Named,         // one computer by name, or every computer of a named group
};

// One receiving name open on this computer. Datagrams addressed to it wait here, in the
// order of arrival, until read. Safe to use from one thread; arrivals may come from a
// thread of the implementation's own.
class DatagramReceiver {
public:
    virtual ~DatagramReceiver() = default;

    virtual QString name() const = 0;
    // Number of datagrams waiting.
    virtual quint32 pendingCount() const = 0;
    // Size in bytes of the next waiting datagram; 0 when none waits (or it is empty).
    virtual quint32 nextSize() const = 0;
    // Takes the next datagram into buffer and returns its size. Throws SystemError:
    // EAGAIN when nothing waits, EMSGSIZE (datagram kept) when capacity is too small.
    virtual quint32 read(char* buffer, quint32 capacity) = 0;
    // Where the datagram last read came from: its sender's address ("198.51.100.12") on a
    // network with addresses, the sending computer's name otherwise; empty when unknown.
    // What a budget of answers per sender is kept by.
    virtual QString lastSource() const { return {}; }
    // The frame's sender computer and target of the datagram last read, their bytes as they
    // went on the wire (a name cut to its wire length, in its sender's letter case): what a
    // signature of the chat binds its payload to. Empty where unknown.
    virtual QByteArray lastSenderComputer() const { return {}; }
    virtual QByteArray lastTarget() const { return {}; }
    // The datagram last read was found to come from the computer its frame names (the chat
    // checked it under that computer's key, and it was newer than any before): where it came
    // from (address and the frame's sender port) becomes that computer's address,
    // confirmed. Nothing for a datagram of this computer's own, or where a network knows
    // its computers without being told.
    virtual void vouchForLast() {}

    // Asks to be told of arrivals: notify is called after each datagram is queued, on
    // whatever thread queued it (the implementation's own, or the sender's), so it must be
    // quick and thread-safe; an empty function stops the calls. Returns false, changing
    // nothing, when this receiver cannot tell: it must then be polled.
    // By value: the receivers that can tell keep the function.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    virtual bool setArrivalNotifier(std::function<void()> /*notify*/) { return false; }
};

class DatagramNetwork {
public:
    virtual ~DatagramNetwork() = default;

    // This computer's name (at most 15 characters) and its group (workgroup) name.
    virtual QString computerName() const = 0;
    virtual QString groupName() const = 0;

    // Opens a receiving name. Throws SystemError with the system's text when another
    // process (or another receiver of this process) already owns this computer's
    // datagram endpoint, e.g. "Address already in use".
    virtual std::unique_ptr<DatagramReceiver> openReceiver(const QString& mailslotName) = 0;

    // Sends one datagram to the receiving name mailslotName at the given address.
    // receiverName is used with AddressKind::Named only. Throws SystemError on failure,
    // including a datagram longer than maxDatagramSize().
    virtual void send(AddressKind kind, const QString& receiverName, const QString& mailslotName,
                      QByteArrayView datagram) = 0;

    // The walk: the group names of the running copies that answer within wait,
    // this computer's own included when its receiver is open. Unsorted, may repeat. A stop
    // request ends the wait at once; the names heard until then are returned.
    virtual QStringList queryGroups(std::chrono::milliseconds wait, std::stop_token stop = {}) = 0;

    // Whether queryGroups may run on a thread of its own while the owner's thread goes on
    // sending and receiving, so that a walk need not hold up its caller. Where it may not,
    // a walk is expected to end at once.
    virtual bool walksInBackground() const { return false; }

    // Largest datagram send() accepts, in bytes.
    virtual quint32 maxDatagramSize() const { return kMaxDatagramSize; }

    // What a send to computerName would reach: see Reach. This computer's own name is
    // Confirmed.
    virtual Reach reach(const QString& computerName) const = 0;
    // Asks the address computerName was heard from to confirm it: a question that only a
    // copy receiving there can answer, whose answer makes the name Confirmed. Nothing is
    // sent (false) when the name is unknown or confirmed, or a question went to that
    // address a moment ago. Where a network knows its computers without asking, reach()
    // is all there is and this sends nothing.
    virtual bool confirm(const QString& computerName) = 0;
    // A guarded computer's address is taken only from a receiver's vouchForLast: frames in
    // its name (data, walk queries, walk answers, answers to confirm()) never set or move
    // it, so that a forger cannot point its name elsewhere. Guarding a name drops what was
    // heard of it unless confirmed. The chat guards every computer whose key it holds.
    virtual void setGuarded(const QString& /*computerName*/, bool /*guarded*/) {}

    // The links this computer can greet others over now, one text each (an interface, its
    // address and broadcast), in no particular order. One that appears, or comes back, is
    // a network the others may be greeted on again. A network that cannot tell says none.
    virtual QStringList liveLinks() const { return {}; }

    // How long a walk should wait for answers unless the caller knows better; the real
    // service lets the user change it (KALVENTO_WALK_MS).
    virtual std::chrono::milliseconds defaultWalkWait() const {
        return std::chrono::milliseconds(200);
    }
};

// A name as frames carry it: UTF-8, cut to 63 bytes at a character boundary. What the chat
// binds into a signature as the sender computer and the target.
QByteArray wireName(QStringView name);
// Case-insensitive comparison of two wire names (each UTF-8, or Windows-1252 from an older
// copy).
bool sameWireName(QByteArrayView a, QByteArrayView b);

// The process-wide network the program uses: a UdpNetwork configured from the
// environment (see udp_network.h), or as configureSystemNetwork said before. Created on
// first use.
DatagramNetwork& systemNetwork();

} // namespace kalvento::network
