#include "transfer/transfer_wire.h"

#include <QtEndian>
#include <gtest/gtest.h>

using namespace kalvento::transfer;

namespace {

FileEntry entryFor(const QByteArray& path, const QByteArray& content, qint64 modified = 0) {
    FileEntry entry;
    entry.path = path;
    entry.size = quint64(content.size());
    entry.modified = modified;
    for (quint64 i = 0; i < chunkCount(entry.size); ++i)
        entry.chunks.push_back(chunkHash(
            QByteArrayView(content).sliced(qsizetype(i * kChunkSize), chunkLength(entry.size, i))));
    entry.hash = fileHash(entry.size, entry.chunks);
    return entry;
}

Manifest manifestOf(std::vector<FileEntry> files) {
    Manifest m;
    m.files = std::move(files);
    return m;
}

bool sameManifest(const Manifest& a, const Manifest& b) {
    if (a.files.size() != b.files.size())
        return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        const FileEntry &x = a.files[i], &y = b.files[i];
        if (x.path != y.path || x.size != y.size || x.modified != y.modified || x.hash != y.hash ||
            x.chunks != y.chunks)
            return false;
    }
    return true;
}

// A small manifest whose bytes were worked out apart from this code (BLAKE2b-256 from
// another implementation): "notes/a.txt" holding "hello\n", changed at 1700000000, and an
// empty "empty" changed at -1.
const QByteArray kVectorHex =
    "4b564d31000000020000000000000006000b6e6f7465732f612e7478740000000000000006000000006553f100"
    "2dee4ca3a51366392b9593f5e288492502762e22c2570aa1d083e39dfae461b093becc6e9882211c3ec3708c95"
    "bcd69baab7bb59c7f4bc84ce637b88a534b7830005656d7074790000000000000000ffffffffffffffffd13de9"
    "ba8e15270162ff56ab1778389036a9ed1a9ed65c87cdf2477f7190ecd8";

} // namespace

TEST(TransferWire, AManifestIsWrittenAsTheFixedVectorAndReadBack) {
    const Manifest manifest =
        manifestOf({entryFor("notes/a.txt", "hello\n", 1700000000), entryFor("empty", "", -1)});
    const QByteArray bytes = encodeManifest(manifest);
    EXPECT_EQ(bytes.toHex(), kVectorHex);
    QString error;
    const auto decoded = decodeManifest(QByteArray::fromHex(kVectorHex), &error);
    ASSERT_TRUE(decoded) << error.toStdString();
    EXPECT_TRUE(sameManifest(*decoded, manifest));
    EXPECT_EQ(decoded->totalBytes(), 6u);
}

TEST(TransferWire, ManifestsOfManyChunksAndFilesGoRoundTrip) {
    QByteArray big(int(2 * kChunkSize + 5), 'x');
    big[int(kChunkSize)] = 'y'; // so the chunks differ
    const Manifest manifest = manifestOf(
        {entryFor("dir/big.bin", big, 42), entryFor("dir/sub/one", "1", -5),
         entryFor("dir!", "a file named as a folder's neighbour"), entryFor("Dir sub/x", "x"),
         entryFor("exact", QByteArray(int(kChunkSize), 'z'), 7)});
    ASSERT_EQ(manifest.files[0].chunks.size(), 3u);
    ASSERT_EQ(manifest.files[2].chunks.size(), 1u);
    QString error;
    const auto decoded = decodeManifest(encodeManifest(manifest), &error);
    ASSERT_TRUE(decoded) << error.toStdString();
    EXPECT_TRUE(sameManifest(*decoded, manifest));
}

TEST(TransferWire, ChunksAreCountedAndMeasuredAtTheirEdges) {
    struct Case {
        quint64 size, chunks, lastLength;
    };
    const Case cases[] = {
        {0, 0, 0},
        {1, 1, 1},
        {kChunkSize - 1, 1, kChunkSize - 1},
        {kChunkSize, 1, kChunkSize},
        {kChunkSize + 1, 2, 1},
        {kMaxFileSize, kMaxFileSize / kChunkSize, kChunkSize},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chunkCount(c.size), c.chunks) << c.size;
        if (c.chunks > 0) {
            EXPECT_EQ(chunkLength(c.size, c.chunks - 1), c.lastLength) << c.size;
            EXPECT_EQ(chunkLength(c.size, 0), std::min<quint64>(c.size, kChunkSize)) << c.size;
        }
        EXPECT_EQ(chunkLength(c.size, c.chunks), 0u) << "past the end of " << c.size;
    }
}

