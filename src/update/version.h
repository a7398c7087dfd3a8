#pragma once
// The program's own version and the rule that tells whether an offered one is newer.

#include <QString>

namespace kalvento::update {

// major.minor.release.build, compiled in from the build's project version ("1.2.0.1").
QString GetVersion();

// True when offered is newer than current, judged by major, minor and release (a fourth
// number is ignored). Each number is read up to its dot and then as many characters as its
// plain decimal form has, plus the dot, are taken off the front; the offered release may
// also end the text. A number that cannot be read makes the answer "not newer".
bool CompareVersions(const QString& current, const QString& offered);

} // namespace kalvento::update
