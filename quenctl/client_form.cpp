#include "quenctl/client_form.h"

#include <cctype>

std::string client_form(const std::string& folder, bool lowercase) {
    std::string s = folder;
    for (char& ch : s)
        if (ch == '\\') ch = '/';
    auto lower = [&](size_t at) {
        if (at < s.size()) s[at] = char(std::tolower(static_cast<unsigned char>(s[at])));
    };
    if (s.size() >= 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0]))) {
        // "C:/dir" -> "/c/dir"
        std::string drive = "/";
        drive += lowercase ? char(std::tolower(static_cast<unsigned char>(s[0]))) : s[0];
        drive.append(s, 2, std::string::npos);
        s = drive;
    } else if (s.rfind("//?/", 0) == 0 && s.size() >= 6 && s[5] == ':') {
        lower(4);
    }
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}
