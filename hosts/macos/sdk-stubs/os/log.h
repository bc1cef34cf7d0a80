// Declaration stub: the unified log as the adapter uses it. The macros have the shape of the
// SDK's: the format goes through __builtin_os_log_format, so clang rejects a format that is not a
// literal and checks every argument against its conversion, privacy marks included.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __OBJC__
@protocol OS_os_log
@end
typedef id<OS_os_log> os_log_t;
#else
typedef struct os_log_s* os_log_t;
#endif

typedef uint8_t os_log_type_t;
#define OS_LOG_TYPE_DEFAULT ((os_log_type_t)0x00)
#define OS_LOG_TYPE_INFO ((os_log_type_t)0x01)
#define OS_LOG_TYPE_DEBUG ((os_log_type_t)0x02)
#define OS_LOG_TYPE_ERROR ((os_log_type_t)0x10)
#define OS_LOG_TYPE_FAULT ((os_log_type_t)0x11)

extern void* __dso_handle;

#ifdef __cplusplus
extern "C" {
#endif
os_log_t os_log_create(const char* subsystem, const char* category);
bool os_log_type_enabled(os_log_t log, os_log_type_t type);
void _os_log_impl(void* dso, os_log_t log, os_log_type_t type, const char* format, uint8_t* buf,
                  uint32_t size);
#ifdef __cplusplus
}
#endif

#define os_log_with_type(log, type, format, ...)                                              \
  __extension__({                                                                              \
    os_log_t _log_tmp = (log);                                                                 \
    os_log_type_t _type_tmp = (type);                                                          \
    if (os_log_type_enabled(_log_tmp, _type_tmp)) {                                            \
      uint8_t _os_log_buf[__builtin_os_log_format_buffer_size(format, ##__VA_ARGS__)];         \
      _os_log_impl(&__dso_handle, _log_tmp, _type_tmp, format,                                 \
                   (uint8_t*)__builtin_os_log_format(_os_log_buf, format, ##__VA_ARGS__),      \
                   (uint32_t)sizeof(_os_log_buf));                                             \
    }                                                                                          \
  })

#define os_log(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_DEFAULT, format, ##__VA_ARGS__)
#define os_log_debug(log, format, ...) \
  os_log_with_type(log, OS_LOG_TYPE_DEBUG, format, ##__VA_ARGS__)
#define os_log_error(log, format, ...) \
  os_log_with_type(log, OS_LOG_TYPE_ERROR, format, ##__VA_ARGS__)