TEST(TransferWire, TransferIdsAreWrittenAsLowercaseHexOnly) {
    const TransferId id = newTransferId();
    EXPECT_NE(id, newTransferId());
    const QString text = transferIdText(id);
    EXPECT_EQ(text.size(), 32);
    EXPECT_EQ(transferIdFromText(text), id);
    const QString refused[] = {text.toUpper(), text.left(31), text + u'0',
                               QString(text).replace(0, 1, u'g'), QString()};
    for (const QString& t : refused) {
        if (t == text) // an id of digits only has no case
            continue;
        EXPECT_FALSE(transferIdFromText(t)) << t.toStdString();
    }
}

TEST(TransferWire, RelativePathsAreAcceptedOrRefusedEachForItsReason) {
    struct Case {
        QByteArray path;
        const char* reason; // nullptr: accepted
    };
    const QByteArray longest(kMaxNameBytes, 'n');
    const Case cases[] = {
        {"a", nullptr},
        {"a/b/c.txt", nullptr},
        {"\xc3\xbcn\xc3\xaf"
         "c/\xe6\x96\x87\xe4\xbb\xb6.txt",
         nullptr},
        {"CONSOLE.txt", nullptr},
        {"COM0", nullptr},
        {"a.partial", nullptr},
        {".hidden", nullptr},
        {"x..y", nullptr},
        {"dir/" + longest, nullptr},
        {"", "empty"},
        {"..", "leads out"},
        {"a/../b", "leads out"},
        {"a/..", "leads out"},
        {".", "folder itself"},
        {"a/./b", "folder itself"},
        {"/abs", "starts at the root"},
        {"a//b", "an empty name"},
        {"a/", "an empty name"},
        {"a\\b", "backslash"},
        {"..\\x", "backslash"},
        {"CON", "reserved for a device"},
        {"con.txt", "reserved for a device"},
        {"dir/Lpt9.log", "reserved for a device"},
        {"nul .tar.gz", "reserved for a device"},
        {"x\x01", "control character"},
        {"x\x7f", "control character"},
        {"new\nline", "control character"},
        {"x\xc2\x85", "control character"},
        {"evil\xe2\x80\xaetxt.exe", "text direction"},
        {"a\xe2\x81\xa6", "text direction"},
        {"\xff", "not valid UTF-8"},
        {"\xc0\xaf", "not valid UTF-8"},
        {"\xed\xa0\x80", "not valid UTF-8"},
        {"\xf4\x90\x80\x80", "not valid UTF-8"},
        {"a\xe6\x96", "not valid UTF-8"},
        {longest + "x", "longer than 255"},
        {"a.part", ".part"},
        {"dir/A.PART", ".part"},
        {QByteArray(kMaxPathBytes + 1, 'a'), "longer than 4096"},
    };
    for (const Case& c : cases) {
        const QString why = checkRelativePath(c.path);
        if (!c.reason)
            EXPECT_TRUE(why.isEmpty()) << c.path.toHex().toStdString() << ": " << why.toStdString();
        else
            EXPECT_TRUE(why.contains(QLatin1String(c.reason)))
                << c.path.toHex().toStdString() << ": " << why.toStdString();
    }
}

TEST(TransferWire, ANameShownInAReasonCannotBreakTheLineOrTurnTheText) {
    const QString control = checkRelativePath("bad\x01name\n");
    EXPECT_TRUE(control.contains(QLatin1String("bad\\x01name\\x0a"))) << control.toStdString();
    const QString bidi = checkRelativePath("evil\xe2\x80\xaetxt.exe");
    EXPECT_FALSE(bidi.contains(QChar(0x202e)));
    EXPECT_TRUE(bidi.contains(QLatin1String("evil\\u202etxt.exe"))) << bidi.toStdString();
    EXPECT_EQ(safeName("a\xff\\b"), QStringLiteral("a\\xff\\\\b"));
}

