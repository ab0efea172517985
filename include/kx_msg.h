/*
 * Message header files: one "NAME=value" line per field, written into a
 * communication type's queue directory as PREFIX + message id + ".msg".
 * A message file appears whole (written as ".tmp", then renamed) or not at
 * all, so a transmitting program looks at ".msg" files only. msg_queue gives
 * -1 when it could not: a header that could not be written stays as the
 * ".tmp" file, a failed rename removes it.
 *
 *     MSG_HEADER h = {0};
 *     ... fill event_id, serial_no, channel fields, fmt_*, flags ...
 *     if (msg_queue(&h, queue_dir, KXCOMM_MSG_PREFIX) == 0) use(h.message_id);
 *     msg_free(&h);
 *
 *     MSG_HEADER* r = msg_read_header(queue_dir, "qzt_msg_....msg");
 *     if (r) { ...; msg_free(r); free(r); }
 */
#ifndef KX_MSG_H
#define KX_MSG_H

#ifdef __cplusplus
extern "C" {
#endif

#define KXMSG_SUFFIX ".msg"
#define KXMSG_TMP_SUFFIX ".tmp"

typedef struct MSG_HEADER {
    char* message_id;       /* MESSAGE_ID */
    char* event_id;         /* EVENT_ID */
    char* serial_no;        /* SERIAL_NO */
    long create_value;      /* CREATE_VALUE, seconds since the epoch */
    char* create_date;      /* CREATE_DATE */
    char* channel_name;     /* CHANNEL_NAME */
    char* channel_type;     /* CHANNEL_TYPE */
    char* address_to;       /* ADDRESS_TO */
    int priority;           /* PRIORITY */
    int reliability;        /* RELIABILITY */
    int bandwidth;          /* BANDWIDTH */
    char* fmt_e;            /* FMT_E, encryption code in decimal */
    char* fmt_c;            /* FMT_C, compression code */
    char* fmt_a;            /* FMT_A, armor code */
    int flags;              /* FLAGS */
    long data_size;         /* DATA_SIZE: read only, never written here */
    char* data_path;        /* DATA_PATH: read only, never written here */
    char* brn_notify;       /* BRN_NOTIFY, admin events only */
    char* installer_name;   /* INSTALLER_NAME, admin events only */
    char* installer_phone;  /* INSTALLER_PHONE, admin events only */
    long event_size;        /* size used for the channel choice; not written */
} MSG_HEADER;

/* Size of an event: its file plus, for data control 1 or 2, the data file. */
long event_size(const char* path);
/* BRN_NOTIFY, INSTALLER_NAME and INSTALLER_PHONE from the event's data. */
int msg_read_admin_fields(MSG_HEADER* header, const char* event_path);
/* Sets message_id, create_value, create_date and writes the message file. */
int msg_queue(MSG_HEADER* header, const char* queue_dir, const char* prefix);
char* msg_buildname(const char* dir, const char* prefix, const char* message_id);
int msg_write_header(const char* path, const MSG_HEADER* header);
/* malloc'd record; release with msg_free, then free. */
MSG_HEADER* msg_read_header(const char* dir, const char* name);
/* Releases the strings and clears the record (not the record itself). */
void msg_free(MSG_HEADER* header);

#ifdef __cplusplus
}
#endif

#endif
