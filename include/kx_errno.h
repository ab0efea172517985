/*
 * The suite's error number and its texts.
 *
 * Every library operation that fails leaves its reason in kx_errno: a system
 * errno value (below 1000) or a number of one of the suite's message lists
 * (1001-1037 configuration files, 2001-2034 communication, 3001-3031 event
 * files, 4001-4056, 5001-5025, 8001-8014, 9001-9013 debug facility).
 * Nothing clears it on success; set it to 0 yourself for a clean start.
 */
#ifndef KX_ERRNO_H
#define KX_ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

extern int kx_errno;

/* The text of an error number as a malloc'd string the caller frees, or
 * null for a number no list knows. */
char* kx_errmsg(int error_number);

#ifdef __cplusplus
}
#endif

#endif
