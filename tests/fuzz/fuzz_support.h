#pragma once
// What the fuzz targets share: a Qt application made once, and a check that reports a
// broken property as a crash, which libFuzzer then keeps as a finding.

#include <QByteArray>
#include <QByteArrayView>

#include <cstdio>
#include <cstdlib>

namespace kalvento::fuzz {

inline QByteArrayView bytes(const uint8_t* data, size_t size) {
    return QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size));
}

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

#define KALVENTO_FUZZ_CHECK(condition)                                                             \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::kalvento::fuzz::broken(#condition);                                                  \
    } while (false)

} // namespace kalvento::fuzz
