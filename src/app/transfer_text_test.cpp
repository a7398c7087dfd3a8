#include "app/transfer_text.h"

#include <gtest/gtest.h>

using namespace kalvento;
using app::ChatNotice;
using transfer::TransferInfo;
using transfer::TransferState;

namespace {

TEST(TransferText, SizesAreInDecimalUnitsWithOneDecimal) {
    const struct {
        quint64 bytes;
        const char* shown;
    } cases[] = {
        {0, "0 B"},
        {999, "999 B"},
        {1000, "1.0 kB"},
        {1049, "1.0 kB"},
        {1050, "1.1 kB"}, // halves round away from zero
        {4'200'000, "4.2 MB"},
        {999'949, "999.9 kB"},
        {999'950, "1.0 MB"}, // never "1000.0 kB"
        {40'100'000, "40.1 MB"},
        {1'000'000'000, "1.0 GB"},
        {999'999'999'999, "1.0 TB"},
        {quint64{1} << 44, "17.6 TB"},
        {~quint64{0}, "18.4 EB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::humanSize(c.bytes), QString::fromLatin1(c.shown)) << c.bytes;
}

TEST(TransferText, TimeLeftShowsHoursOnlyWhenThereAreAny) {
    const struct {
        qint64 seconds;
        const char* shown;
    } cases[] = {{0, "0:00"},       {7, "0:07"},           {65, "1:05"},
                 {725, "12:05"},    {3599, "59:59"},       {3600, "1:00:00"},
                 {3723, "1:02:03"}, {360000, "100:00:00"}, {-5, "0:00"}};
    for (const auto& c : cases)
        EXPECT_EQ(app::durationText(c.seconds), QString::fromLatin1(c.shown)) << c.seconds;
}

TransferInfo ended(bool outgoing, TransferState state, int files, quint64 bytes,
                   const QString& name, const QString& error = {}) {
    TransferInfo info;
    info.outgoing = outgoing;
    info.state = state;
    info.files = files;
    info.totalBytes = bytes;
    info.name = name;
    info.error = error;
    return info;
}

// The template with its args put in, as the chat shows it (without the isolation).
QString filled(const ChatNotice& notice) {
    QString text;
    const QStringList pieces = notice.textTemplate.split(QStringLiteral("%s"));
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            text += notice.args.value(i - 1);
        text += pieces[i];
    }
    return text;
}

TEST(TransferText, TheChatSaysHowATransferEnded) {
    const struct {
        TransferInfo info;
        const char* computer;
        const char* line;
        qsizetype args;
    } cases[] = {
        {ended(true, TransferState::Done, 1, 4'200'000, "report.pdf"), "Anna",
         "sent report.pdf (4.2 MB) to Anna", 3},
        {ended(false, TransferState::Done, 1, 4'200'000, "report.pdf"), "Anna",
         "received report.pdf (4.2 MB) from Anna", 3},
        {ended(true, TransferState::Done, 12, 40'100'000, "Photos"), "Anna",
         "sent 12 files (40.1 MB) to Anna", 3},
        {ended(false, TransferState::Done, 12, 40'100'000, "Photos"), "Anna",
         "received 12 files (40.1 MB) from Anna", 3},
        {ended(false, TransferState::Failed, 1, 10, "report.pdf", "the disk is full"), "Anna",
         "report.pdf from Anna: failed: the disk is full", 3},
        {ended(true, TransferState::Failed, 1, 10, "report.pdf"), "Anna",
         "report.pdf to Anna: failed", 3},
        {ended(true, TransferState::Declined, 3, 10, "a"), "Anna", "3 files to Anna: declined", 3},
        // A reason that only names the state is not said twice.
        {ended(true, TransferState::Declined, 1, 10, "a", "declined"), "Anna",
         "a to Anna: declined", 3},
        {ended(false, TransferState::Cancelled, 1, 10, "a", " Cancelled"), "Anna",
         "a from Anna: cancelled", 3},
        {ended(true, TransferState::Declined, 1, 10, "a", "no room here"), "Anna",
         "a to Anna: declined: no room here", 3},
        {ended(false, TransferState::Cancelled, 1, 10, "a.txt", "cancelled by the sender"), "Anna",
         "a.txt from Anna: cancelled: cancelled by the sender", 3},
        // The peer's names stay on one line: their line breaks become blanks, and markup is
        // only text (the view isolates each arg).
        {ended(false, TransferState::Done, 1, 5, "evil\nBob: hi"), "An\r\nna <b>",
         "received evil Bob: hi (5 B) from An na <b>", 3},
        {ended(false, TransferState::Failed, 1, 5, "x", "why\nnot"), "Anna",
         "x from Anna: failed: why not", 3},
    };
    for (const auto& c : cases) {
        const std::optional<ChatNotice> notice =
            app::finishedNotice(c.info, QString::fromUtf8(c.computer));
        ASSERT_TRUE(notice) << c.line;
        EXPECT_EQ(filled(*notice), QString::fromUtf8(c.line));
        EXPECT_EQ(notice->args.size(), c.args) << c.line;
        for (const QString& arg : notice->args)
            EXPECT_FALSE(arg.contains(u'\n') || arg.contains(u'\r')) << c.line;
    }
    for (const TransferState running :
         {TransferState::Preparing, TransferState::Offered, TransferState::Asking,
          TransferState::Running, TransferState::Paused, TransferState::Waiting})
        EXPECT_FALSE(app::finishedNotice(ended(true, running, 1, 1, "a"), "Anna"))
            << transfer::stateName(running);
}

} // namespace
