/*
 * Error notification: one call announces a failure on the channels chosen
 * by the level bits, in the order event, mail, standard error, log. It never
 * fails loudly; a channel that cannot be served is dropped.
 */
#ifndef KX_QZT_H
#define KX_QZT_H

#ifdef __cplusplus
extern "C" {
#endif

#define KX_NOTIFY_EVENT 1
#define KX_NOTIFY_MAIL 2
#define KX_NOTIFY_STDERR 4
#define KX_NOTIFY_LOG 8

void kx_error_notify(int notify_level, const char* program_name, int error_number,
                     const char* additional_text, const char* log_file);

#ifdef __cplusplus
}
#endif

#endif
