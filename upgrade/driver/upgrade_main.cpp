// The run of the upgrade from the inputs to the installed result, the
// three open files, and the failed end: the driver alone ends the process.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "driver_internal.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kxcf.h"
#include "upgrade_engine.h"

using namespace driver;

namespace {

constexpr const char* kMsgSuccess = "SUCCESS:  Kestrix Configuration File Upgrade Completed\n  New Config File:\t%s";

constexpr const char* kMsgMalloc = "malloc failed";
constexpr const char* kExitFailed = "EXIT: Kestrix Configuration File Upgrade FAILED\n";
constexpr const char* kExitSaved =
    "  Modifications to New configuration file were saved with errors\n"
    "  Running Kestrix with this configuration file may have erroneous results\n";
constexpr const char* kExitNotSaved = "  Modifications to New configuration file were NOT saved";
constexpr const char* kExitNewFile = "  New Config File: ";
constexpr const char* kExitOutputFile = "  Output Config File: ";

constexpr const char* kMsgDebugOpen = "main: debug file open fail";
constexpr const char* kMsgOpenNew = "Open failed for Configuration file %s";
constexpr const char* kMsgOpenPrev = "Open failed for Customer's Previous Configuration file";
constexpr const char* kMsgOpenRules = "Open failed for Upgrade Rules file";
constexpr const char* kMsgFlushNew = "Flush failed for Configuration file %s";
constexpr const char* kMsgCloseNew = "Close failed for Configuration file %s";
constexpr const char* kMsgClosePrev = "Close failed for Customer's Previous Configuration file";
constexpr const char* kMsgCloseRules = "Close failed for Upgrade Rules file";
constexpr const char* kMsgRename = "Rename of temporary file %s\n  to New configuration file %s failed";
constexpr const char* kMsgReportWrite = "Decision report %s cannot be written";

// The arguments as dbg_show_args writes them, for a preview's traces.
void show_args_of_preview(DriverRun& d, int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        upgrade_debug_format(d.run, show_args, "%s arg[%d] = '%s'", argv[0], i, argv[i]);
}

void start_debugging(DriverRun& d, int argc, char** argv) {
    if (debug_flags == 0) return;
    // The debug file belongs to the installation, which a preview leaves alone.
    if (d.inputs.preview) {
        show_args_of_preview(d, argc, argv);
        return;
    }
    if (dbg_open(d.inputs.program_name) != 0) {
        int reason = errno;
        debug_flags = 0;
        upgrade_fatal(d.run, reason, kMsgDebugOpen, FileKind::none);
    }
    if (debug_flags & show_args) dbg_show_args(argc, argv);
}

void merge_previous_file(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    if (!in.prev_config_file) return;
    open_config_files(d);
    const UPGRADE_STATE& files = d.run.state;
    UpgradeEngine(d.run, files.new_cfg, files.prev_cfg, files.rules_cfg).upgrade_all_sections();
    close_config_files(d);
}

void install_result(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    const std::string target_name = upgrade_result_target(in);
    const char* target = target_name.c_str();
    // Behind a symbolic link the linked file is replaced, and the result
    // keeps the owner, group and mode of the file it replaces.
    if (replace_file(in.tmp_new_config_file, target) != 0) {
        int reason = kx_errno;
        upgrade_fatal(d.run, reason, upgrade_format(kMsgRename, in.tmp_new_config_file, target).c_str(),
                      FileKind::none);
    }
    remove_lock_file(in.tmp_new_config_file);
    std::string text = upgrade_format(kMsgSuccess, target);
    upgrade_log(d.run, text.data());
}

}  // namespace

