// What the driver's files share: the helpers for paths and for starting
// programs, and each file's entry points for the run.
#ifndef DRIVER_INTERNAL_H
#define DRIVER_INTERNAL_H

#include <cstddef>
#include <string>
#include <vector>

#include "upgrade_driver.h"

namespace driver {

// ---- Paths (inputs.cpp) ------------------------------------------------------

// The directory part of a path, up to and including its last "/"; empty
// when it has none.
std::string directory_of(const std::string& path);
// The last component of a path (trailing "/" ignored); the path itself is
// left as it is.
std::string last_component(std::string path);
// A derived name must fit the suite's path limit, with room for the
// suffixes the configuration file library adds to it; the run ends otherwise.
void check_path_length(DriverRun& d, const std::string& path, std::size_t reserve = 0);
// The line of a file that kxcf_open refused (kxcf_lineno, kx_errno) and how
// to mend it, as report lines; empty for a refusal that is no fault of the
// file's text.
std::string parse_fault_hint(const char* path);

// ---- Programs started by the driver (checker.cpp) ------------------------------

// Status of a program that could not be started, as the shell gives it.
inline constexpr int kNotStarted = 127;
inline constexpr const char* kHintNotFound = "not found along PATH";

// A program started by this one (the checker, or diff for a preview).
struct ProgramRun {
    int status;           // for the checker: 0 when it accepts the file, else its exit status
    std::string not_run;  // why the program could not be started; empty when it ran
};

// NAME as the shell would find it along PATH; empty when none.
std::string program_along_path(const char* name);
// Starts PROGRAM with ARGS (no shell) with its standard output on OUT_FD
// (when not -1) and waits for it.
ProgramRun spawn_program(const std::string& program, const std::vector<std::string>& args, int out_fd,
                         int& wait_errno);

// ---- Steps of the run -----------------------------------------------------------

// Options into the inputs and debug_flags; the usage text and exit 1 for a
// bad command line (options.cpp).
void parse_upgrade_options(DriverRun& d, int argc, char** argv);
[[noreturn]] void usage_exit(DriverRun& d);
// config_check on the previous file and on the result (checker.cpp).
void check_previous_file(DriverRun& d);
void check_result_file(DriverRun& d);
// A preview's private directory, and its diff and removal at the end
// (preview.cpp).
void start_preview(DriverRun& d);
void finish_preview(DriverRun& d);

}  // namespace driver

#endif
