#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "KXLineReader.h"

namespace {

using kxjson::Json;

TEST(JsonLine, ParsesTheProtocolAndRefusesHostileText) {
    auto j =
        kxjson::parse(R"( {"ok":true,"n":-12.5e1,"s":"a\"\\\u00e9\ud83d\ude00","a":[1,[2],{}],"z":null} )");
    ASSERT_TRUE(j);
    EXPECT_TRUE(kxjson::flag(*j, "ok"));
    EXPECT_EQ(kxjson::text(*j, "s"), "a\"\\\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(kxjson::arrayMember(*j, "a").size(), 3u);
    EXPECT_EQ(kxjson::integerMember(*j, "n"), -125);
    EXPECT_EQ(kxjson::parse(kxjson::dump(*j)), j);

    for (const char* bad :
         {"",      " ",        "{",   "{\"a\":}", "[1,]",    "{\"a\" 1}", "\"\\x\"",    "\"\\ud800\"",
          "01x",   "1.",       "-",   "tru",      "[1] 2",   "\"abc",     "{\"a\":1,}", "\"\x01\"",
          "1e999", "\"\xff\"", "NaN", "{'a':1}",  "[1]\n[2]"}) {
        EXPECT_FALSE(kxjson::parse(bad)) << bad;
    }

    // Nesting is refused before parsing; brackets inside strings do not count.
    EXPECT_FALSE(kxjson::parse(std::string(100000, '[')));
    const std::string deepest = std::string(kxjson::kMaxDepth, '[') + std::string(kxjson::kMaxDepth, ']');
    EXPECT_TRUE(kxjson::parse(deepest));
    EXPECT_FALSE(kxjson::parse("[" + deepest + "]"));
    const std::string quoted = "[\"" + std::string(1000, '[') + "\\\"{{{\"]";
    EXPECT_TRUE(kxjson::parse(quoted));
    EXPECT_EQ(kxjson::nestingDepth("{\"a\":[{}]}"), 3);
    EXPECT_EQ(kxjson::nestingDepth("]]]]{"), 1);  // stray closers do not hide later openers

    // Length is refused before parsing.
    EXPECT_TRUE(kxjson::parse("[1, 2]", 6));
    EXPECT_FALSE(kxjson::parse("[1, 2] ", 6));
}

TEST(JsonLine, TypedReadsNeverThrowOnAWrongTypeOrAMissingMember) {
    auto j = kxjson::parse(R"({"s":7,"b":"true","i":5.0,"f":5.5,"big":1e300,"u":18446744073709551615,)"
                           R"("neg":-9223372036854775808,"e":5e2,"t":"5","list":{"0":1},"o":{"s":"in"}})");
    ASSERT_TRUE(j);
    EXPECT_FALSE(kxjson::stringMember(*j, "s"));
    EXPECT_EQ(kxjson::text(*j, "s"), "");
    EXPECT_TRUE(kxjson::flag(*j, "b", true));
    EXPECT_FALSE(kxjson::flag(*j, "b", false));
    EXPECT_EQ(kxjson::integerMember(*j, "i"), 5);
    EXPECT_EQ(kxjson::integerMember(*j, "e"), 500);
    EXPECT_EQ(kxjson::integerMember(*j, "neg"), INT64_MIN);
    for (const char* key : {"f", "big", "u", "t", "list", "missing"}) {
        EXPECT_FALSE(kxjson::integerMember(*j, key)) << key;
    }
    EXPECT_TRUE(kxjson::arrayMember(*j, "list").is_array());
    EXPECT_TRUE(kxjson::arrayMember(*j, "list").empty());
    EXPECT_EQ(kxjson::text(*kxjson::member(*j, "o"), "s"), "in");

    // Reads on values that are no object find nothing.
    for (const Json& other : {Json(nullptr), Json(3), Json("text"), Json::array({1, 2})}) {
        EXPECT_EQ(kxjson::member(other, "s"), nullptr);
        EXPECT_EQ(kxjson::text(other, "s"), "");
        EXPECT_FALSE(kxjson::integerMember(other, "i"));
        EXPECT_TRUE(kxjson::arrayMember(other, "list").empty());
    }

    // Text that is not UTF-8 is written with replacement characters instead of throwing.
    const std::string written = kxjson::dump(Json{{"name", std::string("cam\xff\xfe")}});
    auto back = kxjson::parse(written);
    ASSERT_TRUE(back);
    EXPECT_EQ(kxjson::text(*back, "name"), "cam\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Feeds `text` to a reader in pieces of `piece` bytes and collects what it hands out.
std::vector<std::string> linesOf(KXLineReader& reader, const std::string& text, size_t piece) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t at = 0; at < text.size(); at += piece) {
        reader.feed(std::string_view(text).substr(at, piece));
        while (reader.next(line) == KXLineReader::Result::Line) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(LineReader, HandsOutTheSameLinesHoweverTheBytesArrive) {
    const std::string text = "{\"a\":1}\r\n\n{\"b\":2}\nlast\r\nunfinished";
    const std::vector<std::string> expected = {"{\"a\":1}", "", "{\"b\":2}", "last"};
    for (size_t piece : {1u, 2u, 3u, 7u, 64u}) {
        KXLineReader reader(64);
        EXPECT_EQ(linesOf(reader, text, piece), expected) << piece;
        EXPECT_EQ(reader.pendingBytes(), 10u);
        EXPECT_FALSE(reader.broken());
    }
}

TEST(LineReader, ALineOverTheBoundBreaksTheReaderForGood) {
    // A line of exactly the bound passes; one byte more does not, whether its end has come
    // or not.
    KXLineReader exact(8);
    EXPECT_EQ(linesOf(exact, "12345678\n", 3), std::vector<std::string>{"12345678"});

    KXLineReader ended(8);
    EXPECT_TRUE(linesOf(ended, "ok\n123456789\nnext\n", 64) == std::vector<std::string>{"ok"});
    EXPECT_TRUE(ended.broken());

    KXLineReader endless(8);
    std::string line;
    for (int i = 0; i < 100; ++i) {
        endless.feed("xxx");
        if (endless.next(line) == KXLineReader::Result::TooLong) {
            break;
        }
        EXPECT_LE(endless.pendingBytes(), 8u);
    }
    EXPECT_TRUE(endless.broken());
    EXPECT_EQ(endless.pendingBytes(), 0u);
    endless.feed("\nfine\n");  // nothing after the endless line is read
    EXPECT_EQ(endless.next(line), KXLineReader::Result::TooLong);
    EXPECT_EQ(endless.pendingBytes(), 0u);
}

}  // namespace