void open_config_files(DriverRun& d) {
    UPGRADE_INPUTS& in = d.inputs;
    UPGRADE_STATE& files = d.run.state;
    upgrade_debug_line(d.run, show_funcs, "open_config_files:\n");
    kxcf_lineno = 0;
    // The library's handle of the copy takes the lock over; its lock and the
    // driver's would exclude each other even in one process.
    if (d.copy_lock_fd >= 0) ::close(d.copy_lock_fd);
    d.copy_lock_fd = -1;
    files.new_cfg = kxcf_open(in.tmp_new_config_file, KXCF_UPDATE | KXCF_NOEXPAND);
    // The copy is the -c file byte for byte: a fault in its text, and its
    // line, are the -c file's; its lock is the copy's own.
    if (!files.new_cfg) {
        const bool text_fault = kxcf_lineno > 0 || kx_errno == KXCF_EFILESIZE;
        const char* name = text_fault ? in.new_config_file : in.tmp_new_config_file;
        upgrade_fatal_more(d.run, kx_errno, upgrade_format(kMsgOpenNew, name).c_str(), FileKind::new_file,
                           parse_fault_hint(in.new_config_file));
    }
    files.prev_cfg = kxcf_open(in.prev_config_file, KXCF_NOEXPAND);
    if (!files.prev_cfg)
        upgrade_fatal_more(d.run, kx_errno, kMsgOpenPrev, FileKind::previous, parse_fault_hint(in.prev_config_file));
    files.rules_cfg = kxcf_open(in.upgrade_rules_file, KXCF_NOEXPAND);
    if (!files.rules_cfg)
        upgrade_fatal_more(d.run, kx_errno, kMsgOpenRules, FileKind::rules, parse_fault_hint(in.upgrade_rules_file));
}

void close_config_files(DriverRun& d) {
    UPGRADE_INPUTS& in = d.inputs;
    UPGRADE_STATE& files = d.run.state;
    upgrade_debug_line(d.run, show_funcs, "close_config_files:\n");
    if (kxcf_flush(files.new_cfg) != 0)
        upgrade_fatal(d.run, kx_errno, upgrade_format(kMsgFlushNew, in.tmp_new_config_file).c_str(),
                      FileKind::new_file);
    int closed = kxcf_close(files.new_cfg);
    files.new_cfg = nullptr;
    if (closed != 0)
        upgrade_fatal(d.run, kx_errno, upgrade_format(kMsgCloseNew, in.tmp_new_config_file).c_str(),
                      FileKind::new_file);
    closed = kxcf_close(files.prev_cfg);
    files.prev_cfg = nullptr;
    if (closed != 0) upgrade_fatal(d.run, kx_errno, kMsgClosePrev, FileKind::previous);
    closed = kxcf_close(files.rules_cfg);
    files.rules_cfg = nullptr;
    if (closed != 0) upgrade_fatal(d.run, kx_errno, kMsgCloseRules, FileKind::rules);
}

