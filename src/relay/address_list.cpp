// ParseAddressList of message_header_reader.h: a lexer that drops comments and white
// space, then a parser over its tokens that recovers at the next comma.
#include "relay/message_header_reader.h"

#include "platform/ascii_text.h"

namespace lumenpost {
namespace {

constexpr std::string_view kAtextSpecials = "!#$%&'*+-/=?^_`{|}~";
constexpr std::string_view kSpecials = "<>:;,@.";

enum class TokenKind { word, literal, special, bad };

struct Token {
    TokenKind kind;
    std::string_view text; // as written: a quoted string keeps its quotes
    std::size_t begin;     // offset in the list's text
};

// Octets beyond ASCII pass as atext: UTF-8 addresses are checked where they are used.
bool IsAtext(char c) {
    return IsAsciiLetterOrDigit(c) || kAtextSpecials.find(c) != std::string_view::npos ||
           static_cast<unsigned char>(c) >= 0x80;
}

// The offset after the `close` that ends the quoted text opened at `open`; npos when it
// never ends. A backslash quotes the octet after it.
std::size_t EndOfQuoted(std::string_view text, std::size_t open, char close) {
    for (std::size_t at = open + 1; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == close) {
            return at + 1;
        }
    }
    return std::string_view::npos;
}

// The offset after the comment opened at `open` (comments nest); npos when it never ends.
std::size_t EndOfComment(std::string_view text, std::size_t open) {
    int depth = 0;
    for (std::size_t at = open; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == '(') {
            ++depth;
        } else if (text[at] == ')' && --depth == 0) {
            return at + 1;
        }
    }
    return std::string_view::npos;
}

std::vector<Token> Tokenize(std::string_view text) {
    std::vector<Token> tokens;
    std::size_t at = 0;
    auto take = [&](TokenKind kind, std::size_t end) {
        tokens.push_back({kind, text.substr(at, end - at), at});
        at = end;
    };
    while (at < text.size()) {
        const char c = text[at];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
        } else if (c == '(') {
            const std::size_t end = EndOfComment(text, at);
            if (end == std::string_view::npos) {
                take(TokenKind::bad, text.size());
            } else {
                at = end;
            }
        } else if (c == '"' || c == '[') {
            const std::size_t end = EndOfQuoted(text, at, c == '"' ? '"' : ']');
            if (end == std::string_view::npos) {
                take(TokenKind::bad, text.size());
            } else {
                take(c == '"' ? TokenKind::word : TokenKind::literal, end);
            }
        } else if (kSpecials.find(c) != std::string_view::npos) {
            take(TokenKind::special, at + 1);
        } else if (IsAtext(c)) {
            std::size_t end = at;
            while (end < text.size() && IsAtext(text[end])) {
                ++end;
            }
            take(TokenKind::word, end);
        } else {
            take(TokenKind::bad, at + 1);
        }
    }
    return tokens;
}

class AddressListParser {
public:
    explicit AddressListParser(std::string_view text) : text_(text), tokens_(Tokenize(text)) {}

    AddressList Parse() {
        while (!AtEnd()) {
            if (Is(',')) {
                ++at_; // an empty entry (obsolete syntax)
            } else {
                Entry(false);
            }
        }
        return std::move(result_);
    }

private:
    bool AtEnd() const { return at_ >= tokens_.size(); }
    bool Is(char special) const {
        return !AtEnd() && tokens_[at_].kind == TokenKind::special &&
               tokens_[at_].text.front() == special;
    }
    bool IsWordOrDot() const {
        return !AtEnd() && (tokens_[at_].kind == TokenKind::word || Is('.'));
    }
    bool EntryEnds(bool inGroup) const { return AtEnd() || Is(',') || (inGroup && Is(';')); }

    // One mailbox, or (outside a group) one group; recovers at the end of the entry.
    void Entry(bool inGroup) {
        const std::size_t first = at_;
        while (IsWordOrDot()) {
            ++at_; // a display name, or the local part of a bare address
        }
        std::optional<std::string> mailbox;
        if (Is('<')) {
            ++at_;
            mailbox = AngleAddress();
        } else if (Is(':') && !inGroup && at_ > first) {
            ++at_;
            Group(first);
            return;
        } else if (Is('@') && at_ > first) {
            mailbox = AddressFrom(first);
        }
        if (mailbox && EntryEnds(inGroup)) {
            result_.addresses.push_back(std::move(*mailbox));
        } else {
            Unreadable(first, inGroup);
        }
    }

    // After "name:": the group's mailboxes up to ";".
    void Group(std::size_t first) {
        while (!AtEnd() && !Is(';')) {
            if (Is(',')) {
                ++at_;
            } else {
                Entry(true);
            }
        }
        if (Is(';')) {
            ++at_;
        }
        if (!EntryEnds(false)) {
            Unreadable(first, false);
        }
    }

    // After "<": [route ":"] local "@" domain ">".
    std::optional<std::string> AngleAddress() {
        if (Is('@')) { // an obsolete source route: "<@a,@b:user@host>"
            while (!AtEnd() && !Is(':') && !Is('>')) {
                ++at_;
            }
            if (!Is(':')) {
                return std::nullopt;
            }
            ++at_;
        }
        const std::size_t first = at_;
        while (IsWordOrDot()) {
            ++at_;
        }
        if (at_ == first || !Is('@')) {
            return std::nullopt;
        }
        std::optional<std::string> address = AddressFrom(first);
        if (!address || !Is('>')) {
            return std::nullopt;
        }
        ++at_;
        return address;
    }

    // The local part in tokens [first, at_), at the "@"; then the domain.
    std::optional<std::string> AddressFrom(std::size_t first) {
        std::string address;
        if (!Joined(first, at_, address)) {
            return std::nullopt;
        }
        address += '@';
        const std::size_t domainFirst = ++at_;
        while (!AtEnd() && (tokens_[at_].kind == TokenKind::word ||
                            tokens_[at_].kind == TokenKind::literal || Is('.'))) {
            ++at_;
        }
        if (at_ == domainFirst || !Joined(domainFirst, at_, address)) {
            return std::nullopt;
        }
        return address;
    }

    // Appends the tokens without what stood between them; false when two words meet
    // without a dot ("john doe"), which would join them into another name.
    bool Joined(std::size_t first, std::size_t end, std::string& out) const {
        for (std::size_t i = first; i < end; ++i) {
            const bool word = tokens_[i].kind != TokenKind::special;
            if (word && i > first && tokens_[i - 1].kind != TokenKind::special) {
                return false;
            }
            out += tokens_[i].text;
        }
        return true;
    }

    // Skips to the end of the entry that starts at token `first` and keeps its text.
    void Unreadable(std::size_t first, bool inGroup) {
        while (!EntryEnds(inGroup)) {
            ++at_;
        }
        const std::size_t begin = tokens_[first].begin;
        const std::size_t end = AtEnd() ? text_.size() : tokens_[at_].begin;
        result_.unreadable.push_back(Trim(text_.substr(begin, end - begin)));
    }

    std::string_view text_;
    std::vector<Token> tokens_;
    std::size_t at_ = 0;
    AddressList result_;
};

} // namespace

AddressList ParseAddressList(std::string_view body) {
    return AddressListParser(body).Parse();
}

} // namespace lumenpost
