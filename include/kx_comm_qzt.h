/*
 * Outbound communication: channels and communication types of section
 * "communication_outbound", queueing of events and the launch of the
 * transmitting program.
 *
 *     if (kxcomm_send_event(event_id, KXCOMM_URGENT | KXCOMM_GUARANTEED,
 *                           KXCOMM_REPORT_SHUTDOWN) != 0) {
 *         ... kx_errno: 2006 no channel, 2007 shut down, ...
 *     }
 *
 * kxcomm_send_event numbers the event, chooses the least capable channel
 * that meets the request (the most capable one when none does), writes a
 * message header file into the channel type's queue directory, logs it,
 * touches the heartbeat file and, with state "send", starts the type's
 * transmitting program unless it runs already. Configuration problems are
 * announced in the suite log under "kxcomm_send_event".
 *
 * Started children: comm_launch_channel forks the transmitting program and
 * never waits for it. A short-lived caller may ignore this. A long-lived
 * caller must reap its children, or they stay as zombies: call
 * waitpid(-1, &status, WNOHANG) from time to time (for example on SIGCHLD),
 * or set SIGCHLD to SIG_IGN (or SA_NOCLDWAIT) if it starts no other
 * children whose status it needs.
 */
#ifndef KX_COMM_QZT_H
#define KX_COMM_QZT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Error numbers of outbound communication. */
enum {
    KXCOMM_ESECTION = 2001,     /* "Configuration section missing" */
    KXCOMM_EKEYWORD = 2002,     /* "Configuration keyword error" */
    KXCOMM_EVALUE = 2003,       /* "Configuration keyword value invalid" */
    KXCOMM_EMISSING = 2004,     /* "Configuration keyword missing value" */
    KXCOMM_EPATHLEN = 2005,     /* "Resulting message path name exceeds system max" */
    KXCOMM_ENOCHANNEL = 2006,   /* "No communication channel configured and active" */
    KXCOMM_ESHUTDOWN = 2007,    /* "Communication System is shutdown" */
    KXCOMM_EMSGHDR = 2008,      /* "Corrupted Communication Message Header Read" */
    KXCOMM_ESEQNAME = 2033,     /* "Unable to determine sequence file name." */
    KXCOMM_ESEQFILE = 2034      /* "Unable to create or access sequence file." */
};

/* Capability codes: a larger value means a more capable channel. They are
 * both channel capabilities and the levels requested in msg_flags. */
#define KXCOMM_BATCH 1
#define KXCOMM_NORMAL 2
#define KXCOMM_URGENT 4
#define KXCOMM_FORCE 8
#define KXCOMM_BESTEFFORT 16
#define KXCOMM_GUARANTEED 32
#define KXCOMM_LOW 256
#define KXCOMM_MEDIUM 512
#define KXCOMM_HIGH 1024

/* Masks of the requested levels in msg_flags (priority includes FORCE). */
#define KXCOMM_PRIORITY_MASK 0xF
#define KXCOMM_RELIABILITY_MASK 0xF0
#define KXCOMM_BANDWIDTH_MASK 0xF00

/* Send options. */
#define KXCOMM_REPORT_SHUTDOWN 1
#define KXCOMM_QUIET_SHUTDOWN 2
#define KXCOMM_ADMIN_EVENT 4

/* Message header files: prefix, and the FLAGS value of admin events. */
#define KXCOMM_MSG_PREFIX "qzt_msg_"
#define KXCOMM_FLAG_ADMIN 4

/* One channel subsection; strings owned by the record. */
typedef struct COMM_CHANNEL {
    char* name;
    char* type;
    char* state;
    char* address;
    int priority;
    int reliability;
    int bandwidth;
    unsigned max_event_size;
    int channel_order;
    int encryption;
    int compression;
    int armor;
} COMM_CHANNEL;

/* One communication type subsection; strings owned by the record. */
typedef struct COMM_TYPE {
    char* name;
    char* state;
    char* lockfile;
    char* queue;
    char* program;
} COMM_TYPE;

int kxcomm_send_event(const char* event_id, int msg_flags, int send_options);

int comm_read_channel(const char* channel, COMM_CHANNEL* out);
int comm_read_type(const char* type, COMM_TYPE* out);
void comm_free_channel(COMM_CHANNEL* channel);
void comm_free_type(COMM_TYPE* type);
/* 0 when the channel meets the levels of MSG_FLAGS (defaults applied). */
int comm_channel_meets(const COMM_CHANNEL* channel, int msg_flags);

/* Heartbeat path ("last_msg_queued_file" of section "heartbeat" in the
 * "admin_event" configuration file) in a static buffer, or null. */
const char* comm_last_queued_file(void);

/* Edits of the main configuration file, retried while its lock is busy. */
int comm_set_state_on(const char* subsection);
int comm_set_state_off(const char* subsection);
int comm_set_keyword(const char* subsection, const char* keyword, const char* value);
int comm_set_encryption_all(const char* value);

/* Starts PROGRAM in the background unless a process holds a write lock on
 * LOCKFILE. 0 when running or started (see "Started children" above). */
int comm_launch_channel(const char* program, const char* lockfile);
/* Splits a command line: blanks and tabs separate words, "..." and '...'
 * group them, no escapes; the first word must contain a "/". On success
 * *path and *argv (null-terminated) are malloc'd; release them with
 * comm_free_command. */
int comm_split_command(const char* command, char** path, char*** argv);
void comm_free_command(char* path, char** argv);
/* Replaces the process image; returns -1 only on failure. */
int comm_exec_program(const char* command);

#ifdef __cplusplus
}
#endif

#endif
