// The tokenizer of the exports file: one token at a time, with a double
// quote state that lasts from token to token, and the line count.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum class export_token_kind { end, end_of_line, option, client, path, invalid };

struct export_token {
    export_token_kind kind = export_token_kind::end;
    std::string text;  // option without its "-", client name, path
};

struct export_tokenizer {
    const char* text = nullptr;
    size_t length = 0;
    size_t pos = 0;
    bool quoted = false;
    uint32_t line = 1;
};

export_token export_next_token(export_tokenizer& t);
// Skips to the start of the next line (counting it) and clears the quote state.
void export_skip_line(export_tokenizer& t);
// Whether a path token has one of the accepted volume forms.
bool export_path_form_valid(const std::string& path);
