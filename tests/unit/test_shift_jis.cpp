// Tests of the one code page 932 rule: where a character ends, and that the path helpers' byte
// classes and bounded copies cut exactly where that rule says, on every short text of the bytes
// that matter.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "path_helpers.h"
#include "shift_jis.h"

namespace {

size_t prefix(const std::string &text, size_t room, uint8_t after = 0) {
    return sjis_prefix_length((const uint8_t *)text.data(), text.size(), room, after);
}

// Every text of up to `longest` bytes over an alphabet of the bytes that decide boundaries:
// leads at both ends of both ranges, trails including 0x5C and 0x40, and bytes that no trail
// may be.
std::vector<std::string> short_texts(size_t longest) {
    const char alphabet[] = {'a',    '\\',   '/',    '\x81', '\x9F', '\xE0',
                             '\xFC', '\x40', '\x7F', '\x20', '\xFD'};
    std::vector<std::string> texts = {""};
    for (size_t start = 0; start < texts.size(); start++) {
        if (texts[start].size() == longest) continue;
        for (char c : alphabet) texts.push_back(texts[start] + c);
    }
    return texts;
}

// The rule written out again, as the sweep's own measure: lead bytes 0x81-0x9F and 0xE0-0xFC,
// trail bytes 0x40-0xFC but 0x7F.
bool pair_at(const std::string &text, size_t at) {
    uint8_t lead = (uint8_t)text[at];
    if (!((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC))) return false;
    if (at + 1 >= text.size()) return false;
    uint8_t trail = (uint8_t)text[at + 1];
    return trail >= 0x40 && trail <= 0xFC && trail != 0x7F;
}

}  // namespace

TEST(ShiftJis, APairIsALeadByteAndATrailByte) {
    EXPECT_EQ(prefix("a\x95\x5C", 2), 1u);        // 0x5C ends the character: no cut inside
    EXPECT_EQ(prefix("a\x95\x5C", 3), 3u);
    EXPECT_EQ(prefix("\xE0\x40\xFC\xFC", 3), 2u);  // both lead ranges, both trail ends
    EXPECT_EQ(prefix("\x81\x7F", 1), 1u);          // 0x7F is no trail: the lead stands alone
    EXPECT_EQ(prefix("\x81\x20", 1), 1u);
    EXPECT_EQ(prefix("\x81\xFD", 1), 1u);
    EXPECT_EQ(prefix("\x81\x81\x81", 2), 2u);      // a lead's trail is never itself a lead
    EXPECT_EQ(prefix("ab\x81", 3), 3u);            // a last lead with nothing after it
    // A kept part of a longer text: the byte after it decides the last lead.
    EXPECT_EQ(prefix("ab\x81", 3, 0x5C), 2u);
    EXPECT_EQ(prefix("ab\x81", 3, 0x20), 3u);
    EXPECT_EQ(prefix("", 5), 0u);
}

TEST(ShiftJis, PathHelpersCutWhereTheRuleSays) {
    for (const std::string &text : short_texts(5)) {
        const uint8_t *bytes = (const uint8_t *)text.c_str();
        // The byte classes: a trail byte is exactly the second byte of a pair.
        std::vector<int> second(text.size() + 1, 0);
        for (size_t at = 0; at < text.size(); at += pair_at(text, at) ? 2 : 1) {
            ASSERT_EQ(sjis_width(bytes, at, text.size()), pair_at(text, at) ? 2u : 1u);
            if (pair_at(text, at)) second[at + 1] = 1;
        }
        for (size_t at = 0; at < text.size(); at++)
            ASSERT_EQ(sjis_byte_class(text.c_str(), (int32_t)at) == SJIS_TRAIL, second[at] == 1)
                << "byte " << at << " of a text of " << text.size();
        // The bounded copies keep the longest prefix that does not split a pair.
        for (int32_t size = 1; size <= (int32_t)text.size() + 1; size++) {
            char copy[8];
            memset(copy, 'x', sizeof copy);
            copy_bounded(copy, text.c_str(), size);
            ASSERT_EQ(strlen(copy), prefix(text, (size_t)size - 1)) << "size " << size;
        }
    }
}

// A lead byte is told from a single one, also at the text's end and after a pair; outside the
// text no byte belongs to a character; a bounded copy fills its whole buffer and nothing past.
TEST(ShiftJis, LeadBytesIndexesOutsideTheTextAndTheCopysWholeBuffer) {
    EXPECT_EQ(sjis_byte_class("\x95\x5C\x5C", 0), SJIS_LEAD);
    EXPECT_EQ(sjis_byte_class("\xE0\x40", 1), SJIS_TRAIL);
    EXPECT_EQ(sjis_byte_class("a\x88", 1), SJIS_LEAD);
    EXPECT_EQ(sjis_byte_class("\x88\x88\x88", 2), SJIS_LEAD);
    EXPECT_EQ(sjis_byte_class("ab", 7), SJIS_SINGLE);
    EXPECT_EQ(sjis_byte_class("\x88\x88", -1), SJIS_SINGLE);
    char out[16];
    memset(out, 'X', sizeof out);
    copy_bounded(out, "ab", 8);
    for (int i = 2; i < 8; i++) EXPECT_EQ(out[i], '\0') << i;
    EXPECT_EQ(out[8], 'X');
}
