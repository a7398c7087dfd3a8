#pragma once
// The manifest of what the user chose to send: each file as itself, each folder as every
// regular file below it (relative paths start with the folder's own name). Symbolic links
// are never followed: a link, a device, a socket or a pipe is left out and named in
// skipped. Hashing reads every file once; it runs off the GUI thread and can be stopped.

#include "transfer/transfer_wire.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stop_token>

namespace kalvento::transfer {

struct LocalManifest {
    Manifest manifest;
    QStringList localPaths; // the file each entry is read from, in the manifest's order
    QStringList skipped;    // "path: why" for what was left out
};

// What localPaths hold, without hashing (sizes and times only; hashes empty): what an offer
// says before the hashing ends. nullopt and error when a path cannot be read, the result
// would break a limit of transfer_wire.h, or two chosen items have the same name.
std::optional<LocalManifest> listFiles(const QStringList& localPaths, QString* error);

// Fills in the hashes of listed, reading each file; progress is called with the bytes read
// so far. nullopt and error when a file cannot be read or changed size meanwhile, or stop
// was requested.
std::optional<LocalManifest> hashFiles(LocalManifest listed, const std::stop_token& stop,
                                       const std::function<void(quint64)>& progress,
                                       QString* error);

} // namespace kalvento::transfer
