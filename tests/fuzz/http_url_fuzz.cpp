// The HTTP client's URL parser, with any address and any current path (split at the first
// zero byte): the host it gives is found in the address, and the same address parses the
// same way twice.

#include "fuzz_support.h"

#include "http/http_url.h"

using namespace kalvento;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzz::bytes(data, size).toByteArray();
    const qsizetype zero = input.indexOf('\0');
    const QString url = QString::fromUtf8(zero < 0 ? input : input.left(zero));
    const QString current = zero < 0 ? QString() : QString::fromUtf8(input.mid(zero + 1));
    const http::TUrlParts parts = http::ParseURL(url, current);
    KALVENTO_FUZZ_CHECK(url.contains(parts.Host, Qt::CaseInsensitive) || parts.Host.isEmpty());
    (void)http::PathDirectory(parts.Path);
    // The same address parses the same way twice.
    KALVENTO_FUZZ_CHECK(http::ParseURL(url, current) == parts);
    return 0;
}
