/*
 * File and path utilities of the suite: the product home and configuration
 * directory, file tests, copying and lock files.
 *
 * Failures leave their reason in kx_errno: a system errno value, 2 for a
 * command not found along PATH, or 13 when a path exists but is of the wrong
 * type or not executable. get_kx_home and get_config_dir return null without
 * touching kx_errno. Nothing here prints.
 */
#ifndef KX_FILES_H
#define KX_FILES_H

#ifdef __cplusplus
extern "C" {
#endif

/* The suite's main configuration file, in the configuration directory. */
#define KX_MAIN_CONFIG_NAME "qzt_config"

/* Product home ($KESTRIX_HOME, else the home of the account "kestrix") and
 * the configuration directory (home + "/qzt/etc/"), each in a process-wide
 * buffer that the next call of the same operation overwrites; null when
 * unknown or longer than 1024 characters. */
const char* get_kx_home(void);
const char* get_config_dir(void);
/* Value of "config_file" in SECTION of the main configuration file, in a
 * process-wide buffer; null when missing, empty or longer than 1024. */
const char* get_config_file_name(const char* section);

/* 1 for a regular file (symbolic links followed), else 0. */
int file_exists(const char* path);
/* 1 for a directory, else 0. */
int dir_exists(const char* path);
/* 1 for a regular file this process may execute, else 0. */
int is_executable_file(const char* path);
/* 1 when NAME is an executable file: NAME itself when it holds a "/", else
 * along PATH (empty components are skipped, never the current directory). */
int find_in_path(const char* name);
/* The file find_in_path finds for NAME, as a malloc'd path; null (reason
 * in kx_errno, as for find_in_path) when there is none. */
char* kx_find_program(const char* name);
/* find_in_path for the first word (up to a blank or tab) of LINE. */
int command_exists(char* line);
/* Copies SRC to DEST (or into DEST/basename(SRC) when DEST is a directory),
 * with SRC's permission bits less the umask. 0, or -1 with no destination
 * left behind. Copying a file onto itself fails and leaves it untouched.
 * The destination is never written through a symbolic link (ELOOP). */
int copy_file(const char* dest, const char* src);
/* Opens PATH (created 0666 less the umask when missing) and locks it whole
 * with lockf. MODE bit 2: wait for the lock, else fail at once when it is
 * held; bit 4: keep the descriptor open across exec. Closing it unlocks.
 * The file is never truncated, and a symbolic link, directory or other
 * non-regular file at PATH fails (ELOOP, EISDIR, EINVAL), untouched. */
int open_lock_file(const char* path, int mode);

/*
 * Files made beside a user's file (temporary copies, check logs, lock
 * files) in directories that other accounts may write: nothing planted at
 * the name is followed or written into.
 */
/* Creates PATH as a new regular file open for writing, close-on-exec, with
 * MODE less the umask. A stale file or symbolic link of that name is removed
 * first (which removes a link, never what it points at); a directory or
 * other file that cannot be removed fails with EISDIR or EEXIST. A
 * descriptor, or -1 with the reason in kx_errno. */
int open_new_file(const char* path, int mode);
/* Opens PATH for writing without truncating it, creating it (0666 less the
 * umask) when missing, close-on-exec. A symbolic link, directory or other
 * non-regular file at PATH fails (ELOOP, EISDIR, EINVAL) and is left as it
 * is. A descriptor, or -1 with the reason in kx_errno. */
int open_lock_name(const char* path);
/* copy_file into a new file made by open_new_file: DEST is never taken as a
 * directory to copy into, and the copy is on disk (fsynced) before this
 * returns, so that it may be renamed into place. 0, or -1 with no
 * destination left behind. */
int copy_to_new_file(const char* dest, const char* src);
/* Gives the file open at FD the owner, group and permission bits of the
 * file ORIGINAL (links followed), so that a file put in its place by a
 * rename looks as it did. Owner and group are set where the process may (as
 * root, or a group of its own) and otherwise left as they are. 0, or -1
 * when ORIGINAL cannot be examined or the bits cannot be set. */
int keep_file_attributes(int fd, const char* original);
/* Puts the finished file TMP in the place of TARGET with durable_rename.
 * When TARGET is a symbolic link, the file it leads to is replaced and the
 * link stays; the replaced file's owner, group and mode carry over (as
 * keep_file_attributes). 0, or -1 with the reason in kx_errno and TMP left
 * (unless only the directory could not be flushed). */
int replace_file(const char* tmp, const char* target);
/*
 * Publishing a file under its final name, so that after a crash or a power
 * failure the name holds the old file or the new one, whole:
 *
 *     char tmp[] = "/dir/name.tmp.XXXXXX";
 *     int fd = open_unique_file(tmp, 0644);     // the writer's own file
 *     ... write through fd ...
 *     durable_rename(fd, tmp, "/dir/name");     // on failure: unlink(tmp)
 *     close(fd);
 */
/* Creates a new file of this writer's own from NAME_TEMPLATE, whose last
 * six characters are "XXXXXX" and are replaced in place: exclusive, never
 * through a symbolic link, close-on-exec, open for reading and writing, with
 * MODE less the umask. Nothing existing is removed. A descriptor, or -1 with
 * the reason in kx_errno. */
int open_unique_file(char* name_template, int mode);
/* Flushes the data of TMP to disk (through FD, an open descriptor of TMP,
 * or TMP opened here when FD is -1), renames TMP over TARGET and flushes
 * TARGET's directory, so that the rename itself survives a crash. 0, or -1
 * with the reason in kx_errno: TMP is left in place when the data could not
 * be flushed or the rename failed; when only the directory could not be
 * flushed the new file is in place but may not survive a crash. */
int durable_rename(int fd, const char* tmp, const char* target);
/* Flushes to disk the directory that holds PATH, so that a file created,
 * renamed or removed there stays so after a crash. 0, or -1 with the reason
 * in kx_errno. */
int sync_parent_directory(const char* path);
/* Creates every missing directory of PATH, the last component included. */
int make_directory_path(const char* path);
/* The umask named in the product home's ".profile", else 022. */
int get_profile_umask(void);

#ifdef __cplusplus
}
#endif

/*
 * Last component of PATH: trailing "/" characters are cut off in place, so
 * PATH must be writable. Null or empty gives "." and only slashes give "/";
 * those two results are shared constants that must not be written to.
 *
 * glibc's <string.h> declares a C++ basename of its own (GNU behaviour) under
 * the assembler name "basename". In C++ this one is declared as that same
 * entity so that both declarations may meet in one translation unit; the
 * suite library's definition is the one linked. A <libgen.h> macro of the
 * name is dropped for the same reason. Where <cstring> is visible glibc marks
 * the argument as never null; pass null only where it is not.
 */
#ifdef __cplusplus
#ifdef basename
#undef basename
#endif
char* basename(char* path) noexcept __asm__("basename");
#else
char* basename(char* path);
#endif

#endif
