/*
 * Configuration files of the suite: read, walk, look up, edit, write back.
 *
 * Calling sequence:
 *
 *     KXCF_FILE* f = kxcf_open(path, KXCF_UPDATE);   // null: reason in kx_errno
 *     kxcf_rewind(f);
 *     const char* s;
 *     while ((s = kxcf_nextsection(f)) != KXCF_FAIL) { ... }
 *     if (kx_errno != KXCF_ENOSECTION) { ... a real error ... }
 *     kxcf_setvar(f, "system", NULL, "admin", "root");  // 0 or -1
 *     if (kxcf_flush(f) != 0) { ... edits not on disk, file untouched ... }
 *     kxcf_close(f);                                  // frees f, releases the lock
 *
 * Operations returning a name or a value return KXCF_FAIL on failure, never
 * null; compare with KXCF_FAIL. The end of a walk is a failure with 1026
 * (sections), 1027 (subsections) or 1028 (keywords).
 *
 * kxcf_open resolves PATH once: when it is a symbolic link, the file it
 * leads to (F) is the file read, locked and rewritten, and the link stays;
 * otherwise F is PATH as given. Every name of one file thus takes the one
 * lock, F.lck (PATH.lck for a file that is not a link).
 *
 * Update mode (KXCF_UPDATE) holds the write lock on F.lck from open to
 * close and keeps edits in memory until kxcf_flush or kxcf_close. Immediate
 * mode locks, re-reads, edits, writes back and unlocks on every edit. A file
 * is always rewritten through a temporary file of the writer's own beside
 * it (F.tmp.XXXXXX, with the replaced file's owner, group and permission
 * bits), flushed to disk, renamed over F, and the directory flushed, so
 * readers see either the old or the new file whole, also after a crash. A
 * tree without any section is never written (1033). A file with other hard
 * links is not written back (1036), since the rename would silently split
 * it in two, unless the handle was opened with KXCF_SPLITLINKS (F then
 * gets the new file and the other names keep the old one). A FIFO, socket
 * or device as the file fails the open at once (1037), without the lock.
 * The lock belongs to the handle in the process that opened it: two handles
 * of one process exclude each other like two processes do, and a child
 * forked while the handle is open does not hold the lock (its kxcf_flush of
 * that handle fails with 1006). A link, directory or other non-regular file
 * planted at F.lck fails the lock (ELOOP, EISDIR, EINVAL) and is left
 * alone.
 *
 * What failures leave:
 * - kxcf_open: null, no lock held.
 * - kxcf_flush: -1, the tree, the pending edits and the lock unchanged, the
 *   file on disk untouched.
 * - kxcf_close: -1 when pending edits could not be written (reason in
 *   kx_errno); the handle is freed and the lock released either way.
 * - an edit: bad arguments change nothing (1001 for values and keyword
 *   names); a missing section or subsection (1026, 1027) changes nothing and
 *   in immediate mode releases the lock at once; a failed write-back in
 *   immediate mode leaves the file on disk as it was, unlocks, and re-reads
 *   it. Values given to an edit hold at most 1152 characters and no newline.
 *
 * The position (current section, subsection, keyword) is shared by all walks
 * and lookups of a handle. Values returned live in the handle's buffer until
 * the next kxcf_getvar or kxcf_nextvar; names returned point into the tree,
 * which an edit in immediate mode replaces.
 */
#ifndef KXCF_H
#define KXCF_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Failure marker of the operations that return a name or a value. */
#define KXCF_FAIL ((char*)-1)

/* Open flags. */
#define KXCF_UPDATE 1
#define KXCF_WAIT 2
#define KXCF_NOEXPAND 4
#define KXCF_SPLITLINKS 8

/* Value flags of kxcf_getvar and kxcf_nextvar. */
#define KXCF_LOWER 1
#define KXCF_UPPER 2
#define KXCF_NOTNULL 4

