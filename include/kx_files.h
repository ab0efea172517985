/*
 * File and path utilities of the suite: the product home and configuration
 * directory, file tests, copying and lock files. Failures leave their reason
 * in kx_errno; nothing here prints.
 */
#ifndef KX_FILES_H
#define KX_FILES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Product home ($KESTRIX_HOME, else the home of the account "kestrix") and
 * the configuration directory (home + "/qzt/etc/"), in process-wide buffers
 * that the next call overwrites; null when unknown. */
const char* get_kx_home(void);
const char* get_config_dir(void);
/* Value of "config_file" in SECTION of the main configuration file, or null. */
const char* get_config_file_name(const char* section);

int file_exists(const char* path);
int dir_exists(const char* path);
int is_executable_file(const char* path);
int find_in_path(const char* name);
int command_exists(char* line);
int copy_file(const char* dest, const char* src);
int open_lock_file(const char* path, int mode);
int make_directory_path(const char* path);
int get_profile_umask(void);

#ifdef __cplusplus
}
#endif

#endif