TEST(TransferWire, MalformedManifestsAreRefusedEachForItsReason) {
    const QByteArray good =
        encodeManifest(manifestOf({entryFor("dir/a.txt", "hello"), entryFor("b", "")}));
    const auto withHeader = [](quint32 files, quint64 total) {
        QByteArray bytes("KVM1");
        bytes.resize(16);
        qToBigEndian(files, bytes.data() + 4);
        qToBigEndian(total, bytes.data() + 8);
        return bytes;
    };
    const auto patched = [&](qsizetype at, const QByteArray& with) {
        QByteArray bytes = good;
        bytes.replace(at, with.size(), with);
        return bytes;
    };
    // A file entry of a path and a size, the rest missing: the size is looked at first.
    QByteArray oversized = withHeader(1, 0);
    oversized += QByteArray("\x00\x01z", 3);
    oversized += QByteArray(8, '\0');
    qToBigEndian(kMaxFileSize + 1, oversized.data() + oversized.size() - 8);
    oversized += QByteArray(8 + kHashSize, '\0');

    struct Case {
        const char* what;
        QByteArray bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"another magic", patched(0, "KVMX"), "does not start as one"},
        {"header alone", good.first(10), "cut short"},
        {"a billion files", withHeader(1'000'000'000, 0), "more than 200000"},
        {"the most files, no bytes", withHeader(kMaxFiles, 0), "cut short"},
        {"total past the files", withHeader(1, kMaxFileSize + 1), "more bytes than"},
        {"cut short", good.chopped(1), "cut short"},
        {"cut in a path", good.first(20), "cut short"},
        {"a byte after it", good + "x", "bytes after"},
        {"one file more announced", patched(4, QByteArray("\x00\x00\x00\x03", 4)), "cut short"},
        {"one file less announced", patched(4, QByteArray("\x00\x00\x00\x01", 4)), "bytes after"},
        {"total off by one", patched(15, "\x06"), "do not add up"},
        {"file hash wrong", patched(16 + 2 + 9 + 16, "\xaa\x55"), "does not follow"},
        {"chunk hash wrong", patched(16 + 2 + 9 + 16 + 32, "\xaa\x55"), "does not follow"},
        {"same path in other case",
         encodeManifest(manifestOf({entryFor("Dir/A.txt", "x"), entryFor("dir/a.TXT", "y")})),
         "twice"},
        {"file then folder", encodeManifest(manifestOf({entryFor("a", "x"), entryFor("a/b", "y")})),
         "both a file and a folder"},
        {"a file, its neighbour, then its folder",
         encodeManifest(
             manifestOf({entryFor("a", "x"), entryFor("a b", "y"), entryFor("A/c", "z")})),
         "both a file and a folder"},
        {"folder then file", encodeManifest(manifestOf({entryFor("a/b", "x"), entryFor("A", "y")})),
         "both a file and a folder"},
        {"size over the limit", oversized, "larger than a transfer allows"},
        {"path ..", encodeManifest(manifestOf({entryFor("a/../b", "x")})), "leads out"},
        {"absolute path", encodeManifest(manifestOf({entryFor("/etc/x", "x")})), "root"},
        {"backslash path", encodeManifest(manifestOf({entryFor("a\\b", "x")})), "backslash"},
        {"part file", encodeManifest(manifestOf({entryFor("x.part", "x")})), ".part"},
        {"empty path", encodeManifest(manifestOf({entryFor("", "x")})), "empty"},
        {"too large", withHeader(1, 0) + QByteArray(int(kMaxManifestBytes), '\0'), "larger than"},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(decodeManifest(c.bytes, &error)) << c.what;
        EXPECT_TRUE(error.contains(QLatin1String(c.reason)))
            << c.what << ": " << error.toStdString();
    }
    QString error;
    EXPECT_TRUE(decodeManifest(good, &error)) << error.toStdString();
}

TEST(TransferWire, WantListsNameEachFileOnceWithinItsChunks) {
    const Manifest manifest =
        manifestOf({entryFor("a", QByteArray(int(kChunkSize) + 1, 'a')), entryFor("b", "")});
    const auto numbers = [](std::initializer_list<quint32> n) { return std::vector<quint32>(n); };
    struct Case {
        const char* what;
        QByteArray bytes;
        bool accepted;
    };
    const QByteArray good = encodeWantList(numbers({1, 0}));
    const Case cases[] = {
        {"all of both", encodeWantList(numbers({0, 0})), true},
        {"none of either", encodeWantList(numbers({2, 0})), true},
        {"from the second chunk", good, true},
        {"past the first's chunks", encodeWantList(numbers({3, 0})), false},
        {"past the empty file", encodeWantList(numbers({0, 1})), false},
        {"one file short", encodeWantList(numbers({0})), false},
        {"one file too many", encodeWantList(numbers({0, 0, 0})), false},
        {"a byte after it", good + "x", false},
        {"cut short", good.chopped(1), false},
        {"another magic", "KVWX" + good.sliced(4), false},
        {"empty", QByteArray(), false},
    };
    for (const Case& c : cases) {
        QString error;
        const auto decoded = decodeWantList(c.bytes, manifest, &error);
        EXPECT_EQ(bool(decoded), c.accepted) << c.what << ": " << error.toStdString();
        EXPECT_EQ(error.isEmpty(), c.accepted) << c.what;
    }
    EXPECT_EQ(*decodeWantList(good, manifest, nullptr), numbers({1, 0}));
}

TEST(TransferWire, FileMessagesGoRoundTripForEveryKind) {
    FileMessage offer;
    offer.kind = FileMessage::Kind::Offer;
    offer.id = newTransferId();
    offer.port = 40123;
    offer.files = 3;
    offer.bytes = 1ull << 40;
    offer.name = "Holiday \xf0\x9f\x93\xb7";
    FileMessage accept{FileMessage::Kind::Accept, newTransferId(), 1, 0, 0, {}, {}};
    FileMessage connectBack{FileMessage::Kind::ConnectBack, newTransferId(), 65535, 0, 0, {}, {}};
    FileMessage decline{FileMessage::Kind::Decline, newTransferId(), 0, 0, 0, {}, "not now"};
    FileMessage cancel{FileMessage::Kind::Cancel, newTransferId(), 0, 0, 0, {}, ""};
    for (const FileMessage& m : {offer, accept, connectBack, decline, cancel}) {
        const QByteArray bytes = encodeFileMessage(m);
        const auto decoded = decodeFileMessage(bytes);
        ASSERT_TRUE(decoded) << int(m.kind);
        EXPECT_EQ(decoded->kind, m.kind);
        EXPECT_EQ(decoded->id, m.id);
        EXPECT_EQ(decoded->port, m.port);
        EXPECT_EQ(decoded->files, m.files);
        EXPECT_EQ(decoded->bytes, m.bytes);
        EXPECT_EQ(decoded->name, m.name);
        EXPECT_EQ(decoded->reason, m.reason);
        EXPECT_FALSE(decodeFileMessage(bytes + '\0')) << "a byte after it, kind " << int(m.kind);
        EXPECT_FALSE(decodeFileMessage(bytes.chopped(1))) << "cut short, kind " << int(m.kind);
    }
}

TEST(TransferWire, FileMessagesThatCannotBeTakenAreRefused) {
    FileMessage offer{FileMessage::Kind::Offer, newTransferId(), 5000, 2, 10, "photos", {}};
    const auto offerWith = [&](auto change) {
        FileMessage m = offer;
        change(m);
        return encodeFileMessage(m);
    };
    QByteArray unknownKind = encodeFileMessage(offer);
    unknownKind[4] = 6;
    QByteArray kindZero = unknownKind;
    kindZero[4] = 0;
    QByteArray longReason = encodeFileMessage(
        FileMessage{FileMessage::Kind::Cancel, offer.id, 0, 0, 0, {}, QByteArray(200, 'r')});
    ASSERT_FALSE(longReason.isEmpty());
    longReason[4 + 1 + 16] = char(201);
    longReason += 'r';
    struct Case {
        const char* what;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"another magic", "KVFX" + encodeFileMessage(offer).sliced(4)},
        {"unknown kind", unknownKind},
        {"kind 0", kindZero},
        {"no port", offerWith([](FileMessage& m) { m.port = 0; })},
        {"no files", offerWith([](FileMessage& m) { m.files = 0; })},
        {"too many files", offerWith([](FileMessage& m) { m.files = kMaxFiles + 1; })},
        {"a path for a name", offerWith([](FileMessage& m) { m.name = "a/b"; })},
        {"name ..", offerWith([](FileMessage& m) { m.name = ".."; })},
        {"empty name", offerWith([](FileMessage& m) { m.name.clear(); })},
        {"name with a control", offerWith([](FileMessage& m) { m.name = "a\x1b[2J"; })},
        {"accept without port",
         encodeFileMessage({FileMessage::Kind::Accept, offer.id, 0, 0, 0, {}, {}})},
        {"reason not UTF-8",
         encodeFileMessage({FileMessage::Kind::Decline, offer.id, 0, 0, 0, {}, "\xff"})},
        {"reason over 200 bytes", longReason},
        {"only the magic", "KVF1"},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(decodeFileMessage(c.bytes)) << c.what;

    // What cannot be written whole is not written at all.
    EXPECT_TRUE(offerWith([](FileMessage& m) { m.name = QByteArray(256, 'n'); }).isEmpty());
    EXPECT_TRUE(
        encodeFileMessage({FileMessage::Kind::Cancel, offer.id, 0, 0, 0, {}, QByteArray(201, 'r')})
            .isEmpty());
}