/* Limits, in characters without the terminating zero byte. */
#define KXCF_MAX_PATH 1024
#define KXCF_MAX_LINE 1278
#define KXCF_MAX_SECTION 130
#define KXCF_MAX_NAME 40
#define KXCF_MAX_VALUE 1152

/* Error numbers of the configuration file library. */
enum {
    KXCF_EPARAM = 1001,         /* "Parameter error" */
    KXCF_ENAMETOOLONG = 1002,   /* "Filename too long" */
    KXCF_ENOTFOUND = 1003,      /* "Configuration file not found" */
    KXCF_EFILESIZE = 1004,      /* "Invalid size of config file" */
    KXCF_ENOTOPEN = 1005,       /* "Config file not open" */
    KXCF_ELOCKED = 1006,        /* "Another process owns lock for writing" */
    KXCF_ELINELEN = 1007,       /* "Line in config file too long" */
    KXCF_ESECTBEFORE = 1008,    /* never raised */
    KXCF_ESECTSTART = 1009,     /* never raised */
    KXCF_ESECTNOEND = 1010,     /* "Section has no end char" */
    KXCF_ESECTAFTER = 1011,     /* "Invalid char(s) after section" */
    KXCF_ESECTSIZE = 1012,      /* "Invalid section name size" */
    KXCF_ESECTCHAR = 1013,      /* "Invalid character in section name" */
    KXCF_ESUBFIRST = 1014,      /* "Found subsection before any section" */
    KXCF_ESUBBEFORE = 1015,     /* never raised */
    KXCF_ESUBSTART = 1016,      /* never raised */
    KXCF_ESUBNOEND = 1017,      /* "Subsection has no end char" */
    KXCF_ESUBAFTER = 1018,      /* "Invalid char(s) after subsection" */
    KXCF_ESUBSIZE = 1019,       /* "Invalid subsection name size" */
    KXCF_ESUBCHAR = 1020,       /* "Invalid character in subsection name" */
    KXCF_EKWFIRST = 1021,       /* "Found keyword before any section" */
    KXCF_EKWSIZE = 1022,        /* "Invalid keyword string size" */
    KXCF_EKWCHAR = 1023,        /* "Invalid character in keyword" */
    KXCF_EVALSIZE = 1024,       /* "Invalid argument string size" */
    KXCF_EPREMATURE = 1025,     /* "Reached premature end of config file" */
    KXCF_ENOSECTION = 1026,     /* "Section not found" */
    KXCF_ENOSUBSECTION = 1027,  /* "Subsection not found" */
    KXCF_ENOKEYWORD = 1028,     /* "Keyword not found" */
    KXCF_EINSTANCE = 1029,      /* "Invalid instance parameter" */
    KXCF_ENULL = 1030,          /* "Null argument not allowed" */
    KXCF_ETIMEALPHA = 1031,     /* reserved for time values */
    KXCF_ETIMELABEL = 1032,     /* reserved for time values */
    KXCF_EWRITE = 1033,         /* "Error on config file write " */
    KXCF_ESIZEALPHA = 1034,     /* "Size value contained alpha characters" */
    KXCF_ESIZELABEL = 1035,     /* "Size label was not b, k, or m" */
    KXCF_EHARDLINK = 1036,      /* "Config file has other hard links" */
    KXCF_ENOTREG = 1037         /* "Config file is not a regular file" */
};

/* Node kinds of the tree. */
#define KXCF_NODE_SECTION 1
#define KXCF_NODE_SUBSECTION 2
#define KXCF_NODE_LINE 3
#define KXCF_NODE_LEADING 9

/* One element of a file's tree. A line node with a text is a comment or
 * blank line; without one it is a keyword line whose value is `value`.
 * Sections, subsections and the leading block keep their lines in `lines`.
 * A section or subsection text is printed as a line before its header. */
