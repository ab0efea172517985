// Stand-in for the mail submission program, for tests: appends each
// argument on a line "arg: TEXT", then a line "body:", then everything read
// from standard input, to the file named by KX_MAIL_SINK_FILE.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kx_program_version.h"

namespace {

constexpr const char* kHelp =
    "usage: mail_sink [ARGUMENT...] <message\n"
    "A stand-in for the mail submission program, for tests: appends \"arg: TEXT\"\n"
    "for each argument, a line \"body:\" and the message read from standard input\n"
    "to the file named by KX_MAIL_SINK_FILE.\n"
    "Exit status: 0 when all was written, 1 on a read error, 2 when the file\n"
    "cannot be opened or KX_MAIL_SINK_FILE is not set.\n";

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int main(int argc, char** argv) {
    // Only alone on the command line: the suite passes addresses, never these.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("mail_sink (Kestrix) %s\n", KX_PROGRAM_VERSION);
        return 0;
    }
    const char* target = std::getenv("KX_MAIL_SINK_FILE");
    if (target == nullptr || *target == '\0') {
        std::fputs("mail_sink: KX_MAIL_SINK_FILE is not set\n", stderr);
        return 2;
    }
    std::unique_ptr<FILE, FileCloser> out(std::fopen(target, "a"));
    if (!out) {
        std::perror(target);
        return 2;
    }
    for (int i = 1; i < argc; ++i) std::fprintf(out.get(), "arg: %s\n", argv[i]);
    std::fputs("body:\n", out.get());
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) std::fwrite(buffer, 1, n, out.get());
    return std::ferror(stdin) ? 1 : 0;
}
