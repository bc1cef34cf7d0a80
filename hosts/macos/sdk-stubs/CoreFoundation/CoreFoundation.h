// Declaration stub: the CoreFoundation type tests the adapter uses.
#pragma once

#include <stdbool.h>

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;

#ifdef __cplusplus
extern "C" {
#endif
CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFBooleanGetTypeID(void);
#ifdef __cplusplus
}
#endif
