// SPDX-License-Identifier: Apache-2.0
#include "listing/lines.h"

#include <gtest/gtest.h>

#include "state/state.h"

namespace varnok {
namespace {

using Entries = std::vector<std::string>;

TEST(SplitListing, ReadsTheColumnOfEveryLineAfterTheHeader) {
    const std::string ps =
        "  PID TTY      STAT   TIME COMMAND\n"
        "    1 ?        Ss     0:04 /sbin/init splash\n"
        "  812 ?        Ss     0:00 /usr/sbin/sshd -D\n";
    const std::string crlf = "PID TTY STAT TIME COMMAND\r\n1 ? S 0:00 init\r\n2 ? S 0:00 sshd\r\n";
    const std::tuple<std::string, const char*, int, Entries> cases[] = {
        {ps, "LF", 5, {"/sbin/init splash", "/usr/sbin/sshd -D"}},
        {"", "LF", 5, {}},
        {"Welcome\nlast login\n 1 ? S 0:00 init\n", "LF", 5, {}},  // no header
        {"PI\nxx\n", "LF", 1, {}},
        {"PID\n12\n", "LF", 1, {"12"}},  // a header of the three letters alone
        {"motd\n   pid tty stat time command\n 5 ? S 0:01 cron -f\n", "LF", 5, {"cron -f"}},
        {crlf, "CRLF", 5, {"init", "sshd"}},
        {"Last login\r\n" + crlf, "CR", 5, {}},  // every later piece starts with LF: no header
        {crlf, "LF", 5, {"init\r", "sshd\r"}},   // only spaces are trimmed
        {"PID A B C D\r1 ? S 0:00 x\r", "CR", 5, {"x"}},
        {"PID A B C D\n1 ? S 0:00 x\n", "lf", 5, {"x"}},  // an unknown line end reads as LF
        {"PID A B C D\n1 ? S 0:00 a\nPID TTY STAT TIME COMMAND\n", "LF", 5, {"a", "COMMAND"}},
        {"PID A B C D\n1 ? S\n2 ? S 0:00 b\n", "LF", 5, {"b"}},  // shorter than the column
    };
    for (const auto& [text, eol, column, expected] : cases)
        EXPECT_EQ(split_listing(text, eol, column), expected) << text;
}

// The thread's lines keep one empty slot while they hold no entry; a second listing appends.
TEST(SplittInLines, AppendsTheEntriesToThisThreadsLines) {
    reset_module_state();
    CheckSettings.EOLType = "LF";
    CheckSettings.Column = 5;
    Splitt_in_lines("motd only\n");
    EXPECT_EQ(SessionState.Lines, Entries{""});
    EXPECT_EQ(SessionState.LineCount, 0);
    for (int i = 0; i < 2; ++i) Splitt_in_lines("PID A B C D\n1 ? S 0:00 init\n");
    EXPECT_EQ(SessionState.Lines, (Entries{"init", "init"}));
    EXPECT_EQ(SessionState.LineCount, 2);
}

TEST(GiveParameter, SelectsFromAWordToTheEndOfTheLine) {
    const std::pair<int, const char*> words[] = {
        {1, "a  b   c"}, {2, "b   c"}, {3, "c"}, {4, ""}, {0, "a  b   c"}, {-3, "a  b   c"}};
    for (const auto& [n, expected] : words)
        EXPECT_EQ(GiveParameter("a  b   c", n, false), expected);
    EXPECT_EQ(GiveParameter("x\ty z", 2, false), "z");  // a tab is no separator
    std::string many;
    for (int i = 1; i <= 40; ++i) many += "w" + std::to_string(i) + " ";
    EXPECT_EQ(GiveParameter(many, 35, false), "w35 w36 w37 w38 w39 w40");  // no cap at 20
}

TEST(GiveParameter, TheAdjustedSelectionReadsPastAMonthNameInTheFifthWord) {
    EXPECT_EQ(GiveParameter("u 1 0 0 10:15:42 ? 0:01 cmd -x", 8, true), "cmd -x");
    EXPECT_EQ(GiveParameter("u 1 0 0 Mar 03 ? 0:01 cmd -x", 8, true), "cmd -x");
    EXPECT_EQ(GiveParameter("u 1 0", 8, true), "");
    EXPECT_EQ(GiveParameter("u 1 0 0 Mar 03 ?", 3, true), "0 0 Mar 03 ?");
    EXPECT_EQ(GiveParameter("a b c d Mar f", 5, true), "Mar f");
}

TEST(SortWords, OrdersByUtf16CodeUnitsWithUpperCaseFirst) {
    // Characters above U+FFFF are surrogate pairs in UTF-16, so they sort below U+E000..U+FFFF.
    const std::string e000 = "\xEE\x80\x80", fffd = "\xEF\xBF\xBD", u10000 = "\xF0\x90\x80\x80",
                      smile = "\xF0\x9F\x98\x80";
    SessionState.Lines = {"中",       "a", e000, "Ö",  u10000,       "bash", "A",
                          "z" + e000, "-", "é",  fffd, smile,        "1",    " x",
                          "ab",       "z", "b",  "B",  "z" + u10000, "bash"};
    SessionState.LineCount = static_cast<int16_t>(SessionState.Lines.size());
    SortWords();
    EXPECT_EQ(
        SessionState.Lines,
        (Entries{" x", "-",          "1",        "A", "B", "a",  "ab",   "b",   "bash", "bash",
                 "z",  "z" + u10000, "z" + e000, "Ö", "é", "中", u10000, smile, e000,   fffd}));
}

}  // namespace
}  // namespace varnok
