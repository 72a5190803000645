// Whether this is a sanitized build (GCC's or Clang's AddressSanitizer): its leak
// checker needs at exit what the confinement otherwise refuses.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define SOCKVOR_CON_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOCKVOR_CON_ASAN 1
#endif
#endif
