/*
 * Files that the communication system shares between all programs of the
 * suite: the event sequence counter and the heartbeat of the last queued
 * message.
 *
 * Sequence file ("sequence_file" of section "files"): the last number drawn
 * as eight digits, rewritten as a whole under the lock on its ".lck" file.
 * Numbers start at 100; after 99999999 the counter starts again at 100, so
 * a number never has more than eight digits.
 */
#ifndef KX_FILES_QZT_H
#define KX_FILES_QZT_H

#ifdef __cplusplus
extern "C" {
#endif

#define KX_SEQUENCE_FIRST 100
#define KX_SEQUENCE_LAST 99999999

/* See kxevent.h: 0 numbered or nothing to do, 1 failure. */
int event_expand_sequence(const char* event);
/* See kx_comm_qzt.h. */
const char* comm_last_queued_file(void);

#ifdef __cplusplus
}
#endif

#endif