typedef struct KXCF_NODE {
    int kind;
    char* text;
    char* name;
    union {
        struct KXCF_NODE* lines;
        char* value;
    } u;
    struct KXCF_NODE* subsections;
    struct KXCF_NODE* next;
    struct KXCF_NODE* prev;
} KXCF_NODE;

/* The handle of one open configuration file. Its fields belong to the
 * library; callers use the operations below. */
typedef struct KXCF_FILE {
    FILE* stream;
    char path[KXCF_MAX_PATH + 1];
    int flags;
    int pending;
    int lock_retries;
    int lock_delay;
    int lock_fd;
    FILE* tmp_stream;
    char lock_path[KXCF_MAX_PATH + 1];
    char tmp_path[KXCF_MAX_PATH + 1];
    KXCF_NODE* root;
    KXCF_NODE* cur_section;
    KXCF_NODE* cur_subsection;
    KXCF_NODE* cur_keyword;
    KXCF_NODE* expand_list;     /* the "path_expand" subsection of "system" */
    char* value_buf;
    KXCF_NODE* cur_list;        /* section or subsection whose list holds cur_keyword */
    void* store;                /* memory of the tree and its lookup tables by name */
} KXCF_FILE;

/* Line number of the last parse fault (1-based); 0 after a good parse. */
extern int kxcf_lineno;

/* Open, save, close. */
KXCF_FILE* kxcf_open(const char* path, int flags);
int kxcf_flush(KXCF_FILE* f);
int kxcf_close(KXCF_FILE* f);
void kxcf_set_lock_wait(int retries, int delay, KXCF_FILE* f);

/* Walking and lookup. */
int kxcf_rewind(KXCF_FILE* f);
const char* kxcf_nextsection(KXCF_FILE* f);
int kxcf_findsection(KXCF_FILE* f, const char* section);
const char* kxcf_nextsubsection(KXCF_FILE* f, const char* section);
int kxcf_findsubsection(KXCF_FILE* f, const char* section, const char* subsection);
const char* kxcf_nextvar(KXCF_FILE* f, const char* section, const char* subsection,
                         const char** keyword_out, int valueflags);
const char* kxcf_getvar(KXCF_FILE* f, const char* section, const char* subsection,
                        const char* keyword, int valueflags);

/* Editing. */
int kxcf_setsection(KXCF_FILE* f, const char* section);
int kxcf_setsubsection(KXCF_FILE* f, const char* section, const char* subsection);
int kxcf_setvar_inst(KXCF_FILE* f, const char* section, const char* subsection,
                     const char* keyword, const char* value, int instance);
/* What kxcf_setvar_inst and kxcf_setvar store of VALUE: VALUE without the
 * white space (" \t\n\v\f\r") at its two ends. Returns where the kept part
 * starts inside VALUE and puts its length in *LENGTH. */
const char* kxcf_stored_value(const char* value, size_t* length);
int kxcf_setvar(KXCF_FILE* f, const char* section, const char* subsection,
                const char* keyword, const char* value);
int kxcf_setvar_index(KXCF_FILE* f, const char* section, const char* subsection,
                      const char* keyword, const char* value, int index);
int kxcf_setvar_wait(KXCF_FILE* f, const char* section, const char* subsection,
                     const char* keyword, const char* value, int retries, int delay);
int kxcf_delsection(KXCF_FILE* f, const char* section);
int kxcf_delsubsection(KXCF_FILE* f, const char* section, const char* subsection);
int kxcf_delvar_inst(KXCF_FILE* f, const char* section, const char* subsection,
                     const char* keyword, int instance);

/* `$` expansion of a value: a malloc'd copy, or KXCF_FAIL. */
char* kxcf_expand_path(const char* value, KXCF_FILE* f);

/* Checksum keyword "cksum_NAME" of a subsection: 0 stored and matching,
 * 1 missing or different and now stored, -1 on failure. */
int kxcf_cksum(KXCF_FILE* f, const char* section, const char* subsection, const char* name);

#ifdef __cplusplus
}
#endif

#endif
