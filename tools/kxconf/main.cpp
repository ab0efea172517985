// kxconf: the suite's configuration files from the shell. Every failure
// ends here with its message on standard error and its exit status.
#include <cerrno>
#include <cstdio>
#include <new>

#include "kxconf.h"

int main(int argc, char** argv) {
    using namespace kxconf;
    try {
        Options options;
        if (!parse_command_line(argc, argv, options)) return kDone;
        return options.run(options);
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", kProgram, failure.message.c_str());
        return failure.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error_text(ENOMEM).c_str());
        return kFileError;
    }
}
