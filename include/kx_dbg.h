/*
 * Debug output and the suite log.
 *
 * Debug: set debug_flags (dbg_parse_tokens over a token table), call
 * dbg_open(program) once, then kx_dbg(line) for each trace line and
 * dbg_close() at the end. Traces go to the file named by log_files/debug/
 * log_file of the main configuration file.
 *
 * Log: kx_log_message(file-or-null, tag, program, message) appends one dated
 * entry under the lock on the log's ".lck" file; it never fails loudly. An
 * entry it could not write in full leaves nothing in the log and is counted:
 * kx_log_failures tells the program, which reports it (once) as it sees fit.
 */
#ifndef KX_DBG_H
#define KX_DBG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of debug_flags. */
enum { show_args = 1u, show_funcs = 2u, show_detail = 4u };

extern unsigned debug_flags;

typedef struct DBG_TOKEN {
    const char* name;
    unsigned bit;
} DBG_TOKEN;

void dbg_parse_tokens(unsigned* flags, const DBG_TOKEN* table, const char* text);
int dbg_token_match(const char* a, const char* b);
int dbg_open(char* name);
void dbg_close(void);
void kx_dbg(const char* line);
void kx_dbg_cont(const char* line);
void dbg_flush(void);
int dbg_ctrl(int op);
void dbg_timestamp(void);
void dbg_show_args(int argc, char** argv);

void kx_log_message(const char* log_file, const char* tag, const char* program, const char* message);
/* Entries kx_log_message could not write since the process started: their
 * number, with the reason of the first (an errno value) in *reason and its
 * log file's name in *log_file (kept by the library; either may be null). */
int kx_log_failures(int* reason, const char** log_file);

#ifdef __cplusplus
}
#endif

#endif
