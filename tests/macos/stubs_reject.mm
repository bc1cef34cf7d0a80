// Must not compile: each case is a mistake the SDK's os_log rejects, so the stubs must too.
#include <os/log.h>

void logWrongly(os_log_t log, const char* format, long number) {
#if defined(CASE_nonliteral_format)
  os_log_with_type(log, OS_LOG_TYPE_DEFAULT, format, number);
#elif defined(CASE_argument_type)
  (void)number;
  os_log_with_type(log, OS_LOG_TYPE_DEFAULT, "Filter stopped: %ld", format);
#endif
}
