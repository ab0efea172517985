/*
 * The upgrade driver: upgrade_main(argc, argv) parses the options into the
 * run's inputs, starts debugging, completes the inputs
 * (check_program_inputs), checks the previous file with config_check, merges
 * through the engine on the open handles, checks the result and renames the
 * temporary copy into place. It alone ends the process: exit status 0 for a
 * completed upgrade, 1 for anything else, after the save-on-failure rule and
 * the EXIT text of a failed run.
 */
#ifndef UPGRADE_DRIVER_H
#define UPGRADE_DRIVER_H

#include <string>

#include "upgrade_report.h"

/* What the driver holds for one run: the inputs it fills, and the run the
 * other parts see them through. */
struct DriverRun {
    DriverRun() = default;
    DriverRun(const DriverRun&) = delete;
    DriverRun& operator=(const DriverRun&) = delete;

    UPGRADE_INPUTS inputs{};
    UPGRADE_RUN run{inputs, {}};
    // The working copy's lock, held from before the copy is made until the
    // configuration file library takes it over at the merge; -1 when not held.
    int copy_lock_fd = -1;
    // A preview's private directory: its name (for messages and the final
    // removal), the descriptor through which everything in it is reached,
    // and the name through that descriptor (inputs.preview_dir points here).
    std::string preview_name;
    int preview_fd = -1;
    std::string preview_dir;
};

/* The new configuration file's name as the run uses it (a name that begins
 * with neither "/" nor "." taken in CONFIG_DIR, trailing "/" cut), its
 * directory D (ending in "/", or empty) and its base name F. */
struct BASE_NAMES {
    std::string new_config_file;
    std::string dir;
    std::string filename;
};
BASE_NAMES base_names(const char* new_config_file, const char* config_dir);
/* The defaults of the inputs no option gave: D/upgrade/F.upg,
 * D/syntax/F.syn and D/<previous version>/custom/F. */
struct DEFAULT_NAMES {
    std::string upgrade_rules_file;
    std::string new_syntax_file;
    std::string prev_config_file;
};
DEFAULT_NAMES default_names(const BASE_NAMES& base, const char* prev_kx_version);
/* The previous file's syntax file: syntax/<its name>.syn beside it. */
std::string default_prev_syntax_file(const std::string& prev_config_file);
/* The working copy and the check log of a run whose result goes to
 * RESULT_TARGET: its name + ".tup", and F.chk in its directory. */
std::string temporary_copy_name(const std::string& result_target);
std::string check_log_name(const std::string& result_target, const BASE_NAMES& base);

[[noreturn]] void upgrade_main(int argc, char** argv);
void check_program_inputs(DriverRun& d);
void open_config_files(DriverRun& d);
void close_config_files(DriverRun& d);

#endif
