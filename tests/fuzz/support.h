// Shared by the fuzz targets: the readers under test take file names, so
// each input is written to a file in a private directory first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kxfuzz {

// The private directory of this process, made on first use; KESTRIX_HOME
// points at it, so nothing reads a real installation.
const std::string& work_dir();

// Writes SIZE bytes of DATA to work_dir()/NAME and returns its path.
std::string put_file(const char* name, const std::uint8_t* data, std::size_t size);
std::string put_file(const char* name, const std::string& text);

// Ends the run with a report that libFuzzer records as a crash.
[[noreturn]] void property_failed(const char* what, const std::string& detail);

}  // namespace kxfuzz
