// Declaration stub: libdispatch as the adapter uses it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif
__attribute__((__noreturn__)) void dispatch_main(void);
#ifdef __cplusplus
}
#endif
