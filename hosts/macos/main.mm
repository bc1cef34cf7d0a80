// The system extension's entry point: hand the process to the NetworkExtension host, which
// creates the provider and calls it from its own threads, then park the main thread for good.
#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <dispatch/dispatch.h>

int main(void) {
  @autoreleasepool {
    [NEProvider startSystemExtensionMode];
  }
  dispatch_main();
}
