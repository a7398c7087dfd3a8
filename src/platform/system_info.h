#pragma once
// What the about box says about the computer: the system it runs and its memory.

#include <QString>

namespace kalvento::platform {

// "Debian GNU/Linux 12 (bookworm) (Linux 6.1.0-18-amd64, x86_64)": the PRETTY_NAME of an
// os-release text and the kernel release and machine. Whatever part is missing is left out;
// empty when all are.
QString systemLine(const QString& osRelease, const QString& kernelRelease, const QString& machine);

// The line for this computer, from /etc/os-release (else /usr/lib/os-release) and uname.
QString systemLine();

// Total physical memory in KB (sysinfo); 0 when it cannot be read.
qint64 totalMemoryKilobytes();

} // namespace kalvento::platform
