#include "listing/lines.h"

#include <gtest/gtest.h>

#include <random>

#include "state/state.h"

namespace varnok {
namespace {

class SplittInLines : public ::testing::Test {
protected:
    void SetUp() override {
        reset_module_state();
        SessionState.ListStarted = true;
    }
    std::vector<std::string> split(const std::string& text, const std::string& eol, int column) {
        CheckSettings.EOLType = eol;
        CheckSettings.Column = static_cast<int16_t>(column);
        Splitt_in_lines(text);
        return {SessionState.Lines.begin(), SessionState.Lines.begin() + SessionState.LineCount};
    }
};

using Entries = std::vector<std::string>;

TEST_F(SplittInLines, StoresTheColumnOfEveryLineAfterTheHeader) {
    const std::string text =
        "  PID TTY      STAT   TIME COMMAND\n"
        "    1 ?        Ss     0:04 /sbin/init splash\n"
        "  812 ?        Ss     0:00 /usr/sbin/sshd -D\n";
    EXPECT_EQ(split(text, "LF", 5), (Entries{"/sbin/init splash", "/usr/sbin/sshd -D"}));
    EXPECT_EQ(SessionState.LineCount, 2);
    EXPECT_FALSE(SessionState.ListStarted);
}

TEST_F(SplittInLines, YieldsNothingWithoutAHeader) {
    EXPECT_EQ(split("", "LF", 5), Entries{});
    EXPECT_EQ(SessionState.Lines, Entries{""});  // the one empty slot stays
    EXPECT_EQ(split("Welcome\nlast login\n 1 ? S 0:00 init\n", "LF", 5), Entries{});
    EXPECT_EQ(split("PI\nxx\n", "LF", 1), Entries{});
}

TEST_F(SplittInLines, FindsTheHeaderWhateverItsCaseAndLeadingSpaces) {
    EXPECT_EQ(split("motd\n   pid tty stat time command\n 5 ? S 0:01 cron -f\n", "LF", 5),
              Entries{"cron -f"});
}

TEST_F(SplittInLines, HonoursTheLineEndSetting) {
    const std::string crlf = "PID TTY STAT TIME COMMAND\r\n1 ? S 0:00 init\r\n2 ? S 0:00 sshd\r\n";
    EXPECT_EQ(split(crlf, "CRLF", 5), (Entries{"init", "sshd"}));
    SetUp();
    // With a line before the header, every later piece starts with LF and no header is seen.
    EXPECT_EQ(split("Last login\r\n" + crlf, "CR", 5), Entries{});
    SetUp();
    EXPECT_EQ(split(crlf, "LF", 5), (Entries{"init\r", "sshd\r"}));  // only spaces are trimmed
    SetUp();
    EXPECT_EQ(split("PID A B C D\r1 ? S 0:00 x\r", "CR", 5), Entries{"x"});
    SetUp();
    EXPECT_EQ(split("PID A B C D\n1 ? S 0:00 x\n", "lf", 5), Entries{"x"});  // unknown: LF
}

TEST_F(SplittInLines, TreatsASecondHeaderAsAProcessLine) {
    EXPECT_EQ(split("PID TTY STAT TIME COMMAND\n1 ? S 0:00 a\nPID TTY STAT TIME COMMAND\n", "LF", 5),
              (Entries{"a", "COMMAND"}));
}

TEST_F(SplittInLines, SkipsLinesShorterThanTheColumn) {
    EXPECT_EQ(split("PID TTY STAT TIME COMMAND\n1 ? S\n2 ? S 0:00 b\n", "LF", 5), Entries{"b"});
}

TEST_F(SplittInLines, ReadsPastAMonthNameInTheFifthWord) {
    const std::string text =
        "     UID   PID  PPID   C    STIME TTY         TIME CMD\n"
        "    root     1     0   0 10:15:42 ?           0:01 /sbin/init\n"
        "    root   412     1   0   Mar 03 ?           0:00 /usr/lib/ssh/sshd -D\n"
        "    short line\n";
    EXPECT_EQ(split(text, "LF", 8), (Entries{"/sbin/init", "/usr/lib/ssh/sshd -D"}));
    SetUp();
    EXPECT_EQ(split(text, "LF", 3), (Entries{"0   0 10:15:42 ?           0:01 /sbin/init",
                                             "1   0   Mar 03 ?           0:00 /usr/lib/ssh/sshd -D"}));
}

TEST_F(SplittInLines, StopsAtTheEntryCapAndSaysSo) {
    std::string text = "PID CMD\n";
    for (int i = 0; i < kMaxEntries + 5; ++i) text += std::to_string(i) + " p\n";
    const Entries entries = split(text, "LF", 2);
    EXPECT_EQ(SessionState.LineCount, kMaxEntries);
    EXPECT_EQ(entries.size(), static_cast<size_t>(kMaxEntries));
    EXPECT_EQ(SessionState.ConnectError, kTooManyProcesses);
}

TEST(GiveParameter, PlainSelection) {
    const std::string line = "a  b   c";
    EXPECT_EQ(GiveParameter(line, 1, false), "a  b   c");
    EXPECT_EQ(GiveParameter(line, 2, false), "b   c");
    EXPECT_EQ(GiveParameter(line, 3, false), "c");
    EXPECT_EQ(GiveParameter(line, 4, false), "");
    EXPECT_EQ(GiveParameter(line, 0, false), "a  b   c");
    EXPECT_EQ(GiveParameter(line, -3, false), "a  b   c");
    EXPECT_EQ(GiveParameter("x\ty z", 2, false), "z");  // a tab is no separator
    std::string many;
    for (int i = 1; i <= 40; ++i) many += "w" + std::to_string(i) + " ";
    EXPECT_EQ(GiveParameter(many, 35, false), "w35 w36 w37 w38 w39 w40");  // no cap at 20
}

TEST(GiveParameter, AdjustedSelection) {
    EXPECT_EQ(GiveParameter("u 1 0 0 10:15:42 ? 0:01 cmd -x", 8, true), "cmd -x");
    EXPECT_EQ(GiveParameter("u 1 0 0 Mar 03 ? 0:01 cmd -x", 8, true), "cmd -x");
    EXPECT_EQ(GiveParameter("u 1 0", 8, true), "");
    EXPECT_EQ(GiveParameter("u 1 0 0 Mar 03 ?", 3, true), "0 0 Mar 03 ?");
    EXPECT_EQ(GiveParameter("a b c d Mar f", 5, true), "Mar f");
}

// The order the original bubble sort gives, written out as that sort.
std::vector<std::string> bubble_sort(std::vector<std::string> v, bool (*less)(std::string_view, std::string_view)) {
    for (size_t i = v.size(); i-- > 1;) {
        for (size_t j = 1; j <= i; ++j) {
            if (less(v[j], v[j - 1])) std::swap(v[j - 1], v[j]);
        }
    }
    return v;
}

std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

bool reference_less(std::string_view a, std::string_view b) { return to_utf16(a) < to_utf16(b); }

void sort_entries(const std::vector<std::string>& entries) {
    reset_module_state();
    SessionState.Lines = entries.empty() ? std::vector<std::string>{""} : entries;
    SessionState.LineCount = static_cast<int16_t>(entries.size());
    SortWords();
}

TEST(SortWords, OrdersByCodeUnitWithUpperCaseFirst) {
    sort_entries({"b", "B", "a", "ab"});
    EXPECT_EQ(SessionState.Lines, (Entries{"B", "a", "ab", "b"}));
    sort_entries({"sshd", "Xorg", "bash", "bash"});
    EXPECT_EQ(SessionState.Lines, (Entries{"Xorg", "bash", "bash", "sshd"}));
    sort_entries({"\xEF\xBC\xA1", "\xF0\x9F\x98\x80"});  // U+FF21 sorts after U+1F600 in UTF-16
    EXPECT_EQ(SessionState.Lines, (Entries{"\xF0\x9F\x98\x80", "\xEF\xBC\xA1"}));
    sort_entries({"z"});
    EXPECT_EQ(SessionState.Lines, Entries{"z"});
}

TEST(SortWords, MatchesTheBubbleSortOnRandomEntries) {
    const std::vector<std::string> alphabet = {"a", "A", "b", "z", " ", "-", "é", "Ö", "中",
                                               "\xEF\xBF\xBD", "\xEE\x80\x80", "\xF0\x9F\x98\x80",
                                               "\xF0\x90\x80\x80", "1"};
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> entries(rng() % 40);
        for (auto& e : entries) {
            const size_t len = rng() % 4;
            for (size_t k = 0; k < len; ++k) e += alphabet[rng() % alphabet.size()];
            e += std::to_string(rng() % 3);  // keeps duplicates likely and entries non-empty
        }
        // Tag equal entries so stability shows: the tag is not compared.
        sort_entries(entries);
        const auto expected = bubble_sort(entries, reference_less);
        ASSERT_EQ(Entries(SessionState.Lines.begin(), SessionState.Lines.begin() + SessionState.LineCount),
                  expected.empty() ? Entries{} : expected);
    }
}

}  // namespace
}  // namespace varnok
