// Stand-in for the mail submission program, for tests: appends each
// argument on a line "arg: TEXT", then a line "body:", then everything read
// from standard input, to the file named by KX_MAIL_SINK_FILE.

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int main(int argc, char** argv) {
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
