/*
 * Event files: small text files left in the event directory for
 * transmission to the vendor.
 *
 * One call does everything (create, header, data, "EVENT" log entry,
 * sequence number, queueing):
 *
 *     int rc = event_generate("admin", "error", "v1.0", "1003",
 *                             "my_collector", "v1.0", "what happened",
 *                             0, "data text\n", NULL,   // data control 0
 *                             0, 0, NULL, 0);           // flags, options, prefix, now
 *
 * Or step by step:
 *
 *     KX_EVENT_REC* ev = event_begin(type, subtype, version, code, name, ver,
 *                                    description, 0, NULL, 0);
 *     // null: kx_errno set, and no event file is left behind
 *     if (event_writedata(ev, text, NULL) != 0) { ... }  // header stays on disk
 *     event_destroy(ev);                                       // closes and frees
 *
 * Reading back:
 *
 *     KX_EVENT_REC* ev = event_read(path);     // stream positioned at the data
 *     char* v = event_find_data_line(ev, "BRN_NOTIFY: ", 1);   // free(v)
 *     event_destroy(ev);
 *
 * Every failure leaves its reason in kx_errno: a number of the 3000 list
 * below, a system errno value, or the configuration library's number when a
 * keyword of the main configuration file is missing. Every string handed
 * out is malloc'd and belongs to the caller.
 *
 * File format: one "NAME: value" line per header field in the order of
 * KX_EVENT_HDR, "DATA_CONTROL: n", "KX_DATA_START:", then the data part
 * (data control 0) or the path of a separate data file (1 or 2).
 */
#ifndef KXEVENT_H
#define KXEVENT_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error numbers of event files. */
enum {
    KXEV_EBUILDNAME = 3001,     /* "Invalid parameter to event_buildname" */
    KXEV_ETOOLONG = 3002,       /* "Filename generated is too long" */
    KXEV_ECREATED = 3003,       /* "event_create already called" */
    KXEV_ECREATEPARAM = 3004,   /* "Invalid parameter to event_create" */
    KXEV_ECREATE = 3005,        /* "Creation of event file failed" */
    KXEV_ENOTCREATED = 3006,    /* "event_create must be called before this" */
    KXEV_ENOTFILLED = 3007,     /* "event_writehdr: KX_EVENT_REC members not filled" */
    KXEV_EREADLINE = 3008,      /* "Error in Readline()" */
    KXEV_EEOF = 3009,           /* "Reached unexpected end of file" */
    KXEV_ESPLIT = 3012,         /* "Error in GetStringsFromLine()" */
    KXEV_EDUP_ID = 3013,
    KXEV_EDUP_KX_VERSION = 3014,
    KXEV_EDUP_DATE = 3015,
    KXEV_EDUP_TYPE = 3016,
    KXEV_EDUP_SUBTYPE = 3017,
    KXEV_EDUP_VERSION = 3018,
    KXEV_EDUP_CODE = 3019,
    KXEV_EDUP_COLLECTOR = 3020,
    KXEV_EDUP_SERIAL = 3021,
    KXEV_EDUP_SYS_NAME = 3022,
    KXEV_EDUP_DESCRIPTION = 3023,
    KXEV_EDUP_DATA_CONTROL = 3024,
    KXEV_EINCOMPLETE = 3025,    /* "All the KX_EVENT_HDR members not found in event file" */
    KXEV_EDATACONTROL = 3026,   /* "Data Control Field is not 0, 1, or 2" */
    KXEV_ENODATAPATH = 3027,    /* "Data Control is 1 or 2 and a file name is not present" */
    KXEV_ESTAT = 3028,          /* "Stat failed for event file" */
    KXEV_EDATASTRING = 3029,    /* "Data String cannot be sent with data control = 1 or 2" */
    KXEV_EDUP_SEQUENCE = 3030,
    KXEV_EDUP_UPTIME = 3031
};

/* Default file-name prefix of event files. */
#define KX_EVENT_PREFIX "qzt_event_"
/* The sequence field of an event that has not been numbered yet. */
#define KX_EVENT_NO_SEQUENCE "00000000"

