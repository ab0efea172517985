// A private copy of what a stream gives (standard input, a pipe), in a
// directory of its own that goes with it: the configuration library reads
// files whose size it knows, so a stream is read into a file first.
#pragma once

#include <string>

namespace kx_syntax {

// How a tool names standard input in its messages.
constexpr const char* kStandardInputName = "(standard input)";

class ScratchCopy {
public:
    ScratchCopy() = default;
    ~ScratchCopy();
    ScratchCopy(const ScratchCopy&) = delete;
    ScratchCopy& operator=(const ScratchCopy&) = delete;

    // Copies everything FD gives until its end; 0 or the reason (an errno
    // value). Once only.
    int copy_from(int fd);
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

}  // namespace kx_syntax
