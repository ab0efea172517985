/*
 * Line helpers of the "NAME: value" readers (event files).
 */
#ifndef KX_PARSE_H
#define KX_PARSE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Readline results besides 0. */
#define KX_READLINE_ERROR 3008
#define KX_READLINE_EOF 3009

/* The next line of STREAM without its newline, malloc'd into *line.
 * 0, KX_READLINE_EOF at end of file, KX_READLINE_ERROR on a read error. */
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
