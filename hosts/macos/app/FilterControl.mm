// The container app. macOS activates a system extension only when the app that carries it asks,
// and turns a content filter on only through that app's saved filter configuration; this app does
// both from the command line and has no window.
//
//   QuillnestFilter install RULES.json   activate the extension, save the filter with these rules
//                                        and turn it on
//   QuillnestFilter rules RULES.json     replace the rules; the running extension applies them
//   QuillnestFilter enable | disable     turn the saved filter on or off
//   QuillnestFilter status               print whether the filter is on and what its rules say
//   QuillnestFilter uninstall            remove the filter and deactivate the extension
#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#import <SystemExtensions/SystemExtensions.h>
#include <dispatch/dispatch.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rules/filter_rules.h"

namespace {

NSString* const kExtensionIdentifier = @"com.quillnest.mac.filter";
NSString* const kRulesKey = @"filterRules";

[[noreturn]] void finish(int status, const std::string& message) {
  std::fprintf(status == 0 ? stdout : stderr, "%s\n", message.c_str());
  std::exit(status);
}

std::string describe(NSError* error) {
  const char* text = error.localizedDescription.UTF8String;
  return text != nullptr ? text : "unknown error";
}

// The file's bytes, exactly as the extension will read them, once they decode as rules.
NSData* readRulesOrExit(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) finish(1, std::string(path) + ": cannot open the rules file");
  const std::vector<char> text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  if (in.bad()) finish(1, std::string(path) + ": cannot read the rules file");
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  const quillnest::DecodeResult decoded = quillnest::decodeFilterRules(bytes);
  if (!decoded.rules) {
    finish(1, std::string(path) + ": not filter rules: " + decoded.error.message);
  }
  return [NSData dataWithBytes:text.data() length:text.size()];
}

// Loads the saved filter, lets change() edit it, and saves it.
void editFilter(bool mustExist, void (^change)(NEFilterManager* manager), std::string done) {
  NEFilterManager* manager = [NEFilterManager sharedManager];
  [manager loadFromPreferencesWithCompletionHandler:^(NSError* loadError) {
    if (loadError != nil) finish(1, "Cannot load the filter configuration: " + describe(loadError));
    if (manager.providerConfiguration == nil) {
      if (mustExist) finish(1, "No filter is installed: run QuillnestFilter install RULES.json");
      manager.providerConfiguration = [NEFilterProviderConfiguration new];
    }
    NEFilterProviderConfiguration* configuration = manager.providerConfiguration;
    configuration.filterSockets = YES;
    configuration.filterPackets = NO;
    configuration.filterDataProviderBundleIdentifier = kExtensionIdentifier;
    manager.localizedDescription = @"Quillnest Filter";
    change(manager);
    [manager saveToPreferencesWithCompletionHandler:^(NSError* saveError) {
      if (saveError != nil) {
        finish(1, "Cannot save the filter configuration: " + describe(saveError));
      }
      finish(0, done);
    }];
  }];
}

void printStatus() {
  NEFilterManager* manager = [NEFilterManager sharedManager];
  [manager loadFromPreferencesWithCompletionHandler:^(NSError* loadError) {
    if (loadError != nil) finish(1, "Cannot load the filter configuration: " + describe(loadError));
    NEFilterProviderConfiguration* configuration = manager.providerConfiguration;
    if (configuration == nil) finish(0, "not installed");
    std::string line = manager.enabled ? "filter on" : "filter off";
    id rules = configuration.vendorConfiguration[kRulesKey];
    if (![rules isKindOfClass:[NSData class]]) finish(0, line + ", no rules (nothing is blocked)");
    NSData* data = rules;
    const auto* bytes = static_cast<const std::uint8_t*>(data.bytes);
    std::span<const std::uint8_t> span;
    if (bytes != nullptr) span = {bytes, static_cast<std::size_t>(data.length)};
    const quillnest::DecodeResult decoded = quillnest::decodeFilterRules(span);
    if (!decoded.rules) finish(0, line + ", unreadable rules (nothing is blocked)");
    line += decoded.rules->isEnabled() ? ", blocking " : ", blocking switched off, ";
    line += std::to_string(decoded.rules->domains().size()) + " domain(s)";
    finish(0, line);
  }];
}

}  // namespace

