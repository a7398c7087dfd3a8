#include "update/version.h"

#include <optional>

namespace kalvento::update {

QString GetVersion() {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(KALVENTO_VERSION_MAJOR)
        .arg(KALVENTO_VERSION_MINOR)
        .arg(KALVENTO_VERSION_PATCH + 0)
        .arg(KALVENTO_VERSION_TWEAK + 0);
}

namespace {

// The number before the first dot of text (or all of text, when mayEndText and there is no
// dot); text then loses the number's plain form and one more character.
std::optional<int> takeNumber(QString& text, bool mayEndText) {
    const qsizetype dot = text.indexOf(QLatin1Char('.'));
    if (dot < 0 && !mayEndText)
        return std::nullopt;
    bool ok = false;
    const int value = (dot < 0 ? text : text.left(dot)).trimmed().toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    text.remove(0, QString::number(value).size() + 1);
    return value;
}

struct Triple {
    int major, minor, release;
};

std::optional<Triple> readVersion(QString text, bool releaseMayEndText) {
    const auto major = takeNumber(text, false);
    if (!major)
        return std::nullopt;
    const auto minor = takeNumber(text, false);
    if (!minor)
        return std::nullopt;
    const auto release = takeNumber(text, releaseMayEndText);
    if (!release)
        return std::nullopt;
    return Triple{*major, *minor, *release};
}

} // namespace

bool CompareVersions(const QString& current, const QString& offered) {
    const auto c = readVersion(current, false);
    const auto o = readVersion(offered, true);
    if (!c || !o)
        return false;
    if (o->major != c->major)
        return o->major > c->major;
    if (o->minor != c->minor)
        return o->minor > c->minor;
    return o->release > c->release;
}

} // namespace kalvento::update
