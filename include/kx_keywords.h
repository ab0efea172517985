/*
 * Names of the main configuration file's sections and keywords that the
 * suite's libraries look up, kept in one place so that a renamed keyword is
 * changed once.
 */
#ifndef KX_KEYWORDS_H
#define KX_KEYWORDS_H

/* Section "system". */
#define KXKW_SECT_SYSTEM "system"
#define KXKW_KESTRIX_VERSION "kestrix_version"
#define KXKW_SYSTEM_SERIAL "system_serial_number"
#define KXKW_SYSTEM_NAME "system_name"
#define KXKW_ADMIN "admin"

/* Section "files". */
#define KXKW_SECT_FILES "files"
#define KXKW_EVENT_DIR "event_dir"
#define KXKW_SEQUENCE_FILE "sequence_file"

/* Section "test": "event_id" switches event naming to a plain counter. */
#define KXKW_SECT_TEST "test"
#define KXKW_TEST_EVENT_ID "event_id"

/* Section "communication_outbound" and its channel and type subsections. */
#define KXKW_SECT_COMM_OUT "communication_outbound"
#define KXKW_CHANNEL_PREFIX "channel"
#define KXKW_STATE "state"
#define KXKW_TYPE "type"
#define KXKW_ADDRESS "address"
#define KXKW_PRIORITY "available_priority"
#define KXKW_RELIABILITY "available_reliability"
#define KXKW_BANDWIDTH "available_bandwidth"
#define KXKW_MAX_EVENT_SIZE "max_event_size"
#define KXKW_CHANNEL_ORDER "channel_order"
#define KXKW_ENCRYPTION "encryption"
#define KXKW_COMPRESSION "compression"
#define KXKW_ARMOR "armor"
#define KXKW_LOCKFILE "lockfile"
#define KXKW_QUEUE "queue"
#define KXKW_PROGRAM "program"

/* The heartbeat lives in the configuration file of section "admin_event". */
#define KXKW_SECT_ADMIN_EVENT "admin_event"
#define KXKW_SECT_HEARTBEAT "heartbeat"
#define KXKW_LAST_MSG_QUEUED "last_msg_queued_file"

#endif
