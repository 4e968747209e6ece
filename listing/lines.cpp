// SPDX-License-Identifier: Apache-2.0
#include "listing/lines.h"

#include <algorithm>
#include <iterator>

#include "settings/codepage.h"
#include "settings/text.h"
#include "state/state.h"

namespace varnok {
namespace {

std::string_view plain_selection(std::string_view s, int pNr) {
    s = trim_spaces(s);
    for (int i = 1; i < pNr && !s.empty(); ++i) {
        const size_t space = s.find(' ');
        s = space == std::string_view::npos ? std::string_view() : trim_spaces(s.substr(space + 1));
    }
    return s;
}

bool is_header(std::string_view piece) {
    piece = trim_spaces(piece);
    if (piece.size() < 3) return false;
    std::string first(piece.substr(0, 3));
    for (char& c : first) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return first == "PID" || first == "UID";
}

// The order of a code point's first UTF-16 unit: characters above U+FFFF start with a
// surrogate, below U+E000..U+FFFF.
unsigned long utf16_rank(long cp) {
    if (cp < 0) return 0xFFFD + 0x200000;  // invalid bytes read as U+FFFD
    if (cp >= 0xE000 && cp <= 0xFFFF) return static_cast<unsigned long>(cp) + 0x200000;
    return static_cast<unsigned long>(cp);
}

}  // namespace

std::string_view give_parameter_view(std::string_view s, int pNr, bool Alternate) {
    if (Alternate && pNr > 5) {
        const std::string_view fifth = plain_selection(s, 5);
        const bool digit = !fifth.empty() && fifth.front() >= '0' && fifth.front() <= '9';
        return plain_selection(s, digit ? pNr : pNr + 1);
    }
    return plain_selection(s, pNr);
}

std::string GiveParameter(std::string s, int pNr, bool Alternate) {
    return std::string(give_parameter_view(s, pNr, Alternate));
}

std::vector<std::string> split_listing(std::string_view text, std::string_view eol, int column) {
    text = trim_spaces(text);
    const std::string_view separator = eol == "CR" ? "\r" : eol == "CRLF" ? "\r\n" : "\n";
    std::vector<std::string> entries;
    bool header = false;
    size_t pos = 0;
    while (!text.empty() && pos <= text.size()) {
        size_t end = text.find(separator, pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = text.substr(pos, end - pos);
        pos = end + separator.size();
        if (!header) {
            header = is_header(piece);
            continue;
        }
        const std::string_view entry = trim_spaces(give_parameter_view(piece, column, true));
        if (entry.empty()) continue;
        entries.emplace_back(entry);
        if (entries.size() > static_cast<size_t>(kMaxEntries)) break;
    }
    return entries;
}

void Splitt_in_lines(std::string s) {
    std::vector<std::string> entries =
        split_listing(s, CheckSettings.EOLType, CheckSettings.Column);
    SessionStateRecord& state = SessionState;
    const size_t room = static_cast<size_t>(kMaxEntries - state.LineCount);
    if (entries.size() > room) {
        entries.resize(room);
        if (state.ConnectError.empty()) state.ConnectError = std::string(kTooManyProcesses);
    }
    const auto added = static_cast<int16_t>(entries.size());
    if (state.LineCount == 0)
        state.Lines = std::move(entries);
    else
        std::move(entries.begin(), entries.end(), std::back_inserter(state.Lines));
    if (state.Lines.empty()) state.Lines.emplace_back();
    state.LineCount = static_cast<int16_t>(state.LineCount + added);
}

bool utf16_less(std::string_view a, std::string_view b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ib == b.end()) return false;  // b is a prefix of a, or equal
    if (ia == a.end()) return true;
    // Back up to the start of the character that differs; the bytes before are shared.
    size_t pos = static_cast<size_t>(ia - a.begin());
    while (pos > 0 && (static_cast<unsigned char>(a[pos]) & 0xC0) == 0x80) --pos;
    size_t pa = pos, pb = pos;
    const unsigned long ra = utf16_rank(decode_utf8(a, pa));
    const unsigned long rb = utf16_rank(decode_utf8(b, pb));
    if (ra != rb) return ra < rb;
    // Two invalid sequences: fall back to the bytes so the order stays strict.
    return a.substr(pos) < b.substr(pos);
}

void SortWords() {
    SessionStateRecord& state = SessionState;
    const auto count = static_cast<size_t>(std::max<int>(0, state.LineCount));
    if (count < 2 || state.Lines.size() < count) return;
    // UTF-8 bytes already sort as code points; only texts with a lead byte from 0xEE up (the
    // characters from U+E000, where UTF-16 order differs) need the slower comparison. Sorting
    // small records and moving each string once keeps the sort itself cheap.
    struct Item {
        std::string_view text;
        uint32_t index;
        bool special;
    };
    std::vector<Item> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const std::string& t = state.Lines[i];
        const bool special = std::any_of(
            t.begin(), t.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xEE; });
        items.push_back({t, static_cast<uint32_t>(i), special});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& x, const Item& y) {
        if (!x.special && !y.special) return x.text < y.text;
        return utf16_less(x.text, y.text);
    });
    std::vector<std::string> sorted;
    sorted.reserve(state.Lines.size());
    for (const Item& item : items) sorted.push_back(std::move(state.Lines[item.index]));
    for (size_t i = count; i < state.Lines.size(); ++i) sorted.push_back(std::move(state.Lines[i]));
    state.Lines = std::move(sorted);
}

}  // namespace varnok