/* Data control values: the data follows in the event file, or lies in the
 * separate file named on the line after KX_DATA_START. */
#define KX_DATA_INLINE 0
#define KX_DATA_FILE 1
#define KX_DATA_FILE_ALT 2

/* The header record: every string is owned by the record. */
typedef struct KX_EVENT_HDR {
    char* event_qzt_id;        /* QZT_EVENT_ID */
    char* event_sequence;      /* QZT_EVENT_SEQUENCE, eight digits */
    char* event_kx_version;    /* KX_VERSION */
    char* event_date;          /* ASCII_DATE */
    char* event_uptime;        /* SYSTEM_UPTIME, "%08ld" seconds */
    char* event_type;          /* EVENT_TYPE */
    char* event_subtype;       /* EVENT_SUBTYPE */
    char* event_version;       /* EVENT_VERSION */
    char* event_code;          /* EVENT_CODE */
    char* event_collector;     /* COLLECTOR_NAME, "name version" */
    char* event_sys_serial;    /* SYSTEM_SERIAL_NUMBER */
    char* event_sys_name;      /* SYSTEM_NAME */
    char* event_description;   /* DESCRIPTION */
    int event_data_control;    /* DATA_CONTROL; -1 until set */
} KX_EVENT_HDR;

/* The handle of one event file. */
typedef struct KX_EVENT_REC {
    FILE* stream;          /* writing after event_create, reading after event_read */
    char* file_name;       /* full path */
    char* event_id;        /* copy of the id; null in a handle from event_read */
    long data_offset;      /* first byte after the KX_DATA_START line (event_read) */
    KX_EVENT_HDR* header;
} KX_EVENT_REC;

/* "event_dir" of section "files" into BUFFER (room for 1153 bytes). */
int event_get_dir(char* buffer);
/* malloc'd "DIR/PREFIXID". */
char* event_buildname(const char* dir, const char* prefix, const char* event_id);
/* A new, uniquely named, empty event file. EVENT_TIME 0 means now. */
KX_EVENT_REC* event_create(const char* dir, const char* prefix, long event_time);
/* Fills version, date, serial number, system name and uptime where unset. */
int event_inithdr(KX_EVENT_REC* event);
/* Writes the header lines and the data start line. */
int event_writehdr(KX_EVENT_REC* event);
KX_EVENT_REC* event_begin(const char* type, const char* subtype, const char* version,
                          const char* code, const char* collector_name,
                          const char* collector_version, const char* description,
                          int data_control, const char* prefix, long event_time);
int event_writedata(KX_EVENT_REC* event, const char* data_string, const char* data_path);
/* The whole event. -1 when it could not be created, the result of
 * event_writedata when the data failed (the file stays, unqueued), else the
 * result of kxcomm_send_event. */
int event_generate(const char* type, const char* subtype, const char* version,
                   const char* code, const char* collector_name,
                   const char* collector_version, const char* description,
                   int data_control, const char* data_string, const char* data_path,
                   int msg_flags, int send_options, const char* prefix, long event_time);
void event_log_created(KX_EVENT_REC* event);
void event_close(KX_EVENT_REC* event);
/* Releases everything but does not close the stream. */
void event_free(KX_EVENT_REC* event);
/* event_close, then event_free. */
void event_destroy(KX_EVENT_REC* event);
KX_EVENT_REC* event_read(const char* path);
/* The rest of the first data line that begins with PREFIX, malloc'd; with
 * STRIP_NEWLINE 1 without its newline, otherwise with it. Null when none or
 * when the rest is empty. */
char* event_find_data_line(KX_EVENT_REC* event, const char* prefix, int strip_newline);

/* Gives the event (an absolute path, or an id in the event directory) its
 * sequence number in place of the "00000000" placeholder. 0 when numbered or
 * nothing to do; 1 on failure. Declared again in kx_files_qzt.h. */
int event_expand_sequence(const char* event);

#ifdef __cplusplus
}
#endif

#endif
