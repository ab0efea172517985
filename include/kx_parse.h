/*
 * Line helpers of the "NAME: value" readers (event files).
 */
#ifndef KX_PARSE_H
#define KX_PARSE_H

#include <stdio.h>

#include "kxevent.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The next line of STREAM without its newline, malloc'd into *line.
 * 0, KXEV_EEOF at end of file, KXEV_EREADLINE on a read error. */
int Readline(FILE* stream, char** line);
/* Skips leading white space: a pointer into TEXT. */
char* ltrim(char* text);
/* Removes trailing white space in place; returns TEXT. */
char* rtrim(char* text);
/* Splits LINE at its first colon: *name is the text before it without
 * trailing white space, *value the text after it without leading white
 * space, both malloc'd. 0 split, 1 no colon (nothing allocated), -1 when
 * memory fails. */
int GetStringsFromLine(const char* line, char** name, char** value);

#ifdef __cplusplus
}
#endif

#endif