namespace {

// The save-on-failure rule: the temporary copy goes where -o or -X asks for
// it; without either, or when the rename fails, it stays under its own name.
// Its target, or null when it was not saved.
const char* save_on_failure(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    UPGRADE_STATE& files = d.run.state;
    if (!in.tmp_new_config_file) return nullptr;
    // A run that ends in the middle of the merge still holds its edits in
    // memory: they go into the copy first, so that what is saved or left
    // for inspection is the partly merged file, not the factory one.
    if (files.new_cfg) kxcf_flush(files.new_cfg);
    const char* target = in.output_config_file ? in.output_config_file : in.force ? in.new_config_file : nullptr;
    // Saved like a completed result: behind a symbolic link the linked file
    // is replaced, and the owner, group and mode of the replaced file stay.
    // A preview keeps it in its own directory.
    const bool saved = target && replace_file(in.tmp_new_config_file, upgrade_preview_path(in, target).c_str()) == 0;
    remove_lock_file(in.tmp_new_config_file);
    return saved ? target : nullptr;
}

// The failed end of a run whose cause has been reported: the copy saved or
// left, and the EXIT text. Where the copy was saved, or null.
const char* end_failed_run(DriverRun& d) {
    const char* saved = save_on_failure(d);
    std::string text = kExitFailed;
    if (saved) {
        text.append(kExitSaved).append(d.inputs.output_config_file ? kExitOutputFile : kExitNewFile).append(saved);
    } else {
        text.append(kExitNotSaved);
    }
    std::string logged = text;
    upgrade_log(d.run, logged.data());
    upgrade_write_stderr(text + "\n\n");
    return saved;
}

// The decision report, when one was asked for, at the very end of the run:
// the result is where the real run puts it (SAVED: where a failed run saved
// its copy). Nothing else of the run depends on it: one that cannot be
// written is a WARNING.
void write_decision_report(DriverRun& d, const char* saved) {
    if (!d.decisions) return;
    const UPGRADE_INPUTS& in = d.inputs;
    const std::string target = in.output_config_file ? in.output_config_file : in.new_config_file ? in.new_config_file : "";
    const std::string temporary = temporary_copy_name(target);
    RunSummary run;
    run.new_file = in.new_config_file;
    run.previous_file = in.prev_config_file;
    run.rules_file = in.upgrade_rules_file;
    run.new_syntax_file = in.new_syntax_file;
    run.previous_syntax_file = in.prev_syntax_file;
    run.output_file = in.output_config_file;
    run.temporary_file = in.tmp_new_config_file ? temporary.c_str() : nullptr;
    run.version_to_install = in.kx_version_to_install;
    run.previous_version = in.prev_kx_version;
    run.preview = in.preview != 0;
    run.force = in.force != 0;
    run.test_mode = in.test_mode != 0;
    run.end = d.end;
    if (d.end == RunEnd::completed || saved) {
        run.result = in.output_config_file ? ResultPlace::output_file : ResultPlace::new_file;
        run.result_file = d.end == RunEnd::completed ? target.c_str() : saved;
    } else if (in.tmp_new_config_file) {
        run.result = ResultPlace::temporary_copy;
        run.result_file = run.temporary_file;
    }
    bool written = false;
    try {
        written = d.decisions->write(run);
    } catch (const std::exception&) {  // out of memory while building it
        errno = ENOMEM;
    }
    if (written) return;
    const int reason = errno;
    d.run.state.decisions = nullptr;
    upgrade_error(d.run, reason, upgrade_format(kMsgReportWrite, d.decisions->path().c_str()).c_str(),
                  FileKind::none, Severity::warning, nullptr);
}

// The run from the inputs to the installed result; UPGRADE_ABORT when it
// fails.
void run_upgrade(DriverRun& d, int argc, char** argv) {
    start_preview(d);
    start_debugging(d, argc, argv);
    check_program_inputs(d);
    check_previous_file(d);
    merge_previous_file(d);
    // Errors counted so far (during the merge, or let through by -X) end the
    // run without checking the result.
    if (d.run.state.error_count != 0) {
        d.end = RunEnd::errors;
        throw UPGRADE_ABORT{};
    }
    check_result_file(d);
    install_result(d);
}

}  // namespace

void upgrade_main(int argc, char** argv) {
    DriverRun d;
    parse_upgrade_options(d, argc, argv);
    int status = 0;
    const char* saved = nullptr;
    try {
        try {
            run_upgrade(d, argc, argv);
        } catch (const std::bad_alloc&) {
            upgrade_fatal(d.run, ENOMEM, kMsgMalloc, FileKind::none);
        }
    } catch (const UPGRADE_ABORT&) {
        if (d.end == RunEnd::completed)
            d.end = d.run.state.error_limit_reached ? RunEnd::error_limit : RunEnd::fatal;
        saved = end_failed_run(d);
        status = 1;
    }
    write_decision_report(d, saved);
    if (d.inputs.preview_dir) finish_preview(d);
    if (status == 0 && debug_flags != 0 && !d.inputs.preview) dbg_close();
    std::exit(status);
}
