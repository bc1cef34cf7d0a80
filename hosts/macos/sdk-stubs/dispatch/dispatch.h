// Declaration stub: libdispatch as the extension and its container app use it.
#pragma once

#ifdef __OBJC__
@protocol OS_dispatch_queue
@end
typedef id<OS_dispatch_queue> dispatch_queue_t;
#else
typedef struct dispatch_queue_s* dispatch_queue_t;
#endif

#ifdef __cplusplus
extern "C" {
#endif
__attribute__((__noreturn__)) void dispatch_main(void);
// A macro over the main queue object in the SDK; a function serves the same calls here.
dispatch_queue_t dispatch_get_main_queue(void);
#ifdef __cplusplus
}
#endif
