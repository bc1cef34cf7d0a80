// Declaration stub: Darwin notifications as the adapter uses them.
#pragma once

#include <stdint.h>

#define NOTIFY_STATUS_OK 0

#ifdef __cplusplus
extern "C" {
#endif
uint32_t notify_post(const char* name);
#ifdef __cplusplus
}
#endif
