/* The date family: a calendar date moves between three forms, the date array
 * (day, month, year), the eight-character date text ("%02d%02d%4d") and the day
 * number (days since 31 December 1899, so 1 January 1900 is 1).
 *
 * Every routine first copies "funcion: <its name>()" into marca_rutina, so after
 * a failure the buffer names the last date routine entered. Refusals are -1, or
 * an empty text for the routines that produce one; nothing is ever printed.
 * Arrays and text buffers (at least 9 bytes) belong to the caller, except the
 * one static buffer that fechdiasstr returns. That buffer and the marker are
 * shared by the whole process, unguarded: call the family from one thread.
 *
 * C (C99 and later) and C++ alike; the routines have C linkage. */
#ifndef FECHAS_H
#define FECHAS_H

#include <stdint.h>

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#endif

extern char marca_rutina[512];

/* Today, from the system clock in the local time zone. */
void fechoyarr(int32_t fecha[3]);
char *fechoystr(char *texto);
int64_t fechoydias(void);

/* Calendar and day numbers. */
int32_t bisiesto(int32_t anio);
int64_t fecharrdias(int32_t fecha[3]);
int32_t fechdiasarr(int64_t dias, int32_t fecha[3]);

/* Date texts. */
int32_t fechstrarr(const char *texto, int32_t fecha[3]);
char *fecharrstr(int32_t fecha[3], char *texto);
int64_t fechstrdias(const char *texto);
char *fechdiasstr(int64_t dias);
int32_t difdias(const char *texto1, char *texto2, int64_t *dias);

/* Weekdays: 0 Sunday to 6 Saturday. */
int32_t diasemdias(int64_t dias);
int32_t diasemstr(const char *texto);
int32_t diasemarr(int32_t fecha[3]);

#ifdef __cplusplus
}
#endif

#endif
