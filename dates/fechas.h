// The date family: a calendar date moves between three forms, the date array
// (day, month, year), the eight-character date text ("%02d%02d%4d") and the day
// number (days since 31 December 1899, so 1 January 1900 is 1).
//
// Every routine first copies "funcion: <its name>()" into marca_rutina, so after
// a failure the buffer names the last date routine entered. Refusals are -1, or
// an empty text for the routines that produce one; nothing is ever printed.
// Arrays and text buffers (at least 9 bytes) belong to the caller, except the
// one static buffer that fechdiasstr returns.
#pragma once

#include <cstdint>

extern char marca_rutina[512];

// Today, from the system clock in the local time zone.
void fechoyarr(std::int32_t fecha[3]);
char *fechoystr(char *texto);
std::int64_t fechoydias();

// Calendar and day numbers.
std::int32_t bisiesto(std::int32_t anio);
std::int64_t fecharrdias(std::int32_t fecha[3]);
std::int32_t fechdiasarr(std::int64_t dias, std::int32_t fecha[3]);

// Date texts.
std::int32_t fechstrarr(const char *texto, std::int32_t fecha[3]);
char *fecharrstr(std::int32_t fecha[3], char *texto);
std::int64_t fechstrdias(const char *texto);
char *fechdiasstr(std::int64_t dias);
std::int32_t difdias(const char *texto1, char *texto2, std::int64_t *dias);

// Weekdays: 0 Sunday to 6 Saturday.
std::int32_t diasemdias(std::int64_t dias);
std::int32_t diasemstr(const char *texto);
std::int32_t diasemarr(std::int32_t fecha[3]);
