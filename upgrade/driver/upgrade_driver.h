/*
 * The upgrade driver: upgrade_main(argc, argv) parses the options into
 * upgrade_inputs, starts debugging, completes the inputs
 * (check_program_inputs), checks the previous file with config_check, merges
 * through upgrade_all_sections on the open handles, checks the result and
 * renames the temporary copy into place. It never returns: exit status 0
 * for a completed upgrade, 1 for anything else.
 */
#ifndef UPGRADE_DRIVER_H
#define UPGRADE_DRIVER_H

[[noreturn]] void upgrade_main(int argc, char** argv);
void check_program_inputs(void);
[[noreturn]] void print_usage(void);
/* 0 when config_check accepts config_file, else its exit status or the raw
 * status of a command that did not end normally. */
int run_config_check(const char* config_file, const char* syntax_file, const char* log_file);
void open_config_files(void);
void close_config_files(void);

#endif
