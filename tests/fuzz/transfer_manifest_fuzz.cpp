// A manifest and a want list as any bytes: the first two bytes give the manifest's length,
// the rest is the want list read against it. Nothing is read past the bytes or allocated
// beyond what they can hold; a manifest taken is written back byte for byte, names only
// paths a receiver may use, and a want list taken stays within the manifest's chunks.

#include "fuzz_support.h"

#include "transfer/transfer_wire.h"

#include <QtEndian>

using namespace kalvento;
using namespace kalvento::transfer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input = fuzz::bytes(data, size);
    if (input.size() < 2)
        return 0;
    const qsizetype length =
        std::min<qsizetype>(qFromBigEndian<quint16>(input.data()), input.size() - 2);
    const QByteArrayView manifestBytes = input.sliced(2, length);
    const QByteArrayView wantBytes = input.sliced(2 + length);

    QString error;
    const auto header = decodeManifestHeader(manifestBytes, &error);
    KALVENTO_FUZZ_CHECK(header.has_value() == error.isEmpty());
    if (header)
        KALVENTO_FUZZ_CHECK(header->files <= kMaxFiles);
    error.clear();
    const auto manifest = decodeManifest(manifestBytes, &error);
    KALVENTO_FUZZ_CHECK(manifest.has_value() == error.isEmpty());
    if (!manifest)
        return 0;
    KALVENTO_FUZZ_CHECK(header && header->files == manifest->files.size());
    KALVENTO_FUZZ_CHECK(header->totalBytes == manifest->totalBytes());
    for (const FileEntry& file : manifest->files) {
        KALVENTO_FUZZ_CHECK(checkRelativePath(file.path).isEmpty());
        KALVENTO_FUZZ_CHECK(file.chunks.size() == chunkCount(file.size));
        KALVENTO_FUZZ_CHECK(fileHash(file.size, file.chunks) == file.hash);
    }
    const QByteArray again = encodeManifest(*manifest);
    KALVENTO_FUZZ_CHECK(again == manifestBytes);
    KALVENTO_FUZZ_CHECK(decodeManifest(again, nullptr).has_value());

    error.clear();
    const auto wanted = decodeWantList(wantBytes, *manifest, &error);
    KALVENTO_FUZZ_CHECK(wanted.has_value() == error.isEmpty());
    if (!wanted)
        return 0;
    KALVENTO_FUZZ_CHECK(wanted->size() == manifest->files.size());
    for (std::size_t i = 0; i < wanted->size(); ++i)
        KALVENTO_FUZZ_CHECK((*wanted)[i] <= chunkCount(manifest->files[i].size));
    KALVENTO_FUZZ_CHECK(encodeWantList(*wanted) == wantBytes);
    return 0;
}
