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
    bool preview_requested = false;
    std::string preview_dir;  // inputs.preview_dir points here
};

[[noreturn]] void upgrade_main(int argc, char** argv);
void check_program_inputs(DriverRun& d);
void open_config_files(DriverRun& d);
void close_config_files(DriverRun& d);

#endif
