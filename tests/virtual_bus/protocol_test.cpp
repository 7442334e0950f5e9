#include "wire/socketcand_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wire::socketcand {
namespace {

Frame MakeFrame(std::uint32_t id, bool extended, std::vector<std::uint8_t> bytes) {
    Frame frame;
    frame.id = id;
    frame.extended = extended;
    frame.length = static_cast<std::uint8_t>(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        frame.data[i] = bytes[i];
    }
    return frame;
}

struct ParseCase {
    std::string text;
    Command command;
    std::string argument;
    Frame frame;
};

TEST(SocketcandProtocol, ParsesWellFormedElements) {
    const std::vector<ParseCase> cases = {
        {"< hi >", Command::kHi, "", {}},
        {"<hi>", Command::kHi, "", {}},
        {"< open sim3 >", Command::kOpen, "sim3", {}},
        {"< ok >", Command::kOk, "", {}},
        {"< rawmode >", Command::kRawMode, "", {}},
        {"< error no bus named x here >", Command::kError, "no bus named x here", {}},
        // python-can: id with %X, length, bytes lower case without padding
        {"< send 18EFC300 8 e0 14 0 1 0 0 0 0 >", Command::kSend, "",
         MakeFrame(0x18EFC300, true, {0xE0, 0x14, 0, 1, 0, 0, 0, 0})},
        {"< send CEFC300 2 a b >", Command::kSend, "", MakeFrame(0x0CEFC300, true, {0x0A, 0x0B})},
        {"< send 123 0  >", Command::kSend, "", MakeFrame(0x123, false, {})},
        {"< send 00000123 1 ff >", Command::kSend, "", MakeFrame(0x123, true, {0xFF})},
        {"< send 7FF 1 00 >", Command::kSend, "", MakeFrame(0x7FF, false, {0})},
        {"< send 800 1 00 >", Command::kSend, "", MakeFrame(0x800, true, {0})},
        {"< frame 18EEFF00 1700000000.000100 0000603700000080 >", Command::kFrame, "",
         MakeFrame(0x18EEFF00, true, {0, 0, 0x60, 0x37, 0, 0, 0, 0x80})},
        {"< frame 123 23.424242  >", Command::kFrame, "", MakeFrame(0x123, false, {})},
        {"< frame 123 23.424242 >", Command::kFrame, "", MakeFrame(0x123, false, {})},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        Element element;
        std::string error;
        ASSERT_TRUE(ParseElement(c.text, &element, &error)) << error;
        EXPECT_EQ(element.command, c.command);
        EXPECT_EQ(element.text, c.argument);
        if (c.command == Command::kSend || c.command == Command::kFrame) {
            EXPECT_EQ(element.frame, c.frame);
        }
    }
}

TEST(SocketcandProtocol, ReadsFrameTimeStamps) {
    Element element;
    std::string error;
    ASSERT_TRUE(ParseElement("< frame 123 1700000000.000100 01 >", &element, &error));
    EXPECT_EQ(element.seconds, 1700000000u);
    EXPECT_EQ(element.microseconds, 100u);
    ASSERT_TRUE(ParseElement("< frame 123 5.5 01 >", &element, &error));
    EXPECT_EQ(element.microseconds, 500000u);
}

TEST(SocketcandProtocol, RefusesMalformedElements) {
    const std::vector<std::string> bad = {
        "",
        "<>",
        "< >",
        "hi",
        "< hello >",
        "< hi there >",
        "< open >",
        "< open a b >",
        "< open " + std::string(65, 'b') + " >",  // a bus name longer than any client writes
        "< open sim\x01 >",
        "< send >",
        "< send 123 >",
        "< send 123 2 01 >",     // fewer bytes than the length
        "< send 123 1 01 02 >",  // more bytes than the length
        "< send 123 9 0 0 0 0 0 0 0 0 0 >",
        "< send 123 1 100 >",  // byte of three digits
        "< send 123 1 g >",
        "< send 20000000 0 >",   // above 29 bits
        "< send 123456789 0 >",  // nine digits
        "< send -12 0 >",
        "< frame 123 >",
        "< frame 123 12 00 >",         // no fraction
        "< frame 123 1.1234567 00 >",  // fraction of seven digits
        "< frame 123 1.0 0 >",         // odd number of hex digits
        "< frame 123 1.0 001122334455667788 >",
        "< frame XYZ 1.0 00 >",
    };
    for (const std::string& text : bad) {
        Element element;
        std::string error;
        EXPECT_FALSE(ParseElement(text, &element, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(SocketcandProtocol, FormatsAsTheHostAndClientWrite) {
    const Frame claim = MakeFrame(0x18EEFF00, true, {0, 0, 0x60, 0x37, 0, 0, 0, 0x80});
    EXPECT_EQ(FormatFrame(claim, 1700000000, 100),
              "< frame 18EEFF00 1700000000.000100 0000603700000080 > ");
    EXPECT_EQ(FormatFrame(MakeFrame(0x5, false, {}), 1, 0), "< frame 005 1.000000  > ");
    EXPECT_EQ(FormatFrame(MakeFrame(0xABC, true, {0xAB}), 2, 999999),
              "< frame 00000ABC 2.999999 AB > ");
    EXPECT_EQ(FormatSend(claim), "< send 18EEFF00 8 00 00 60 37 00 00 00 80 >");
    EXPECT_EQ(FormatSend(MakeFrame(0x7FF, false, {})), "< send 7FF 0 >");
    EXPECT_EQ(FormatHi(), "< hi >");
    EXPECT_EQ(FormatOpen("sim2"), "< open sim2 >");
    EXPECT_EQ(FormatError("bad <x>\n"), "< error bad ?x?? >");
}

// A refusal quotes the refused line; however long that was, the error element must stay one
// element that a peer's splitter accepts (it was dropped as oversized before).
TEST(SocketcandProtocol, LongErrorTextsAreCutToOneReadableElement) {
    for (const std::size_t length : {100u, 172u, 173u, 500u}) {
        SCOPED_TRACE(length);
        const std::string reason = "unknown command '" + std::string(length, 'x') + "'";
        const std::string element = FormatError(reason);
        EXPECT_LE(element.size(), kMaxElementLength);
        ElementSplitter splitter;
        std::vector<SplitEvent> events;
        splitter.Feed(element, events);
        ASSERT_EQ(events.size(), 1u);
        ASSERT_EQ(events[0].kind, SplitEvent::Kind::kElement);
        Element parsed;
        std::string error;
        ASSERT_TRUE(ParseElement(events[0].text, &parsed, &error)) << error;
        EXPECT_EQ(parsed.command, Command::kError);
        if (reason.size() <= 190) {  // fits whole: "< error " + 190 + " >" is 200
            EXPECT_EQ(parsed.text, reason);
        } else {
            EXPECT_EQ(parsed.text, reason.substr(0, 187) + "...");
        }
    }
}

TEST(SocketcandProtocol, FormattedElementsParseBack) {
    const std::vector<Frame> frames = {
        MakeFrame(0, false, {}), MakeFrame(0x7FF, false, {1, 2, 3}),
        MakeFrame(0x1FFFFFFF, true, {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0}),
        MakeFrame(0x00000001, true, {})};  // 29-bit id of small value: kept by its 8 digits
    for (const Frame& frame : frames) {
        Element element;
        std::string error;
        ASSERT_TRUE(ParseElement(FormatSend(frame), &element, &error)) << error;
        EXPECT_EQ(element.frame, frame);
        std::string text = FormatFrame(frame, 12, 34);
        ElementSplitter splitter;
        std::vector<SplitEvent> events;
        splitter.Feed(text, events);
        ASSERT_EQ(events.size(), 1u);
        ASSERT_TRUE(ParseElement(events[0].text, &element, &error)) << error;
        EXPECT_EQ(element.frame, frame);
    }
}

std::vector<SplitEvent> SplitInPieces(const std::string& stream, std::size_t piece,
                                      std::size_t limit = kMaxElementLength) {
    ElementSplitter splitter(limit);
    std::vector<SplitEvent> events;
    for (std::size_t i = 0; i < stream.size(); i += piece) {
        splitter.Feed(std::string_view(stream).substr(i, piece), events);
    }
    return events;
}

TEST(ElementSplitter, SplitsAStreamFedInAnyPieces) {
    const std::string stream = "< hi >< open sim0 >\r\n  < frame 123 1.000000 01 > < ok >";
    for (std::size_t piece : {1u, 2u, 3u, 7u, 100u}) {
        const auto events = SplitInPieces(stream, piece);
        ASSERT_EQ(events.size(), 4u) << piece;
        EXPECT_EQ(events[0].text, "< hi >");
        EXPECT_EQ(events[1].text, "< open sim0 >");
        EXPECT_EQ(events[2].text, "< frame 123 1.000000 01 >");
        EXPECT_EQ(events[3].text, "< ok >");
        for (const auto& event : events) {
            EXPECT_EQ(event.kind, SplitEvent::Kind::kElement);
        }
    }
}

TEST(ElementSplitter, RefusesGarbageAndRecoversAtTheNextElement) {
    struct Case {
        std::string stream;
        std::vector<SplitEvent::Kind> kinds;
        std::string last_element;
    };
    using K = SplitEvent::Kind;
    const std::vector<Case> cases = {
        {"hello\n< ok >", {K::kMalformed, K::kElement}, "< ok >"},
        {"< send 12 < ok >", {K::kMalformed, K::kElement}, "< ok >"},
        {"< " + std::string(300, 'x') + " >< ok >", {K::kOversized, K::kElement}, "< ok >"},
        // Never ended: the next element is still found.
        {"< " + std::string(300, 'x') + " < send 100 0 >",
         {K::kOversized, K::kElement},
         "< send 100 0 >"},
        {std::string(500, 'z') + " < ok >",
         {K::kMalformed, K::kMalformed, K::kMalformed, K::kElement},
         "< ok >"},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {1u, 64u, 1000u}) {
            const auto events = SplitInPieces(c.stream, piece, 200);
            ASSERT_EQ(events.size(), c.kinds.size()) << c.stream.substr(0, 20) << " " << piece;
            for (std::size_t i = 0; i < events.size(); ++i) {
                EXPECT_EQ(events[i].kind, c.kinds[i]);
                EXPECT_LE(events[i].text.size(), 200u);
            }
            EXPECT_EQ(events.back().text, c.last_element);
        }
    }
}

TEST(ElementSplitter, ReportsAnUnfinishedElement) {
    ElementSplitter splitter;
    std::vector<SplitEvent> events;
    splitter.Feed("< send 123", events);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(splitter.mid_element());
    splitter.Feed(" 0 >", events);
    EXPECT_EQ(events.size(), 1u);
    EXPECT_FALSE(splitter.mid_element());
}

// Parsing keeps a fixed number of tokens; an element with far more must still be refused with
// the true count in its reason (the host quotes it back to the sender).
TEST(SocketcandProtocol, CountsEveryTokenOfAnOverlongElement) {
    std::string text = "< send 123 1";
    for (int i = 0; i < 20; ++i) {
        text += " 00";
    }
    text += " >";
    Element element;
    std::string error;
    EXPECT_FALSE(ParseElement(text, &element, &error));
    EXPECT_EQ(error, "length 1 but 20 data bytes");
    EXPECT_FALSE(ParseElement("< frame 123 1.0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 >",
                              &element, &error));
}

TEST(SocketcandProtocol, AppendSendAddsToWhatIsThere) {
    std::string out = "< send 001 0 >";
    AppendSend(out, MakeFrame(0x18EEFF00, true, {0, 0, 0x60, 0x37, 0, 0, 0, 0x80}));
    EXPECT_EQ(out, "< send 001 0 >< send 18EEFF00 8 00 00 60 37 00 00 00 80 >");
}

}  // namespace
}  // namespace wire::socketcand
