#include "quen/mount/exports_tokens.h"

#include "quen/config/char_class.h"
#include "quen/mount/exports.h"

#include <cstring>

namespace {

// Carriage returns count as blanks so that files saved with CRLF endings read
// as their LF form.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool ends_word(char c) { return is_blank(c) || c == '\n'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool at_end(const export_tokenizer& t) { return t.pos >= t.length; }

// A path word from t.pos: quotes are dropped and toggle the state; while the
// state is open blanks belong to the path. false for a line or file end
// inside quotes, or a path too long.
bool read_path(export_tokenizer& t, std::string& out) {
    out.clear();
    while (!at_end(t)) {
        const char c = t.text[t.pos];
        if (c == '"') {
            t.quoted = !t.quoted;
            ++t.pos;
            continue;
        }
        if (t.quoted) {
            if (c == '\n') return false;
        } else if (ends_word(c)) {
            break;
        }
        if (out.size() + 1 >= kExportPathMax) return false;
        out += c;
        ++t.pos;
    }
    return !t.quoted;
}

}  // namespace

void export_skip_line(export_tokenizer& t) {
    while (!at_end(t) && t.text[t.pos] != '\n') ++t.pos;
    if (!at_end(t)) {
        ++t.pos;
        ++t.line;
    }
    t.quoted = false;
}

bool export_path_form_valid(const std::string& path) {
    const char* p = path.c_str();
    if (std::strncmp(p, "\\\\?\\", 4) == 0) p += 4;
    if (is_letter(p[0]) && p[1] == ':') {
        p += 2;
    } else if (ascii_equal_ignoring_case(p, "Volume{", 7) && std::strlen(p) >= 7) {
        const char* close = std::strchr(p + 7, '}');
        if (!close) return false;
        p = close + 1;
    } else if (p[0] == '\\' && p[1] == '\\' && p[2] != '\0' && p[2] != '\\') {
        p += 2;
        while (*p && *p != '\\') ++p;
    } else {
        return false;
    }
    return *p == '\0' || *p == '\\';
}

export_token export_next_token(export_tokenizer& t) {
    export_token tok;
    for (;;) {
        if (at_end(t)) {
            tok.kind = export_token_kind::end;
            return tok;
        }
        const char c = t.text[t.pos];
        if (is_blank(c)) {
            ++t.pos;
        } else if (c == '"') {
            t.quoted = !t.quoted;
            ++t.pos;
        } else if (c == '#') {
            while (!at_end(t) && t.text[t.pos] != '\n') ++t.pos;
            if (!at_end(t)) ++t.pos;
            ++t.line;
            t.quoted = false;
            tok.kind = export_token_kind::end_of_line;
            return tok;
        } else if (c == '\n') {
            ++t.pos;
            ++t.line;
            tok.kind = export_token_kind::end_of_line;
            return tok;
        } else {
            break;
        }
    }
    const size_t start = t.pos;
    size_t end = start;
    while (end < t.length && !ends_word(t.text[end])) ++end;
    const char first = t.text[start];
    if (first == '-') {
        tok.kind = export_token_kind::option;
        tok.text.assign(t.text + start + 1, end - start - 1);
        t.pos = end;
        return tok;
    }
    if (first != '\\' && !is_letter(first) && !is_digit(first)) {
        tok.kind = export_token_kind::invalid;
        tok.text.assign(t.text + start, end - start);
        t.pos = end;
        return tok;
    }
    const std::string word(t.text + start, end - start);
    if (word.find_first_of("\\:{") == std::string::npos) {
        tok.kind = export_token_kind::client;
        for (char ch : word)
            if (ch != '"') tok.text += ch;
        t.quoted = false;
        t.pos = end;
        return tok;
    }
    if (!read_path(t, tok.text) || !export_path_form_valid(tok.text)) {
        tok.kind = export_token_kind::invalid;
        return tok;  // the caller skips the rest of the line
    }
    tok.kind = export_token_kind::path;
    return tok;
}
