#pragma once
// Every key of Options.ini, declared once: its section and name, the member that holds it
// in memory (whose initialiser is its default), how its text is read and written, and the
// batches that write it. Reading the file and every batch of writes walk these tables, so
// a key is added, renamed or moved between batches in one place.

#include "settings/settings_store.h"

#include <QDate>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <limits>
#include <optional>
#include <span>
#include <variant>

namespace kalvento::settings::keys {

// The moments at which the program writes the file; a key lists those that write it.
enum Batch : unsigned {
    FirstRun = 1u << 0,     // the welcome wizard's choices
    Options = 1u << 1,      // the options window confirmed
    Close = 1u << 2,        // the end of the run
    FriendsEdit = 1u << 3,  // a friend added or removed
    TrayItem = 1u << 4,     // the tray menu's "Hide to tray"
    LastChecked = 1u << 5,  // the daily update check began
    ErrorCount = 1u << 6,   // the daily update check ended
    StatusChoice = 1u << 7, // the user chose a status or its text
};
using Batches = unsigned;

// What an integer outside its range reads as.
enum class OutOfRange {
    Clamp,   // the nearest end: a hand-edited count must not flood the network
    Default, // the default: a value out of range is no value at all
};

inline constexpr int IntMin = std::numeric_limits<int>::min();
inline constexpr int IntMax = std::numeric_limits<int>::max();

// Decimal (or "$"/"0x" hexadecimal) integers.
template <class Owner> struct Integer {
    int Owner::*member;
    int min = IntMin;
    int max = IntMax;
    OutOfRange rule = OutOfRange::Clamp;
    // Set when the key is missing or unreadable (the first-run mark).
    bool Owner::*missing = nullptr;
};

// "1" and "0"; any readable integer, non-zero being true.
template <class Owner> struct Boolean { bool Owner::*member; };

// A colour's name from the colour table, or "$" and eight hexadecimal digits.
template <class Owner> struct Color { quint32 Owner::*member; };

// What an empty text reads as.
enum class Blank {
    Kept,      // the empty text
    Default,   // the default when the text is blank (a font needs a name)
    Directory, // the default when empty, else the text with a trailing "/"
};

template <class Owner> struct Text {
    QString Owner::*member;
    Blank blank = Blank::Kept;
};

// Items in one value, separated by commas, each trimmed, empty ones left out.
template <class Owner> struct List { QStringList Owner::*member; };

// yyyy-MM-dd; the locale's short format is read too.
template <class Owner> struct Date { QDate Owner::*member; };

// One coordinate of a place that is known only when both are there and on a desktop.
template <class Owner> struct Coordinate {
    std::optional<QPoint> Owner::*member;
    int axis; // 0: x, 1: y
};

// A whole section of names: read from every key whatever its name, written as "Friend1"...
template <class Owner> struct NameSection { QStringList Owner::*member; };

// The kinds of value each owner holds.
template <class Owner> struct ValueOf;
template <> struct ValueOf<Settings> {
    using type = std::variant<Integer<Settings>, Boolean<Settings>, Color<Settings>, Text<Settings>,
                              List<Settings>, Coordinate<Settings>, NameSection<Settings>>;
};
template <> struct ValueOf<UpdateState> {
    using type = std::variant<Integer<UpdateState>, Date<UpdateState>>;
};
template <class Owner> using Value = typename ValueOf<Owner>::type;

// When a batch that lists a key writes it.
enum class When {
    Always,
    NormalWindow, // the window is not maximized: a maximized window keeps the earlier size
    KnownPlace,   // not maximized and its place known (a Wayland compositor tells none)
};

template <class Owner> struct Key {
    const char* section;
    const char* name; // null for a NameSection
    Value<Owner> value;
    Batches batches = 0;
    // The batches that write this key before their other keys; the others follow in table
    // order. It decides the order of the sections in a file a batch creates.
    Batches leading = 0;
    When when = When::Always;
};

// Every key held in Settings, in the order the options window's batch writes them.
std::span<const Key<Settings>> settingsKeys();
// The daily update check's bookkeeping.
std::span<const Key<UpdateState>> updateKeys();

} // namespace kalvento::settings::keys
