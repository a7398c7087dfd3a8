#pragma once
// This computer's workgroup: what the user set for the file-sharing service, so that
// the chat groups the same computers that the file browser does.

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace kalvento::network {

inline constexpr char kDefaultSmbConfPath[] = "/etc/samba/smb.conf";
inline constexpr char kDefaultWorkgroup[] = "WORKGROUP";

// KALVENTO_WORKGROUP when set and not empty; else "workgroup" of the [global] section of
// /etc/samba/smb.conf (or smbConfPath); else "WORKGROUP".
QString workgroupName();
QString workgroupName(const QString& smbConfPath);

// The workgroup an smb.conf text sets, if any. Follows the file's own rules: section and
// parameter names ignore case and blanks, ";" and "#" start comment lines, a trailing "\"
// continues a line, parameters before the first section are global, and the last
// setting wins.
std::optional<QString> workgroupFromSmbConf(QByteArrayView contents);

} // namespace kalvento::network
