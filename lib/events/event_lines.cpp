// Line helpers of the event file reader.
#include "kx_parse.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

int Readline(FILE* stream, char** line) {
    *line = nullptr;
    std::string text;
    int c;
    while ((c = std::fgetc(stream)) != EOF && c != '\n') text.push_back(static_cast<char>(c));
    if (std::ferror(stream)) return KXEV_EREADLINE;
    if (c == EOF && text.empty()) return KXEV_EEOF;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) return KXEV_EREADLINE;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *line = copy;
    return 0;
}

char* ltrim(char* text) {
    while (*text && std::isspace(static_cast<unsigned char>(*text))) ++text;
    return text;
}

char* rtrim(char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && std::isspace(static_cast<unsigned char>(text[n - 1]))) text[--n] = '\0';
    return text;
}

int GetStringsFromLine(const char* line, char** name, char** value) {
    *name = nullptr;
    *value = nullptr;
    const char* colon = std::strchr(line, ':');
    if (!colon) return 1;
    size_t name_len = static_cast<size_t>(colon - line);
    char* n = static_cast<char*>(std::malloc(name_len + 1));
    char* v = strdup(colon + 1);
    if (!n || !v) {
        std::free(n);
        std::free(v);
        return -1;
    }
    std::memcpy(n, line, name_len);
    n[name_len] = '\0';
    rtrim(n);
    char* start = ltrim(v);
    std::memmove(v, start, std::strlen(start) + 1);
    *name = n;
    *value = v;
    return 0;
}
