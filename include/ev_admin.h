/*
 * Administration events: the fixed texts of the error event that the
 * notification service sends, and the data-line labels that an
 * administration or installation event carries for its message header.
 */
#ifndef EV_ADMIN_H
#define EV_ADMIN_H

/* The error event of kx_error_notify. */
#define EV_ADMIN_TYPE "admin"
#define EV_ADMIN_ERROR_SUBTYPE "error"
#define EV_ADMIN_ERROR_VERSION "v1.0"
#define EV_ADMIN_ERROR_COLLECTOR "kx_error_notify"
#define EV_ADMIN_ERROR_COLLECTOR_VERSION "v1.0"
#define EV_ADMIN_ERROR_DESCRIPTION "Kestrix Error"

/* Data lines of the error event: "%s%s\n%s%d\n%s%s\n%s%s\n". */
#define EV_LABEL_PROGRAM_NAME "PROGRAM_NAME: "
#define EV_LABEL_ERROR_NUMBER "ERROR_NUMBER: "
#define EV_LABEL_ERROR_STRING "ERROR_STRING: "
#define EV_LABEL_ADDITIONAL_TEXT "ADDITIONAL_TEXT: "

/* Data lines that an administration event must carry. */
#define EV_LABEL_BRN_NOTIFY "BRN_NOTIFY: "
#define EV_LABEL_INSTALLER_NAME "INSTALLER_NAME: "
#define EV_LABEL_INSTALLER_PHONE "INSTALLER_PHONE: "

#endif