// Follows one activation or deactivation request to its end, then runs the next step.
@interface QNExtensionRequestDelegate : NSObject <OSSystemExtensionRequestDelegate>
- (instancetype)initWithNextStep:(void (^)(void))next;
@end

@implementation QNExtensionRequestDelegate {
  void (^_next)(void);
}

- (instancetype)initWithNextStep:(void (^)(void))next {
  self = [super init];
  if (self) _next = next;
  return self;
}

- (OSSystemExtensionReplacementAction)request:(OSSystemExtensionRequest*)request
                  actionForReplacingExtension:(OSSystemExtensionProperties*)existing
                                withExtension:(OSSystemExtensionProperties*)ext {
  std::printf("Replacing extension version %s with %s\n",
              existing.bundleShortVersion.UTF8String ?: "?",
              ext.bundleShortVersion.UTF8String ?: "?");
  return OSSystemExtensionReplacementActionReplace;
}

- (void)requestNeedsUserApproval:(OSSystemExtensionRequest*)request {
  std::printf("Waiting for approval: allow the Quillnest Filter system extension in System "
              "Settings > Privacy & Security.\n");
  std::fflush(stdout);
}

- (void)request:(OSSystemExtensionRequest*)request
    didFinishWithResult:(OSSystemExtensionRequestResult)result {
  if (result == OSSystemExtensionRequestWillCompleteAfterReboot) {
    std::printf("The change completes when the Mac restarts.\n");
  }
  _next();
}

- (void)request:(OSSystemExtensionRequest*)request didFailWithError:(NSError*)error {
  finish(1, "The system extension request failed: " + describe(error) +
                " (is the app in /Applications, and signed with a Developer ID?)");
}

@end

namespace {

// The request's delegate is weak; this keeps it for the life of the process.
QNExtensionRequestDelegate* requestDelegate;

void submit(OSSystemExtensionRequest* request, void (^next)(void)) {
  requestDelegate = [[QNExtensionRequestDelegate alloc] initWithNextStep:next];
  request.delegate = requestDelegate;
  [[OSSystemExtensionManager sharedManager] submitRequest:request];
}

[[noreturn]] void usage() {
  finish(2, "usage: QuillnestFilter install RULES.json | rules RULES.json | enable | disable | "
            "status | uninstall");
}

}  // namespace

int main(int argc, const char* argv[]) {
  @autoreleasepool {
    const std::string command = argc > 1 ? argv[1] : "";
    const bool withFile = argc == 3;
    const bool alone = argc == 2;
    if (command == "install" && withFile) {
      NSData* rules = readRulesOrExit(argv[2]);
      submit([OSSystemExtensionRequest activationRequestForExtension:kExtensionIdentifier
                                                               queue:dispatch_get_main_queue()],
             ^{
               editFilter(
                   false,
                   ^(NEFilterManager* manager) {
                     manager.providerConfiguration.vendorConfiguration = @{kRulesKey : rules};
                     manager.enabled = YES;
                   },
                   "Installed; the filter is on.");
             });
    } else if (command == "rules" && withFile) {
      NSData* rules = readRulesOrExit(argv[2]);
      editFilter(
          true,
          ^(NEFilterManager* manager) {
            manager.providerConfiguration.vendorConfiguration = @{kRulesKey : rules};
          },
          "Rules saved.");
    } else if ((command == "enable" || command == "disable") && alone) {
      const bool enable = command == "enable";
      editFilter(
          true,
          ^(NEFilterManager* manager) {
            manager.enabled = enable;
          },
          enable ? "The filter is on." : "The filter is off.");
    } else if (command == "status" && alone) {
      printStatus();
    } else if (command == "uninstall" && alone) {
      [[NEFilterManager sharedManager] loadFromPreferencesWithCompletionHandler:^(NSError*) {
        [[NEFilterManager sharedManager] removeFromPreferencesWithCompletionHandler:^(NSError*) {
          // Removed or never saved: either way the extension goes next.
          submit(
              [OSSystemExtensionRequest deactivationRequestForExtension:kExtensionIdentifier
                                                                  queue:dispatch_get_main_queue()],
              ^{
                finish(0, "Uninstalled.");
              });
        }];
      }];
    } else {
      usage();
    }
  }
  dispatch_main();
}
