#include "richtext/rtf_reader.h"

#include "platform/text_codec.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QList>
#include <QStringDecoder>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kalvento::richtext {
namespace {

// Deeper groups share the state of the deepest one; real files stay far below this.
constexpr qsizetype kMaxDepth = 512;
constexpr qsizetype kMaxFontName = 256;
constexpr int kMaxUnicodeSkip = 16;
constexpr qint64 kMaxParameter = 0x7FFFFFFF;
constexpr size_t kFormatCacheSize = 16;

enum class Destination : quint8 { Text, FontTable, ColorTable, Skip };

enum class Keyword : quint8 {
    Character, // emits KeywordInfo::ch
    Par,
    SkipDestination,
    FontTable,
    ColorTable,
    Plain,
    Font,
    FontSize,
    Color,
    Highlight,
    Bold,
    Italic,
    Underline,
    UnderlineNone,
    Strike,
    Hidden,
    UnicodeSkip,
    Unicode,
    Binary,
    AnsiCodepage,
    Ansi,
    Mac,
    Pc,
    Pca,
    DefaultFont,
    FontCharset,
    FontCodepage,
    Red,
    Green,
    Blue,
};

struct KeywordInfo {
    Keyword keyword;
    char16_t ch = 0;
};

// Groups without visible text of the document itself.
constexpr std::string_view kSkippedDestinations =
    "aftncn aftnsep aftnsepc annotation atnauthor atndate atnicn atnid atnparent atnref "
    "atntime atrfend atrfstart author bkmkend bkmkstart buptim category "
    "colorschememapping comment company creatim datafield datastore doccomm docvar falt "
    "fchars ffdeftext ffentrymcr ffexitmcr ffformat ffhelptext ffl ffname ffstattext file "
    "filetbl fldinst footer footerf footerl footerr footnote formfield ftncn ftnsep "
    "ftnsepc generator header headerf headerl headerr hlinkbase info keywords "
    "latentstyles lchars levelnumbers leveltext lfolevel list listlevel listname "
    "listoverride listoverridetable listpicture liststylename listtable manager mmathPr "
    "nonshppict objalias objclass objdata objname objsect objtime oldcprops oldpprops "
    "oldsprops oldtprops operator panose password passwordhash pgdsctbl picprop pict pn "
    "pnseclvl pntxta pntxtb printim private propname protend protstart protusertbl pxe "
    "revtbl revtim rsidtbl rxe shpinst shprslt stylesheet subject tc template themedata "
    "title txe userprops wgrffmtfilter windowcaption writereservation writereservhash xe "
    "xform xmlattrname xmlattrvalue xmlclose xmlname xmlnstbl xmlopen";

constexpr std::string_view kUnderlines =
    "ul uld uldash uldashd uldashdd uldb ulhwave ulldash ulth ulthd ulthdash ulw ulwave";

// Calls f with each blank-separated word of list.
template <typename F> void forEachWord(std::string_view list, F f) {
    while (!list.empty()) {
        const size_t blank = list.find(' ');
        f(list.substr(0, blank));
        list.remove_prefix(blank == std::string_view::npos ? list.size() : blank + 1);
    }
}

const std::unordered_map<std::string_view, KeywordInfo>& keywords() {
    static const auto table = [] {
        std::unordered_map<std::string_view, KeywordInfo> t;
        forEachWord(kSkippedDestinations, [&](std::string_view name) {
            t.emplace(name, KeywordInfo{Keyword::SkipDestination});
        });
        forEachWord(kUnderlines, [&](std::string_view name) {
            t.emplace(name, KeywordInfo{Keyword::Underline});
        });
        forEachWord("par sect page row",
                    [&](std::string_view name) { t.emplace(name, KeywordInfo{Keyword::Par}); });
        // clang-format off
        const std::pair<std::string_view, char16_t> characters[] = {
            {"line", 0x2028},      {"tab", u'\t'},          {"cell", u'\t'},
            {"emdash", 0x2014},    {"endash", 0x2013},      {"bullet", 0x2022},
            {"lquote", 0x2018},    {"rquote", 0x2019},      {"ldblquote", 0x201C},
            {"rdblquote", 0x201D}, {"emspace", 0x2003},     {"enspace", 0x2002},
            {"qmspace", 0x2005},   {"zwj", 0x200D},         {"zwnj", 0x200C},
            {"ltrmark", 0x200E},   {"rtlmark", 0x200F}};
        const std::pair<std::string_view, Keyword> others[] = {
            {"fonttbl", Keyword::FontTable},    {"colortbl", Keyword::ColorTable},
            {"plain", Keyword::Plain},          {"f", Keyword::Font},
            {"fs", Keyword::FontSize},          {"cf", Keyword::Color},
            {"highlight", Keyword::Highlight},  {"b", Keyword::Bold},
            {"i", Keyword::Italic},             {"ulnone", Keyword::UnderlineNone},
            {"strike", Keyword::Strike},        {"striked", Keyword::Strike},
            {"v", Keyword::Hidden},             {"uc", Keyword::UnicodeSkip},
            {"u", Keyword::Unicode},            {"bin", Keyword::Binary},
            {"ansicpg", Keyword::AnsiCodepage}, {"ansi", Keyword::Ansi},
            {"mac", Keyword::Mac},              {"pc", Keyword::Pc},
            {"pca", Keyword::Pca},              {"deff", Keyword::DefaultFont},
            {"fcharset", Keyword::FontCharset}, {"cpg", Keyword::FontCodepage},
            {"red", Keyword::Red},              {"green", Keyword::Green},
            {"blue", Keyword::Blue}};
        // clang-format on
        for (const auto& [name, ch] : characters)
            t.emplace(name, KeywordInfo{Keyword::Character, ch});
        for (const auto& [name, keyword] : others)
            t.emplace(name, KeywordInfo{keyword});
        return t;
    }();
    return table;
}

// Code page of a font's \fcharset; 0 leaves the document's code page. Symbol fonts (2) get
// the default code page: there is no better guess.
int codepageOfCharset(int charset) {
    static constexpr std::pair<int, int> table[] = {
        {2, 1252},   {77, 10000}, {128, 932},  {129, 949},  {130, 1361}, {134, 936},
        {136, 950},  {161, 1253}, {162, 1254}, {163, 1258}, {177, 1255}, {178, 1256},
        {186, 1257}, {204, 1251}, {222, 874},  {238, 1250}, {254, 437},  {255, 850}};
    for (const auto& [set, codepage] : table)
        if (set == charset)
            return codepage;
    return 0;
}

struct CharState {
    int font = -1;
    int halfPoints = 0; // 0: the document's size
    int color = 0;
    int highlight = 0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    bool operator==(const CharState&) const = default;
};

struct GroupState {
    CharState chars;
    Destination destination = Destination::Text;
    bool hidden = false;
    int unicodeSkip = 1;
};

struct FontEntry {
    QString name;
    int codepage = 0;
};

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Reader {
public:
    // Inserts into a document at cursor, or only collects the text into text.
    Reader(QByteArrayView data, QTextCursor* cursor, QString* text)
        : data_(data), cursor_(cursor), text_(text) {}

    // Parses the data from its opening brace.
    void parseRtf() {
        while (pos_ < data_.size() && !done_) {
            const char c = data_[pos_];
            switch (c) {
            case '{':
                ++pos_;
                openGroup();
                break;
            case '}':
                ++pos_;
                closeGroup();
                break;
            case '\\':
                controlToken();
                break;
            case '\r':
            case '\n':
                ++pos_; // line ends of the file are not text
                break;
            default:
                textRun();
                break;
            }
        }
        if (!done_)
            fail(QStringLiteral("The rich text ends before all of its groups are closed."));
        finish();
    }

    void parsePlainText(QStringView text) {
        deliver(text);
        finish();
    }

    QString error() const { return error_; }

private:
    void fail(const QString& message) {
        if (error_.isEmpty())
            error_ = message;
    }

    // --- groups ---

    void openGroup() {
        flushBytes();
        unicodeFallback_ = 0;
        if (stack_.size() >= kMaxDepth) {
            ++overflow_;
            fail(QStringLiteral("The rich text is nested too deeply."));
            return;
        }
        stack_.push_back(state_);
    }

    void closeGroup() {
        flushBytes();
        unicodeFallback_ = 0;
        if (overflow_ > 0) {
            --overflow_;
            return;
        }
        if (state_.destination == Destination::FontTable && fontOpen_)
            commitFont();
        if (state_.destination == Destination::ColorTable && colorHasValue_)
            commitColor();
        if (stack_.empty()) { // a brace after the last group: nothing more to read
            done_ = true;
            return;
        }
        state_ = stack_.back();
        stack_.pop_back();
        if (stack_.empty())
            done_ = true; // the document's own group is closed; what follows is no part of it
    }

    // --- tokens ---

    void controlToken() {
        const qsizetype n = data_.size();
        if (pos_ + 1 >= n) {
            pos_ = n;
            fail(QStringLiteral("The rich text ends inside a control word."));
            return;
        }
        const char c = data_[pos_ + 1];
        if (isLetter(c)) {
            controlWord();
            return;
        }
        pos_ += 2;
        if (c == '\'') {
            // Two hex digits make a byte; a damaged escape is dropped with its digits.
            int value = 0;
            int digits = 0;
            while (digits < 2 && pos_ < n && hexValue(data_[pos_]) >= 0) {
                value = value * 16 + hexValue(data_[pos_++]);
                ++digits;
            }
            if (unicodeFallback_ > 0) {
                --unicodeFallback_;
                return;
            }
            if (digits == 2 && acceptsText())
                bytes_.append(char(value));
            return;
        }
        flushBytes();
        if (unicodeFallback_ > 0) {
            --unicodeFallback_;
            return;
        }
        switch (c) {
        case '*':
            state_.destination = Destination::Skip; // no "\*" group here carries text
            break;
        case '\\':
        case '{':
        case '}':
            deliver(QString(QChar(c)));
            break;
        case '~':
            deliver(QString(QChar(0x00A0)));
            break;
        case '_':
            deliver(QString(QChar(0x2011)));
            break;
        case '\r':
        case '\n':
            if (state_.destination == Destination::Text)
                emitPar();
            break;
        default: // "\-" optional hyphen, "\:" and "\|" index marks, unknown symbols
            break;
        }
    }

    void controlWord() {
        const qsizetype n = data_.size();
        qsizetype p = pos_ + 1;
        const qsizetype nameStart = p;
        while (p < n && isLetter(data_[p]))
            ++p;
        const std::string_view name(data_.data() + nameStart, size_t(p - nameStart));
        bool negative = false;
        if (p + 1 < n && data_[p] == '-' && isDigit(data_[p + 1])) {
            negative = true;
            ++p;
        }
        bool hasParam = false;
        qint64 value = 0;
        while (p < n && isDigit(data_[p])) {
            hasParam = true;
            value = qMin(value * 10 + (data_[p] - '0'), kMaxParameter);
            ++p;
        }
        if (p < n && data_[p] == ' ')
            ++p;
        pos_ = p;
        const int param = int(negative ? -value : value);

        flushBytes();
        const auto it = keywords().find(name);
        if (it != keywords().end() && it->second.keyword == Keyword::Binary) {
            skipBinary(hasParam ? param : 0);
            return;
        }
        if (unicodeFallback_ > 0) {
            --unicodeFallback_; // a control word stands for one fallback character
            return;
        }
        if (it == keywords().end())
            return;
        applyKeyword(it->second, hasParam, param);
    }

    void skipBinary(int count) {
        const qsizetype left = data_.size() - pos_;
        if (count < 0)
            count = 0;
        if (count > left) {
            pos_ = data_.size();
            fail(QStringLiteral("The rich text ends inside binary data."));
            return;
        }
        pos_ += count;
        if (unicodeFallback_ > 0)
            --unicodeFallback_;
    }

    static bool flag(bool hasParam, int param) { return !hasParam || param != 0; }

    void applyKeyword(const KeywordInfo& info, bool hasParam, int param) {
        Destination& destination = state_.destination;
        if (destination == Destination::Skip)
            return;
        CharState& chars = state_.chars;
        switch (info.keyword) {
        case Keyword::Character:
            deliver(QString(QChar(info.ch)));
            break;
        case Keyword::Par:
            if (destination == Destination::Text)
                emitPar();
            break;
        case Keyword::SkipDestination:
            destination = Destination::Skip;
            break;
        case Keyword::FontTable:
            destination = Destination::FontTable;
            fontOpen_ = false;
            break;
        case Keyword::ColorTable:
            destination = Destination::ColorTable;
            colorHasValue_ = false;
            break;
        case Keyword::Plain:
            chars = CharState{};
            chars.font = defaultFont_;
            state_.hidden = false;
            break;
        case Keyword::Font:
            if (!hasParam)
                break;
            if (destination == Destination::FontTable) {
                if (fontOpen_)
                    commitFont();
                fontOpen_ = true;
                fontNumber_ = param;
                fontName_.clear();
                fontCodepage_ = 0;
            } else {
                chars.font = param;
            }
            break;
        case Keyword::FontSize:
            chars.halfPoints = qBound(1, hasParam && param > 0 ? param : 24, 32767);
            break;
        case Keyword::Color:
            chars.color = qMax(0, param);
            break;
        case Keyword::Highlight:
            chars.highlight = qMax(0, param);
            break;
        case Keyword::Bold:
            chars.bold = flag(hasParam, param);
            break;
        case Keyword::Italic:
            chars.italic = flag(hasParam, param);
            break;
        case Keyword::Underline:
            chars.underline = flag(hasParam, param);
            break;
        case Keyword::UnderlineNone:
            chars.underline = false;
            break;
        case Keyword::Strike:
            chars.strike = flag(hasParam, param);
            break;
        case Keyword::Hidden:
            state_.hidden = flag(hasParam, param);
            break;
        case Keyword::UnicodeSkip:
            state_.unicodeSkip = qBound(0, param, kMaxUnicodeSkip);
            break;
        case Keyword::Unicode:
            if (hasParam)
                unicode(param);
            break;
        case Keyword::Binary: // handled before
            break;
        case Keyword::AnsiCodepage:
            if (param > 0)
                ansiCodepage_ = param;
            break;
        case Keyword::Ansi:
            ansiCodepage_ = 1252;
            break;
        case Keyword::Mac:
            ansiCodepage_ = 10000;
            break;
        case Keyword::Pc:
            ansiCodepage_ = 437;
            break;
        case Keyword::Pca:
            ansiCodepage_ = 850;
            break;
        case Keyword::DefaultFont:
            defaultFont_ = param;
            if (chars.font < 0)
                chars.font = param;
            break;
        case Keyword::FontCharset:
            if (destination == Destination::FontTable && fontCodepage_ == 0)
                fontCodepage_ = codepageOfCharset(param);
            break;
        case Keyword::FontCodepage:
            if (destination == Destination::FontTable && param > 0)
                fontCodepage_ = param;
            break;
        case Keyword::Red:
        case Keyword::Green:
        case Keyword::Blue:
            if (destination == Destination::ColorTable) {
                const int v = qBound(0, param, 255);
                if (info.keyword == Keyword::Red)
                    red_ = v;
                else if (info.keyword == Keyword::Green)
                    green_ = v;
                else
                    blue_ = v;
                colorHasValue_ = true;
            }
            break;
        }
    }

    // \uN: a signed 16-bit UTF-16 unit; larger values are taken as code points.
    void unicode(int value) {
        unicodeFallback_ = state_.unicodeSkip;
        if (value < 0)
            value += 0x10000;
        if (value < 0 || value > 0x10FFFF) {
            unit(0xFFFD);
            return;
        }
        if (value > 0xFFFF) {
            unit(QChar::highSurrogate(char32_t(value)));
            unit(QChar::lowSurrogate(char32_t(value)));
            return;
        }
        unit(char16_t(value));
    }

    // Pairs surrogates written as two \u; a lone half becomes U+FFFD.
    void unit(char16_t ch) {
        if (QChar::isHighSurrogate(ch)) {
            resolveHighSurrogate();
            highSurrogate_ = ch;
            return;
        }
        if (QChar::isLowSurrogate(ch)) {
            if (highSurrogate_ == 0) {
                deliver(QString(QChar(0xFFFD)));
                return;
            }
            const QChar pair[2] = {QChar(highSurrogate_), QChar(ch)};
            highSurrogate_ = 0;
            deliver(QStringView(pair, 2));
            return;
        }
        deliver(QString(QChar(ch)));
    }

    void resolveHighSurrogate() {
        if (highSurrogate_ == 0)
            return;
        highSurrogate_ = 0;
        deliver(QString(QChar(0xFFFD)));
    }

    bool acceptsText() const {
        return (state_.destination == Destination::Text && !state_.hidden) ||
               state_.destination == Destination::FontTable;
    }

    // Literal bytes up to the next brace, backslash or line end.
    void textRun() {
        const qsizetype n = data_.size();
        const Destination destination = state_.destination;
        if (destination == Destination::FontTable || destination == Destination::ColorTable) {
            const char c = data_[pos_++];
            if (unicodeFallback_ > 0) {
                --unicodeFallback_;
                return;
            }
            if (c == ';') {
                flushBytes();
                if (destination == Destination::FontTable)
                    commitFont();
                else
                    commitColor();
            } else if (destination == Destination::FontTable &&
                       static_cast<unsigned char>(c) >= 0x20) {
                bytes_.append(c);
            }
            return;
        }
        qsizetype start = pos_;
        while (pos_ < n) {
            const char c = data_[pos_];
            if (c == '\\' || c == '{' || c == '}' || c == '\r' || c == '\n')
                break;
            ++pos_;
        }
        if (unicodeFallback_ > 0) {
            const qsizetype skipped = qMin<qsizetype>(unicodeFallback_, pos_ - start);
            start += skipped;
            unicodeFallback_ -= int(skipped);
        }
        if (!acceptsText())
            return;
        // Raw control bytes other than tab carry no text.
        qsizetype from = start;
        for (qsizetype i = start; i < pos_; ++i) {
            const auto b = static_cast<unsigned char>(data_[i]);
            if (b < 0x20 && b != '\t') {
                bytes_.append(data_.sliced(from, i - from));
                from = i + 1;
            }
        }
        bytes_.append(data_.sliced(from, pos_ - from));
    }

    // --- text ---

    int codepage() const {
        if (state_.destination == Destination::FontTable)
            return fontCodepage_ > 0 ? fontCodepage_ : ansiCodepage_;
        if (state_.chars.font >= 0) {
            const auto it = fonts_.constFind(state_.chars.font);
            if (it != fonts_.constEnd() && it->codepage > 0)
                return it->codepage;
        }
        return ansiCodepage_;
    }

    QString decode(const QByteArray& bytes, int codepage) {
        if (codepage == 1252 || codepage <= 0)
            return platform::fromAnsi(bytes);
        auto it = decoders_.find(codepage);
        if (it == decoders_.end()) {
            std::optional<QStringDecoder> decoder;
            if (codepage == 65001) {
                decoder.emplace(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            } else {
                const QByteArray number = QByteArray::number(codepage);
                for (const QByteArray& name :
                     {QByteArray("windows-") + number, QByteArray("cp") + number,
                      QByteArray("ibm-") + number}) {
                    decoder.emplace(name.constData(), QStringDecoder::Flag::Stateless);
                    if (decoder->isValid())
                        break;
                    decoder.reset();
                }
                if (!decoder && codepage == 10000)
                    decoder.emplace("macintosh", QStringDecoder::Flag::Stateless);
            }
            if (decoder && !decoder->isValid())
                decoder.reset();
            it = decoders_.emplace(codepage, std::move(decoder)).first;
        }
        if (!it->second)
            return platform::fromAnsi(bytes); // unknown code page: the best guess
        return it->second->decode(bytes);
    }

    void flushBytes() {
        if (bytes_.isEmpty())
            return;
        const QString text = decode(bytes_, codepage());
        bytes_.clear();
        deliver(text);
    }

    // Decoded text to where the current group sends it. Line and paragraph breaks inside
    // the text become paragraphs; characters a text document would take for frame marks
    // or objects are replaced.
    void deliver(QStringView text) {
        if (text.isEmpty())
            return;
        if (state_.destination == Destination::FontTable) {
            fontName_ += text.left(qMax<qsizetype>(0, kMaxFontName - fontName_.size()));
            return;
        }
        if (state_.destination != Destination::Text || state_.hidden)
            return;
        qsizetype from = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t ch = text[i].unicode();
            const bool special = ch < 0x20
                                     ? ch == '\r' || ch == '\n' || ch == 0
                                     : ch == 0x2029 || ch == 0xFDD0 || ch == 0xFDD1 || ch == 0xFFFC;
            if (!special)
                continue;
            emitChars(text.sliced(from, i - from));
            if (ch == '\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            from = i + 1;
            if (ch == '\r' || ch == '\n' || ch == 0x2029)
                emitPar();
            else if (ch != 0)
                emitChars(u"\uFFFD");
        }
        emitChars(text.sliced(from));
    }

    void emitChars(QStringView text) {
        if (text.isEmpty())
            return;
        resolveHighSurrogate();
        useCurrentFormat();
        pending_ += text;
        trailingPars_ = 0;
    }

    void emitPar() {
        resolveHighSurrogate();
        useCurrentFormat();
        pending_ += QChar(QChar::ParagraphSeparator);
        ++trailingPars_;
    }

    // Runs of one format go into the document in one piece.
    void useCurrentFormat() {
        if (pendingChars_ == state_.chars)
            return;
        flushRun();
        pendingChars_ = state_.chars;
    }

    void flushRun() {
        if (pending_.isEmpty())
            return;
        if (text_ != nullptr)
            text_->append(pending_);
        else
            cursor_->insertText(pending_, cachedFormatOf(pendingChars_));
        pending_.clear();
    }

    // A log has few distinct formats that alternate line by line.
    const QTextCharFormat& cachedFormatOf(const CharState& chars) {
        for (const auto& [state, format] : formatCache_)
            if (state == chars)
                return format;
        if (formatCache_.size() >= kFormatCacheSize)
            formatCache_.erase(formatCache_.begin());
        formatCache_.emplace_back(chars, formatOf(chars));
        return formatCache_.back().second;
    }

    QColor colorAt(int index) const {
        return index >= 0 && index < colors_.size() ? colors_[index] : QColor();
    }

    QTextCharFormat formatOf(const CharState& chars) const {
        QTextCharFormat format;
        if (chars.font >= 0) {
            const auto it = fonts_.constFind(chars.font);
            if (it != fonts_.constEnd() && !it->name.isEmpty())
                format.setFontFamilies(QStringList{it->name});
        }
        if (chars.halfPoints > 0)
            format.setFontPointSize(chars.halfPoints / 2.0);
        const QColor foreground = colorAt(chars.color);
        if (foreground.isValid())
            format.setForeground(foreground);
        if (chars.highlight > 0) {
            const QColor background = colorAt(chars.highlight);
            if (background.isValid())
                format.setBackground(background);
        }
        if (chars.bold)
            format.setFontWeight(QFont::Bold);
        if (chars.italic)
            format.setFontItalic(true);
        if (chars.underline)
            format.setFontUnderline(true);
        if (chars.strike)
            format.setFontStrikeOut(true);
        return format;
    }

    void finish() {
        flushBytes();
        resolveHighSurrogate();
        if (trailingPars_ > 0)
            pending_.chop(1); // the last \par closes the last paragraph
        flushRun();
    }

    // --- tables ---

    void commitFont() {
        if (fontOpen_ && fontNumber_ >= 0)
            fonts_.insert(fontNumber_, FontEntry{fontName_.trimmed(), fontCodepage_});
        fontOpen_ = false;
        fontName_.clear();
        fontCodepage_ = 0;
    }

    void commitColor() {
        colors_.append(colorHasValue_ ? QColor(red_, green_, blue_) : QColor());
        red_ = green_ = blue_ = 0;
        colorHasValue_ = false;
    }

    QByteArrayView data_;
    QTextCursor* cursor_;
    QString* text_;
    qsizetype pos_ = 0;
    bool done_ = false;
    QString error_;

    std::vector<GroupState> stack_;
    GroupState state_;
    qsizetype overflow_ = 0;
    int unicodeFallback_ = 0;
    char16_t highSurrogate_ = 0;

    int ansiCodepage_ = 1252;
    int defaultFont_ = -1;
    std::map<int, std::optional<QStringDecoder>> decoders_;
    QByteArray bytes_;

    QHash<int, FontEntry> fonts_;
    bool fontOpen_ = false;
    int fontNumber_ = -1;
    QString fontName_;
    int fontCodepage_ = 0;

    QList<QColor> colors_;
    int red_ = 0;
    int green_ = 0;
    int blue_ = 0;
    bool colorHasValue_ = false;

    QString pending_;
    CharState pendingChars_;
    std::vector<std::pair<CharState, QTextCharFormat>> formatCache_;
    int trailingPars_ = 0;
};

// Offset of "{\rtf" after blanks and a byte-order mark, or -1.
qsizetype rtfStart(QByteArrayView data) {
    qsizetype p = 0;
    if (data.startsWith("\xEF\xBB\xBF"))
        p = 3;
    while (p < data.size() &&
           (data[p] == ' ' || data[p] == '\t' || data[p] == '\r' || data[p] == '\n'))
        ++p;
    return data.sliced(p).startsWith("{\\rtf") ? p : -1;
}

} // namespace

platform::Result readRtf(QByteArrayView rtf, QTextCursor& cursor) {
    cursor.beginEditBlock();
    const qsizetype start = rtfStart(rtf);
    Reader reader(start < 0 ? QByteArrayView() : rtf.sliced(start), &cursor, nullptr);
    if (start < 0)
        reader.parsePlainText(platform::decodeUtf8OrAnsi(rtf));
    else
        reader.parseRtf();
    cursor.endEditBlock();
    return platform::Result::failure(reader.error());
}

QString readRtfText(QByteArrayView rtf) {
    QString text;
    const qsizetype start = rtfStart(rtf);
    Reader reader(start < 0 ? QByteArrayView() : rtf.sliced(start), nullptr, &text);
    if (start < 0)
        reader.parsePlainText(platform::decodeUtf8OrAnsi(rtf));
    else
        reader.parseRtf();
    return text;
}

platform::Result readRtf(QByteArrayView rtf, QTextDocument& document) {
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    document.clear();
    QTextCursor cursor(&document);
    platform::Result result = readRtf(rtf, cursor);
    document.setUndoRedoEnabled(undo);
    return result;
}

} // namespace kalvento::richtext
