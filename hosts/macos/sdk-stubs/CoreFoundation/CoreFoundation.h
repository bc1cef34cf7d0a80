// Declaration stub: the CoreFoundation type tests the adapter uses.
#pragma once

#include <stdbool.h>

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef const struct __CFNumber* CFNumberRef;

#ifdef __cplusplus
extern "C" {
#endif
CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFBooleanGetTypeID(void);
CFTypeID CFNumberGetTypeID(void);
bool CFNumberIsFloatType(CFNumberRef number);
#ifdef __cplusplus
}
#endif
