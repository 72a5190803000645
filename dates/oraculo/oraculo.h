// The date family as it was first written, with sscanf reading the date text and
// the day numbers counted one routine at a time. It is kept unchanged so that the
// faster routines can be compared with it, call for call: result, array, text and
// the whole marker buffer.
#pragma once

#include <cstdint>

namespace oraculo {

std::int32_t bisiesto(std::int32_t anio);
std::int64_t fecharrdias(std::int32_t fecha[3]);
std::int32_t fechdiasarr(std::int64_t dias, std::int32_t fecha[3]);
std::int32_t fechstrarr(const char *texto, std::int32_t fecha[3]);
char *fecharrstr(std::int32_t fecha[3], char *texto);
std::int64_t fechstrdias(const char *texto);
char *fechdiasstr(std::int64_t dias);
std::int32_t difdias(const char *texto1, char *texto2, std::int64_t *dias);
std::int32_t diasemdias(std::int64_t dias);
std::int32_t diasemstr(const char *texto);
std::int32_t diasemarr(std::int32_t fecha[3]);

} // namespace oraculo
